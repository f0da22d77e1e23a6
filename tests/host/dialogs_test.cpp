// `veskohost dialogs` against the DialogLib and ReportLib doubles, directly
// and through the broker: each text it passes must be what the dialog
// library takes in that place (a title where the title goes, a file name
// where the file name goes), read from what the doubles were given.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "dialogdouble.h"
#include "testsupport.h"

using namespace vesko::test;

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// An extension as the dialogs take it: letters and digits, no dot.
bool IsPlainExtension(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](unsigned char c) { return std::isalnum(c) != 0; });
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == separator)
            parts.emplace_back();
        else
            parts.back().push_back(c);
    }
    return parts;
}

// What is wrong with one logged call, by the roles of dialoglib.h and
// reportlib.h; empty when nothing is.
std::string RoleMistakes(const DoubleCall& call) {
    std::string wrong;
    const auto check = [&](bool ok, const std::string& what) {
        if (!ok)
            wrong += what + "; ";
    };
    const std::vector<std::string>& a = call.args;
    if (call.function == "DoModalSaveImgDlg" && a.size() == 11) {
        // title, initial folder, format (1-based), file name, default extension, ...
        const std::string ext = Lower(a[4]);
        check(!a[0].empty(), "no title");
        check(a[1].empty() || IsDir(a[1]), "initial folder \"" + a[1] + "\" is no folder");
        check(IsPlainExtension(ext), "default extension \"" + a[4] + "\"");
        check(Lower(a[3]).size() > ext.size() + 1 &&
                  Lower(a[3]).compare(a[3].size() - ext.size() - 1, std::string::npos, "." + ext) ==
                      0,
              "file name \"" + a[3] + "\" does not end in ." + a[4]);
        const char* formats[] = {"", "jp", "bmp", "png", "tif", "dcm"};
        const int format = std::atoi(a[2].c_str());
        check(format == 0 || (format >= 1 && format <= 5 && ext.rfind(formats[format], 0) == 0),
              "format " + a[2] + " is not that of ." + a[4]);
    } else if (call.function == "DoModalTrevoltFileDlg" && a.size() == 8) {
        // mode, default extension, file name, flags, filter, owner, path, files
        const int mode = std::atoi(a[0].c_str());
        check(mode >= 0 && mode <= 2, "mode " + a[0]);
        check(IsPlainExtension(a[1]), "default extension \"" + a[1] + "\"");
        // The framework's filter: description|pattern pairs, closed by "||".
        const std::vector<std::string> fields = Split(a[4], '|');
        const bool closed = a[4].size() > 2 && a[4].compare(a[4].size() - 2, 2, "||") == 0;
        check(closed && fields.size() >= 4 && fields.size() % 2 == 0,
              "filter \"" + a[4] + "\" is not in pairs closed by ||");
        bool offersExtension = false;
        for (size_t i = 1; closed && i + 2 < fields.size(); i += 2)
            for (const std::string& pattern : Split(fields[i], ';'))
                offersExtension |= Lower(pattern) == "*." + Lower(a[1]);
        check(offersExtension, "the filter offers no *." + a[1]);
    } else if (call.function == "DoModalPrintSelDialog" && a.size() == 5) {
        // owner, choice (0-2), caption, prompt, result
        const int choice = std::atoi(a[1].c_str());
        check(choice >= 0 && choice <= 2, "choice " + a[1]);
        check(!a[3].empty() && a[3] != "All images" && a[3] != "Selected images" &&
                  a[3] != "Current image",
              "prompt \"" + a[3] + "\" is no prompt");
    } else {
        wrong = "unexpected call " + call.function + " with " + std::to_string(a.size()) + " args";
    }
    return wrong;
}

TEST(HostDialogs, EachTextGoesWhereItsDialogTakesItInBothModes) {
    for (const char* mode : {"direct", "protected"}) {
        SCOPED_TRACE(mode);
        ScratchDir folder("hostdlg");
        DialogDouble dialog(folder.Path());  // no script: every dialog is cancelled
        SetEnvironmentVariableA("VESKO_IEFRAME_ANSWER", mode);
        vesko::UniqueHandle host =
            StartProcess("\"" + ProgramFolder() + "\\veskohost.exe\" dialogs");
        ASSERT_TRUE(host) << Describe(GetLastError());
        ASSERT_EQ(WaitForSingleObject(host.Get(), 60000), WAIT_OBJECT_0);
        DWORD code = 99;
        GetExitCodeProcess(host.Get(), &code);
        EXPECT_EQ(code, 0u);

        const std::vector<DoubleCall> calls = dialog.Calls();
        std::string functions;
        for (const DoubleCall& call : calls) {
            functions += call.function + " ";
            EXPECT_EQ(RoleMistakes(call), "") << call.function;
        }
        EXPECT_EQ(functions, "DoModalSaveImgDlg DoModalTrevoltFileDlg DoModalPrintSelDialog ");
    }
    SetEnvironmentVariableA("VESKO_IEFRAME_ANSWER", nullptr);
}

}  // namespace
