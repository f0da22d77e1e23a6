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
        ASSERT_TRUE(dialogs && files);
        DeleteFileA(Shared().dialogs.ScriptPath().c_str());
        DeleteFileA(Shared().dialogs.LogPath().c_str());
    }
    // "<result>|<text>|<text>" of the last call; frees the texts for the next.
    std::string Outcome() {
        std::string out = std::to_string(result);
        for (UniqueBstr& text : texts) {
            out += "|" + Text(text.Get());
            text.Reset();
        }
        return out;
    }
    // The one call the doubles logged, as "<process>|<arguments>|...".
    std::string OnlyCall() {
        const std::vector<DoubleCall> calls = Shared().dialogs.Calls();
        std::string out = calls.size() != 1                            ? "calls: "
                          : calls[0].processId == Shared().ProcessId() ? "broker"
                                                                       : "other";
        for (const DoubleCall& call : calls)
            for (const std::string& arg : call.args)
                out += "|" + arg;
        return out;
    }
    // ReCreateFileLI's code: a file may be made only where the broker allows it.
    DWORD Recreate(const std::string& path) {
        DWORD code = 99;
        EXPECT_EQ(S_OK, files->ReCreateFileLI(id.Get(), Bstr(path).Get(), &code));
        return code;
    }

    ComPtr<IFileDlgBroker> dialogs = Shared().Get<IFileDlgBroker>();
    ComPtr<IFileIOBroker> files = Shared().Get<IFileIOBroker>();
    UniqueBstr id = Bstr(Identity());
    UniqueBstr texts[2];
    int result = 0;
};

TEST_F(BrokerDialogs, FileDialogRunsInTheBrokerJoinsTheFilesAndCancelReturnsNoTexts) {
    ASSERT_TRUE(Shared().dialogs.Answer(
        "DoModalTrevoltFileDlg", IDOK,
        {{"path", "C:\\images"}, {"file", "C:\\images\\a.dcm"}, {"file", "C:\\images\\b c.dcm"}}));
    ASSERT_EQ(S_OK, dialogs->ShowFileDialog(1, Bstr("dcm").Get(), Bstr("x.dcm").Get(),
                                            Bstr("DICOM|*.dcm||").Get(), 0x200, 0,
                                            texts[0].Receive(), texts[1].Receive(), &result));
    EXPECT_EQ("1|C:\\images|C:\\images\\a.dcm|C:\\images\\b c.dcm", Outcome());
    EXPECT_EQ(0u, OnlyCall().find("broker|1|dcm|x.dcm|512|DICOM|*.dcm|||")) << OnlyCall();
    // Without an answer in the script the dialog is cancelled.
    DeleteFileA(Shared().dialogs.ScriptPath().c_str());
    ASSERT_EQ(S_OK, dialogs->ShowFileDialog(0, nullptr, nullptr, nullptr, 0, 0, texts[0].Receive(),
                                            texts[1].Receive(), &result));
    EXPECT_EQ("2|(null)|(null)", Outcome());
}

TEST_F(BrokerDialogs, SaveImageDialogGrantsExactlyTheChosenFile) {
    const std::string target = Shared().outside / "export.png";
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), Recreate(target)) << "not granted yet";
    ASSERT_TRUE(Shared().dialogs.Answer("DoModalSaveImgDlg", IDOK,
                                        {{"path", target}, {"filter", "3"}, {"flags", "1024"}}));
    DWORD filter = 0, flags = 0;
    ASSERT_EQ(S_OK, dialogs->ShowSaveImageDialog(Bstr("Save").Get(), Bstr("C:\\").Get(),
                                                 Bstr("image").Get(), Bstr("png").Get(), 3, 0,
                                                 0x400000, OFN_ENABLETEMPLATE, texts[0].Receive(),
                                                 &filter, &flags, &result));
    EXPECT_EQ("1|" + target + "|(null) 3 1024",
              Outcome() + " " + std::to_string(filter) + " " + std::to_string(flags));
    // No module instance of another process, so no template flag either.
    EXPECT_EQ(0u, OnlyCall().find("broker|Save|C:\\|3|image|png|0x0|0x0|0|")) << OnlyCall();
    EXPECT_EQ(0u, Recreate(target)) << "the chosen file is granted";
    EXPECT_TRUE(Exists(target));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), Recreate(Shared().outside / "next.png"));
}

