// The broker-backed dialogs against the direct ones: the same scripted
// dialog (the DialogLib/ReportLib doubles, in this process or in the real
// broker's) must reach the host with the same result and texts, from a
// multithreaded and from a single-threaded apartment. A broker that answers
// without a result is one the real broker never is: a small object of this
// program stands in for it, reached through the real proxy/stub.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <veskobroker.h>
#include <vesko/raii.h>

#include "dialogdouble.h"
#include "filedlgnonprotected.h"
#include "filedlgprotected.h"
#include "globalinterfacetable.h"
#include "ioprotected.h"
#include "protectedtestsupport.h"
#include "testsupport.h"

using namespace vesko::test;

namespace {

// Runs fn on a new thread in the given apartment and waits for it.
void RunIn(DWORD coinit, const std::function<void()>& fn) {
    std::thread worker([&] {
        vesko::ComApartment apartment(coinit);
        ASSERT_TRUE(SUCCEEDED(apartment.Result())) << Describe(apartment.Result());
        fn();
    });
    worker.join();
}

const struct Apartment {
    const char* name;
    DWORD coinit;
} kApartments[] = {{"MTA", COINIT_MULTITHREADED}, {"STA", COINIT_APARTMENTTHREADED}};

// IForegroundTransfer, the interface Windows' CoAllowSetForegroundWindow asks for.
const IID kForegroundTransfer = {
    0x00000145, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// IFileDlgBroker that answers every dialog with S_OK and writes nothing, and
// counts what it is asked.
class SilentBroker : public IFileDlgBroker {
  public:
    std::atomic<int> calls{0};
    std::atomic<int> foregroundQueries{0};

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid == kForegroundTransfer)
            ++foregroundQueries;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IFileDlgBroker) {
            *ppv = static_cast<IFileDlgBroker*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_refs); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--m_refs); }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (count)
            *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP ShowFileDialog(int, BSTR, BSTR, BSTR, DWORD, DWORD, BSTR*, BSTR*, int*) override {
        ++calls;
        return S_OK;
    }
    STDMETHODIMP ShowSaveImageDialog(BSTR, BSTR, BSTR, BSTR, long, DWORD, DWORD, long, BSTR*,
                                     DWORD*, DWORD*, int*) override {
        ++calls;
        return S_OK;
    }
    STDMETHODIMP ShowFolderDialog(DWORD, BSTR, BSTR*, int*) override {
        ++calls;
        return S_OK;
    }
    STDMETHODIMP ShowPrintSelectionDialog(DWORD, int, BSTR, BSTR*, DWORD, int*) override {
        ++calls;
        return S_OK;
    }

  private:
    std::atomic<long> m_refs{1};  // the test's own
};

// Whether this system's CoAllowSetForegroundWindow asks the object it is
// given for IForegroundTransfer (Windows does; Wine's is a stub that asks
// nothing, so there the grant cannot be seen from here).
bool ForegroundGrantAsksTheObject() {
    SilentBroker probe;
    CoAllowSetForegroundWindow(static_cast<IFileDlgBroker*>(&probe), nullptr);
    return probe.foregroundQueries > 0;
}

TEST(BrokeredDialogs, ABrokerThatAnswersWithoutAResultReadsAsCancelInEitherApartment) {
    const bool asksObject = ForegroundGrantAsksTheObject();
    // The stubs may let go of their references after a revocation returns:
    // the objects outlive the test.
    static SilentBroker brokers[std::size(kApartments)];
    for (size_t i = 0; i < std::size(kApartments); ++i) {
        const Apartment& apartment = kApartments[i];
        SilentBroker& broker = brokers[i];
        SCOPED_TRACE(apartment.name);
        // Registered from this program's multithreaded apartment, as the
        // service set registers the real broker: a single-threaded caller
        // then reaches it through the proxy/stub, as it would the broker.
        DWORD cookie = 0;
        ASSERT_EQ(GlobalInterfaceTable::Register(static_cast<IFileDlgBroker*>(&broker),
                                                 IID_IFileDlgBroker, cookie),
                  S_OK);
        RunIn(apartment.coinit, [&] {
            FileDlgProtected dialogs;
            dialogs.m_dwBrokerCookie = cookie;  // the service revokes it
            CString path = "kept", saved = "kept";
            std::vector<CString> files = {"a"};
            DWORD filter = 7;
            const int fileResult =
                dialogs.ShowFileDialog(1, "dcm", "", 0, "*.dcm", nullptr, path, files);
            const int saveResult = dialogs.ShowSaveImageDialog(
                "Save", "", 0, "image", "png", nullptr, nullptr, 0, saved, &filter, nullptr);
            EXPECT_EQ(fileResult, IDCANCEL);
            EXPECT_EQ(saveResult, IDCANCEL);
            EXPECT_EQ(std::string(path) + " " + std::string(saved) + " " +
                          std::to_string(files.size()) + " " + std::to_string(filter),
                      "kept kept 1 7");
        });
        EXPECT_EQ(broker.calls, 2) << "both dialogs reached the broker";
        // A caller in the broker's own apartment hands the object itself to
        // the foreground grant; across apartments the proxy answers for it.
        if (asksObject && apartment.coinit == COINIT_MULTITHREADED) {
            EXPECT_EQ(broker.foregroundQueries, 2) << "one foreground grant per dialog";
        }
    }
    if (!asksObject)
        std::printf("note: CoAllowSetForegroundWindow asks no object here (Wine's stub)\n");
}

