// The DialogLib and ReportLib doubles: this program links the real import libraries and, from the
// test folder, loads the doubles in their place. Scripts go in, calls come back out.
#include "dialoglib.h"
#include "reportlib.h"

#include "dialogdouble.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

namespace {

std::string FolderOf(const char* module) {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(GetModuleHandleA(module), path, MAX_PATH);
    return std::string(path).substr(0, std::string(path).find_last_of('\\'));
}

// "<result> <texts joined by |>".
template <typename... Texts>
std::string Said(int result, const Texts&... texts) {
    std::string out = std::to_string(result);
    char separator = ' ';
    ((out += separator + std::string(texts), separator = '|'), ...);
    return out;
}

TEST(DialogDoubles, AnswerFromTheScriptAndLogEveryArgument) {
    for (const char* name : {"dialoglib.dll", "reportlib.dll"})
        ASSERT_EQ(FolderOf(name), FolderOf(nullptr)) << name << " is not the double";
    vesko::test::ScratchDir scratch("dialogs");
    vesko::test::DialogDouble dialogs(scratch.Path());
    const std::string odd = "tab\there%25 percent\r\nnew line";
    ASSERT_TRUE(dialogs.Answer("DoModalSaveImgDlg", IDOK,
                               {{"path", "C:\\out\\a.jpg"}, {"filter", "3"}, {"flags", "1024"}}));
    ASSERT_TRUE(dialogs.Answer("DoModalTrevoltFileDlg", IDOK,
                               {{"path", "C:\\in"}, {"file", "C:\\in\\a"}, {"file", "C:\\in\\b"}}));
    ASSERT_TRUE(dialogs.Answer("DoModalTrevoltFileDlg", IDCANCEL));
    ASSERT_TRUE(dialogs.Answer("DoModalFolderDlg", IDOK, {{"folder", odd}}));

    CString path("before"), text("unchanged"), folder(odd.c_str());
    DWORD filter = 0, flags = 0;
    int result = DoModalSaveImgDlg("Save image", "C:\\in", 2, "name.jpg", "jpg",
                                   reinterpret_cast<HWND>(0x1234),
                                   reinterpret_cast<HINSTANCE>(0xABC0), 6, path, &filter, &flags);
    EXPECT_EQ(Said(result, path, std::to_string(filter), std::to_string(flags)),
              "1 C:\\out\\a.jpg|3|1024");
    // The one line answers again; null out pointers are left alone.
    path = "again";
    result = DoModalSaveImgDlg("", "", 0, "", "", nullptr, nullptr, 0, path, nullptr, nullptr);
    EXPECT_EQ(Said(result, path), "1 C:\\out\\a.jpg");
    std::vector<CString> files{CString("kept")};
    result = DoModalTrevoltFileDlg(1, "dcm", "", 4, "DICOM|*.dcm||", nullptr, path, files);
    EXPECT_EQ(Said(result, path, files[0], files[1], files[2]),
              "1 C:\\in|kept|C:\\in\\a|C:\\in\\b");
    // The second line answers the second call: cancelled, nothing changes.
    result = DoModalTrevoltFileDlg(0, "", "x", 0, "", nullptr, path, files);
    EXPECT_EQ(Said(result, path, std::to_string(files.size())), "2 C:\\in|3");
    // Nothing scripted: IDCANCEL, the result untouched; a line added later answers the next call.
    result = DoModalPrintSelDialog(nullptr, 2, CString("Print"), "Which?", text);
    EXPECT_EQ(Said(result, text), "2 unchanged");
    ASSERT_TRUE(dialogs.Answer("DoModalPrintSelDialog", 7, {{"text", "Selected images"}}));
    EXPECT_EQ(Said(DoModalPrintSelDialog(nullptr, 1, CString("Print"), "Which?", text), text),
              "7 Selected images");
    // Separators and line ends survive both files.
    result = DoModalFolderDlg(reinterpret_cast<HWND>(0x10), odd.c_str(), folder);
    EXPECT_EQ(Said(result, folder), "1 " + odd);

    const char* logged[] = {
        "DoModalSaveImgDlg Save image|C:\\in|2|name.jpg|jpg|0x1234|0xabc0|6|before|ptr|ptr",
        "DoModalSaveImgDlg ||0|||0x0|0x0|0|again|null|null",
        "DoModalTrevoltFileDlg 1|dcm||4|DICOM|*.dcm|||0x0|C:\\out\\a.jpg|1",
        "DoModalTrevoltFileDlg 0||x|0||0x0|C:\\in|3",
        "DoModalPrintSelDialog 0x0|2|Print|Which?|unchanged",
        "DoModalPrintSelDialog 0x0|1|Print|Which?|unchanged",
    };
    const auto calls = dialogs.Calls();
    ASSERT_EQ(calls.size(), std::size(logged) + 1);
    for (size_t i = 0; i < calls.size(); ++i) {
        std::string line = calls[i].function;
        for (size_t a = 0; a < calls[i].args.size(); ++a)
            line += (a ? "|" : " ") + calls[i].args[a];
        EXPECT_EQ(line,
                  i < std::size(logged) ? logged[i] : "DoModalFolderDlg 0x10|" + odd + "|" + odd);
        EXPECT_EQ(calls[i].processId, GetCurrentProcessId()) << line;
    }
}

}  // namespace