TEST_F(BrokerDialogs, FolderDialogGrantsTheTree) {
    ScratchDir picked("broker-picked");
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), Recreate(picked / "before.txt"));
    ASSERT_TRUE(Shared().dialogs.Answer("DoModalFolderDlg", IDOK, {{"folder", picked.Path()}}));
    ASSERT_EQ(S_OK, dialogs->ShowFolderDialog(0, Bstr("Pick").Get(), texts[0].Receive(), &result));
    EXPECT_EQ("1|" + picked.Path() + "|(null)", Outcome());
    EXPECT_EQ("broker|0x0|Pick|", OnlyCall());
    DWORD code = 99;
    EXPECT_EQ(S_OK, files->CreateDir(id.Get(), Bstr(picked / "sub").Get(), &code));
    EXPECT_EQ(0u, code);
    EXPECT_EQ(0u, Recreate(picked / "sub\\file.txt"));
    EXPECT_TRUE(Exists(picked / "sub\\file.txt"));
}

TEST_F(BrokerDialogs, PrintSelectionWritesThroughTheResultPointer) {
    ASSERT_TRUE(
        Shared().dialogs.Answer("DoModalPrintSelDialog", IDOK, {{"text", "Selected images"}}));
    ASSERT_EQ(S_OK, dialogs->ShowPrintSelectionDialog(0, 1, Bstr("Which?").Get(),
                                                      texts[0].Receive(), 42, &result));
    EXPECT_EQ("1|Selected images|(null)", Outcome());
    EXPECT_EQ("broker|0x0|1||Which?|", OnlyCall()) << "no caption sent: the dialog's own";
    // A null result pointer is allowed.
    EXPECT_EQ(S_OK,
              dialogs->ShowPrintSelectionDialog(0, 0, nullptr, texts[1].Receive(), 0, nullptr));
}

TEST_F(BrokerDialogs, AnEmptyTextIsReturnedWhenTheDialogSetItAndNullWhenItLeftItAlone) {
    // "<function> <result>" and the texts that come back for each script.
    const struct {
        const char* function;
        int result;
        Pairs outs;
        const char* expected;
    } cases[] = {
        {"DoModalTrevoltFileDlg", IDOK, {{"path", ""}}, "1||(null)"},
        {"DoModalTrevoltFileDlg", IDCANCEL, {}, "2|(null)|(null)"},
        {"DoModalSaveImgDlg", IDOK, {{"path", ""}}, "1||(null)"},
        {"DoModalSaveImgDlg", IDCANCEL, {}, "2|(null)|(null)"},
        {"DoModalPrintSelDialog", IDOK, {{"text", ""}}, "1||(null)"},
        {"DoModalPrintSelDialog", IDCANCEL, {}, "2|(null)|(null)"},
        {"DoModalFolderDlg", IDOK, {{"folder", ""}}, "1||(null)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.function) + " " + std::to_string(c.result));
        SetUp();
        ASSERT_TRUE(Shared().dialogs.Answer(c.function, c.result, c.outs));
        const std::string function = c.function;
        HRESULT hr = E_FAIL;
        result = 0;
        if (function == "DoModalTrevoltFileDlg")
            hr = dialogs->ShowFileDialog(0, nullptr, nullptr, nullptr, 0, 0, texts[0].Receive(),
                                         texts[1].Receive(), &result);
        else if (function == "DoModalSaveImgDlg")
            hr = dialogs->ShowSaveImageDialog(nullptr, nullptr, nullptr, nullptr, 0, 0, 0, 0,
                                              texts[0].Receive(), nullptr, nullptr, &result);
        else if (function == "DoModalPrintSelDialog")
            hr = dialogs->ShowPrintSelectionDialog(0, 0, nullptr, texts[0].Receive(), 0, &result);
        else
            hr = dialogs->ShowFolderDialog(0, nullptr, texts[0].Receive(), &result);
        EXPECT_EQ(S_OK, hr);
        EXPECT_EQ(c.expected, Outcome());
    }
}

}  // namespace
}  // namespace vesko::test