// The same scripted dialogs shown directly and through the real broker.
class DialogModes : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(set.Init(&Attrs()));
        brokered = set.GetFileDlgService();
        ASSERT_NE(brokered, nullptr);
    }
    void TearDown() override { set.Release(); }

    // The one answer of the next call, with the log of earlier calls gone.
    void Script(const char* function, int result, const Pairs& outs) {
        DeleteFileA(dialog.ScriptPath().c_str());
        DeleteFileA(dialog.LogPath().c_str());
        ASSERT_TRUE(dialog.Answer(function, result, outs));
    }
    // fn against the direct service, then the broker-backed one from a
    // multithreaded and a single-threaded apartment: "<mode>: <outcome>".
    std::vector<std::string> InEveryMode(const std::function<std::string(FileDlgService&)>& fn) {
        std::vector<std::string> outcomes = {"direct: " + fn(direct)};
        for (const Apartment& apartment : kApartments)
            RunIn(apartment.coinit, [&] {
                outcomes.push_back(std::string("brokered ") + apartment.name + ": " +
                                   fn(*brokered));
            });
        return outcomes;
    }
    static std::vector<std::string> Same(const std::string& outcome) {
        return {"direct: " + outcome, "brokered MTA: " + outcome, "brokered STA: " + outcome};
    }

    ScratchDir folder{"dlgmodes"};
    DialogDouble dialog{folder.Path()};
    FileDlgNonProtected direct;
    IOProtected set;
    FileDlgService* brokered = nullptr;
};

TEST_F(DialogModes, AnEmptyTextTheDialogSetReachesTheCallerAndOneItLeftAloneDoesNot) {
    const struct {
        const char* name;
        const char* function;
        int result;
        Pairs outs;
        std::string expected;  // "<result> <text>", the caller's text was "kept"
    } cases[] = {
        {"file, confirmed, empty path", "DoModalTrevoltFileDlg", IDOK, {{"path", ""}}, "1 "},
        {"file, confirmed, a path", "DoModalTrevoltFileDlg", IDOK, {{"path", "C:\\a"}}, "1 C:\\a"},
        {"file, cancelled", "DoModalTrevoltFileDlg", IDCANCEL, {}, "2 kept"},
        {"save, confirmed, empty path", "DoModalSaveImgDlg", IDOK, {{"path", ""}}, "1 "},
        {"save, cancelled", "DoModalSaveImgDlg", IDCANCEL, {}, "2 kept"},
        {"print, confirmed, empty text", "DoModalPrintSelDialog", IDOK, {{"text", ""}}, "0 1 "},
        {"print, cancelled", "DoModalPrintSelDialog", IDCANCEL, {}, "0 2 kept"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::string> outcomes = InEveryMode([&](FileDlgService& dlg) {
            Script(c.function, c.result, c.outs);
            CString text = "kept";
            std::vector<CString> files;
            const std::string function = c.function;
            // The call first: the text is read after it.
            int result = 0;
            HRESULT hr = S_OK;
            if (function == "DoModalTrevoltFileDlg")
                result = dlg.ShowFileDialog(0, "dcm", "", 0, "*.dcm", nullptr, text, files);
            else if (function == "DoModalSaveImgDlg")
                result = dlg.ShowSaveImageDialog("Save", "", 0, "image", "png", nullptr, nullptr, 0,
                                                 text, nullptr, nullptr);
            else
                hr = dlg.ShowPrintSelectionDialog(nullptr, 0, CString(), "", text, 0, &result);
            const std::string status =
                function == "DoModalPrintSelDialog" ? std::to_string(hr) + " " : "";
            return status + std::to_string(result) + " " + std::string(text);
        });
        EXPECT_EQ(outcomes, Same(c.expected));
    }
}

// The prompt reaches the dialog in every mode; the host's caption only
// directly: the brokered call keeps its by-value caption, and the broker's
// dialog shows its own.
TEST_F(DialogModes, ThePrintDialogGetsThePromptInEveryModeAndTheCaptionDirectly) {
    const struct {
        const char* caption;
        const char* prompt;
    } cases[] = {
        {"Export to film", "Which images?"},
        {"", "Which images?"},
        {"Print the series", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.caption) + "/" + c.prompt);
        const std::vector<std::string> outcomes = InEveryMode([&](FileDlgService& dlg) {
            Script("DoModalPrintSelDialog", IDOK, {{"text", "Current image"}});
            CString text;
            int result = 0;
            const HRESULT hr =
                dlg.ShowPrintSelectionDialog(nullptr, 2, c.caption, c.prompt, text, 9, &result);
            const std::vector<DoubleCall> calls = dialog.Calls();
            if (calls.size() != 1 || calls[0].args.size() != 5)
                return std::to_string(calls.size()) + " calls";
            // owner, choice, caption, prompt, result text on entry
            const std::vector<std::string>& args = calls[0].args;
            return std::to_string(hr) + " " + std::to_string(result) + " " + std::string(text) +
                   " | " + args[1] + " [" + args[2] + "] [" + args[3] + "]";
        });
        const std::string tail = std::string("] [") + c.prompt + "]";
        const std::string direct = "0 1 Current image | 2 [" + std::string(c.caption) + tail;
        const std::string brokered = "0 1 Current image | 2 [" + tail;
        EXPECT_EQ(outcomes,
                  (std::vector<std::string>{"direct: " + direct, "brokered MTA: " + brokered,
                                            "brokered STA: " + brokered}));
    }
}

}  // namespace
