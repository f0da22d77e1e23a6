// The DialogLib and ReportLib doubles: this program links the real import
// libraries and, from the test folder, loads the doubles in their place.
// Scripts go in, calls come back out. (The broker's dialog tests drive the
// same files from another process.)
#include "dialoglib.h"
#include "reportlib.h"

#include "dialogdouble.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using vesko::test::DialogDouble;
using vesko::test::DoubleCall;

namespace {

std::string Join(const std::vector<std::string>& args) {
    std::string out;
    for (size_t i = 0; i < args.size(); ++i)
        out += (i ? "|" : "") + args[i];
    return out;
}

std::string Joined(const std::vector<CString>& texts) {
    std::vector<std::string> out(texts.begin(), texts.end());
    return Join(out);
}

std::string Folder(const std::string& path) {
    return path.substr(0, path.find_last_of('\\'));
}

std::string ModulePath(const char* name) {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(GetModuleHandleA(name), path, MAX_PATH);
    return path;
}

class DialogDoubles : public ::testing::Test {
  protected:
    void SetUp() override {
        // The doubles, not the real libraries, from the test folder.
        for (const char* name : {"dialoglib.dll", "reportlib.dll"})
            ASSERT_EQ(Folder(ModulePath(name)), Folder(ModulePath(nullptr))) << ModulePath(name);
    }
    vesko::test::ScratchDir scratch{"dialogs"};
    DialogDouble dialogs{scratch.Path()};
};

TEST_F(DialogDoubles, SaveImageAnswersAndLogsEveryArgument) {
    ASSERT_TRUE(
        dialogs.Answer("DoModalSaveImgDlg", IDOK,
                       {{"path", "C:\\out\\image 1.jpg"}, {"filter", "3"}, {"flags", "1024"}}));
    CString path("before");
    DWORD filter = 0, flags = 0;
    const int result = DoModalSaveImgDlg(
        "Save image", "C:\\in", 2, "name.jpg", "jpg", reinterpret_cast<HWND>(0x1234),
        reinterpret_cast<HINSTANCE>(0xABC0), 6, path, &filter, &flags);
    EXPECT_EQ(std::to_string(result) + " " + path.GetString() + " " + std::to_string(filter) + " " +
                  std::to_string(flags),
              "1 C:\\out\\image 1.jpg 3 1024");

    // Null out pointers are left alone; the answer repeats.
    path = "again";
    EXPECT_EQ(DoModalSaveImgDlg("", "", 0, "", "", nullptr, nullptr, 0, path, nullptr, nullptr),
              IDOK);

    const auto calls = dialogs.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].function, "DoModalSaveImgDlg");
    EXPECT_EQ(calls[0].processId, GetCurrentProcessId());
    EXPECT_EQ(Join(calls[0].args),
              "Save image|C:\\in|2|name.jpg|jpg|0x1234|0xabc0|6|before|ptr|ptr");
    EXPECT_EQ(Join(calls[1].args), "||0|||0x0|0x0|0|again|null|null");
}

TEST_F(DialogDoubles, FileDialogAppendsTheScriptedFiles) {
    ASSERT_TRUE(dialogs.Answer(
        "DoModalTrevoltFileDlg", IDOK,
        {{"path", "C:\\data"}, {"file", "C:\\data\\a.dcm"}, {"file", "C:\\data\\b.dcm"}}));
    ASSERT_TRUE(dialogs.Answer("DoModalTrevoltFileDlg", IDCANCEL));
    CString path;
    std::vector<CString> files{CString("kept.dcm")};
    EXPECT_EQ(DoModalTrevoltFileDlg(1, "dcm", "", 4 /* OFN_HIDEREADONLY */, "DICOM|*.dcm||",
                                    nullptr, path, files),
              IDOK);
    EXPECT_STREQ(path, "C:\\data");
    EXPECT_EQ(Joined(files), "kept.dcm|C:\\data\\a.dcm|C:\\data\\b.dcm");
    // The second line answers the second call: cancelled, nothing changes.
    EXPECT_EQ(DoModalTrevoltFileDlg(0, "", "x", 0, "", nullptr, path, files), IDCANCEL);
    EXPECT_STREQ(path, "C:\\data");
    EXPECT_EQ(Joined(files), "kept.dcm|C:\\data\\a.dcm|C:\\data\\b.dcm");

    const auto calls = dialogs.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(Join(calls[0].args), "1|dcm||4|DICOM|*.dcm|||0x0||1");
    EXPECT_EQ(Join(calls[1].args), "0||x|0||0x0|C:\\data|3");
}

TEST_F(DialogDoubles, PrintSelectionAndFolderAndTheDefaultAnswer) {
    // Nothing scripted: IDCANCEL, outs untouched, the call still logged.
    CString text("unchanged");
    EXPECT_EQ(DoModalPrintSelDialog(nullptr, 2, CString("Print"), "Which images?", text), IDCANCEL);
    EXPECT_STREQ(text, "unchanged");

    ASSERT_TRUE(dialogs.Answer("DoModalPrintSelDialog", IDOK, {{"text", "Selected images"}}));
    ASSERT_TRUE(dialogs.Answer("DoModalFolderDlg", IDOK, {{"folder", "D:\\export"}}));
    EXPECT_EQ(DoModalPrintSelDialog(nullptr, 1, CString("Print"), "Which images?", text), IDOK);
    EXPECT_STREQ(text, "Selected images");
    CString folder("C:\\start");
    EXPECT_EQ(DoModalFolderDlg(reinterpret_cast<HWND>(0x10), "Choose", folder), IDOK);
    EXPECT_STREQ(folder, "D:\\export");

    const auto calls = dialogs.Calls();
    ASSERT_EQ(calls.size(), 3u);
    // The first print call was not answered by a script line, so the one
    // line answers the second.
    EXPECT_EQ(calls[0].function + ":" + Join(calls[0].args),
              "DoModalPrintSelDialog:0x0|2|Print|Which images?|unchanged");
    EXPECT_EQ(calls[2].function + ":" + Join(calls[2].args),
              "DoModalFolderDlg:0x10|Choose|C:\\start");
}

TEST_F(DialogDoubles, TextsWithSeparatorsSurviveTheFiles) {
    const std::string odd = "tab\there%25 percent\r\nnew line";
    ASSERT_TRUE(dialogs.Answer("DoModalFolderDlg", IDOK, {{"folder", odd}}));
    CString folder(odd.c_str());
    EXPECT_EQ(DoModalFolderDlg(nullptr, odd.c_str(), folder), IDOK);
    EXPECT_EQ(std::string(folder.GetString()), odd);
    const auto calls = dialogs.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args, (std::vector<std::string>{"0x0", odd, odd})) << Join(calls[0].args);
}

}  // namespace
