// The broker's dialog methods with the DialogLib/ReportLib doubles loaded in
// the broker process: arguments arrive, answers come back, picks are granted.
#include <gtest/gtest.h>

#include "brokersession.h"

#include <commdlg.h>

namespace vesko::test {
namespace {

class BrokerDialogs : public testing::Test {
  protected:
    void SetUp() override {
        dialogs = Shared().Session().Get<IFileDlgBroker>();
        files = Shared().Session().Get<IFileIOBroker>();
        ASSERT_TRUE(dialogs);
        ASSERT_TRUE(files);
        DeleteFileA(Shared().Dialogs().ScriptPath().c_str());
        DeleteFileA(Shared().Dialogs().LogPath().c_str());
    }
    // The one call the doubles logged, as "<process>|<arguments>|...".
    std::string OnlyCall() {
        const std::vector<DoubleCall> calls = Shared().Dialogs().Calls();
        if (calls.size() != 1)
            return std::to_string(calls.size()) + " calls";
        std::string out = calls[0].processId == Shared().Session().ProcessId() ? "broker" : "other";
        for (const std::string& arg : calls[0].args)
            out += "|" + arg;
        return out;
    }
    DWORD Recreate(const std::string& path) {
        DWORD code = 99;
        EXPECT_EQ(S_OK, files->ReCreateFileLI(id.Get(), Bstr(path).Get(), &code));
        return code;
    }
    ComPtr<IFileDlgBroker> dialogs;
    ComPtr<IFileIOBroker> files;
    UniqueBstr id = Bstr(Identity());
};

std::wstring Text(BSTR text) {
    return text ? text : L"(null)";
}

TEST_F(BrokerDialogs, FileDialogRunsInTheBrokerAndJoinsTheFiles) {
    ASSERT_TRUE(Shared().Dialogs().Answer(
        "DoModalTrevoltFileDlg", IDOK,
        {{"path", "C:\\images"}, {"file", "C:\\images\\a.dcm"}, {"file", "C:\\images\\b c.dcm"}}));
    BSTR path = nullptr, chosen = nullptr;
    int result = 0;
    const HRESULT hr = dialogs->ShowFileDialog(
        1, Bstr(std::string("dcm")).Get(), Bstr(std::string("x.dcm")).Get(),
        Bstr(std::string("DICOM|*.dcm||")).Get(), 0x200, 0, &path, &chosen, &result);
    UniqueBstr ownPath(path), ownChosen(chosen);
    ASSERT_EQ(S_OK, hr) << Describe(static_cast<DWORD>(hr));
    EXPECT_EQ(IDOK, result);
    EXPECT_EQ(L"C:\\images", Text(path));
    EXPECT_EQ(L"C:\\images\\a.dcm|C:\\images\\b c.dcm", Text(chosen));
    // Shown in the broker, with the arguments sent.
    EXPECT_EQ(0u, OnlyCall().find("broker|1|dcm|x.dcm|512|DICOM|*.dcm|||")) << OnlyCall();
}

TEST_F(BrokerDialogs, CancelledDialogReturnsNoTexts) {
    BSTR path = nullptr, chosen = nullptr;
    int result = 0;
    ASSERT_EQ(S_OK,
              dialogs->ShowFileDialog(0, nullptr, nullptr, nullptr, 0, 0, &path, &chosen, &result));
    UniqueBstr ownPath(path), ownChosen(chosen);
    EXPECT_EQ(IDCANCEL, result);
    EXPECT_EQ(nullptr, path);
    EXPECT_EQ(nullptr, chosen);
}

TEST_F(BrokerDialogs, SaveImageDialogGrantsExactlyTheChosenFile) {
    const std::string target = Shared().Outside() + "\\export.png";
    const std::string neighbour = Shared().Outside() + "\\neighbour.png";
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), Recreate(target)) << "not granted yet";
    ASSERT_TRUE(Shared().Dialogs().Answer("DoModalSaveImgDlg", IDOK,
                                          {{"path", target}, {"filter", "3"}, {"flags", "1024"}}));
    BSTR text = nullptr;
    DWORD filter = 0, flags = 0;
    int result = 0;
    const HRESULT hr = dialogs->ShowSaveImageDialog(
        Bstr(std::string("Save")).Get(), Bstr(std::string("C:\\")).Get(),
        Bstr(std::string("image")).Get(), Bstr(std::string("png")).Get(), 3, 0, 0x400000,
        OFN_ENABLETEMPLATE, &text, &filter, &flags, &result);
    UniqueBstr owned(text);
    ASSERT_EQ(S_OK, hr);
    EXPECT_EQ(IDOK, result);
    EXPECT_EQ(Wide(target), Text(text));
    EXPECT_EQ(3u, filter);
    EXPECT_EQ(1024u, flags);
    // No module instance of another process, so no template flag either.
    EXPECT_EQ(0u, OnlyCall().find("broker|Save|C:\\|3|image|png|0x0|0x0|0|")) << OnlyCall();

    EXPECT_EQ(0u, Recreate(target)) << "the chosen file is granted";
    EXPECT_TRUE(Exists(target));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), Recreate(neighbour));
    EXPECT_FALSE(Exists(neighbour));
}

TEST_F(BrokerDialogs, FolderDialogGrantsTheTree) {
    ScratchDir picked("broker-picked");
    const std::string inside = picked.Path() + "\\sub\\file.txt";
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), Recreate(picked.Path() + "\\before.txt"));
    ASSERT_TRUE(Shared().Dialogs().Answer("DoModalFolderDlg", IDOK, {{"folder", picked.Path()}}));
    BSTR folder = nullptr;
    int result = 0;
    ASSERT_EQ(S_OK,
              dialogs->ShowFolderDialog(0, Bstr(std::string("Pick")).Get(), &folder, &result));
    UniqueBstr owned(folder);
    EXPECT_EQ(IDOK, result);
    EXPECT_EQ(Wide(picked.Path()), Text(folder));
    DWORD code = 99;
    EXPECT_EQ(S_OK, files->CreateDir(id.Get(), Bstr(picked.Path() + "\\sub").Get(), &code));
    EXPECT_EQ(0u, code);
    EXPECT_EQ(0u, Recreate(inside));
    EXPECT_TRUE(Exists(inside));
}

TEST_F(BrokerDialogs, PrintSelectionWritesThroughTheResultPointer) {
    ASSERT_TRUE(
        Shared().Dialogs().Answer("DoModalPrintSelDialog", IDOK, {{"text", "Selected images"}}));
    BSTR text = nullptr;
    int result = 0;
    ASSERT_EQ(S_OK, dialogs->ShowPrintSelectionDialog(0, 1, Bstr(std::string("Which?")).Get(),
                                                      &text, 42, &result));
    UniqueBstr owned(text);
    EXPECT_EQ(IDOK, result);
    EXPECT_EQ(L"Selected images", Text(text));
    // The caption stays with the library.
    EXPECT_EQ("broker|0x0|1||Which?|", OnlyCall());
    // A null result pointer is allowed.
    BSTR again = nullptr;
    EXPECT_EQ(S_OK, dialogs->ShowPrintSelectionDialog(0, 0, nullptr, &again, 0, nullptr));
    UniqueBstr ownAgain(again);
}

}  // namespace
}  // namespace vesko::test
