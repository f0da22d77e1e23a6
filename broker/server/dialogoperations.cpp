#include "dialogoperations.h"

#include <commdlg.h>

#include <exception>
#include <thread>
#include <vector>

#include <afx.h>

#include "brokercontext.h"
#include "dialoglib.h"
#include "reportlib.h"
#include "textconvert.h"

namespace vesko::broker {

namespace {

constexpr DWORD kHostOnlyFlags = OFN_ENABLETEMPLATE | OFN_ENABLETEMPLATEHANDLE | OFN_ENABLEHOOK;

HWND OwnerWindow(DWORD value) {
    HWND window = static_cast<HWND>(LongToHandle(static_cast<LONG>(value)));
    return window && IsWindow(window) ? window : nullptr;
}

CString Narrow(BSTR text) {
    // Dialog texts are shown, not interpreted: the framework's conversion
    // (best fit included) is what the direct dialogs would get.
    return CString(text ? static_cast<const wchar_t*>(text) : L"");
}

// Runs a dialog on a fresh single-threaded-apartment thread in the host's
// language and waits for it. Exceptions stay on that thread.
template <typename Show>
HRESULT RunDialog(DWORD language, Show show) {
    HRESULT outcome = S_OK;
    std::thread worker([&] {
        ComApartment apartment(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
        if (language)
            SetThreadUILanguage(static_cast<LANGID>(language));
        try {
            show();
        } catch (CException* e) {
            e->Delete();
            outcome = E_FAIL;
        } catch (const std::bad_alloc&) {
            outcome = E_OUTOFMEMORY;
        } catch (...) {
            outcome = E_FAIL;
        }
    });
    worker.join();
    return outcome;
}

BSTR OptionalBstr(const char* text) {
    return text && *text ? ToBstr(text) : nullptr;
}

// A text the dialog left alone comes back null, so that the caller's own
// string stays as it was (as with a dialog shown directly); one it set comes
// back even when empty. The dialog got an empty string, so a text that is
// not empty was set; an empty one was set when the user confirmed, as
// DialogLib and ReportLib change their out texts only then.
bool WasSet(const CString& text, int answer) {
    return !text.IsEmpty() || answer == IDOK;
}
BSTR ReturnedText(const CString& text, int answer) {
    return WasSet(text, answer) ? ToBstr(text.GetString()) : nullptr;
}

std::string ResultText(HRESULT hr, int result) {
    return "hr=" + Hex(static_cast<unsigned long>(hr)) + " result=" + std::to_string(result);
}

}  // namespace

DialogOperations::DialogOperations(BrokerContext& context) : m_context(context) {}

std::string DialogOperations::Grant(const char* path, bool tree) {
    // What the user picked is judged where it really is (a short name, a
    // link or another drive letter can name a system folder), and by the
    // rules a policy root follows: no whole drive, no system folder, nothing
    // that holds one, nothing inside the broker's or the system's folders.
    const char* reason = nullptr;
    const std::wstring real = PathPolicy::RealPath(FromAnsi(path), &reason);
    if (!real.empty())
        reason = m_context.Paths().RootRefusal(real, tree);
    if (real.empty() || reason)
        return std::string("grants nothing: ") + reason;
    if (tree)
        m_context.Paths().GrantTree(real);
    else
        m_context.Paths().GrantFile(real);
    return {};
}

// One record for the dialog and what it granted (or why it granted nothing).
void DialogOperations::AuditPick(const char* operation, const std::string& arguments,
                                 const std::string& result, const char* path, bool tree) {
    if (!path) {
        m_context.Audit().Done(operation, arguments, result);
        return;
    }
    const std::string refusal = Grant(path, tree);
    if (refusal.empty())
        m_context.Audit().Done(
            operation, arguments,
            result + " granted " + (tree ? "tree " : "file ") + ForLog(FromAnsi(path)));
    else
        m_context.Audit().Refused(operation, arguments, result, refusal.c_str());
}

HRESULT DialogOperations::ShowFileDialog(int mode, BSTR text1, BSTR text2, BSTR text3, DWORD flags,
                                         DWORD ownerWindow, BSTR* chosenPath, BSTR* chosenFiles,
                                         int* result) {
    if (!chosenPath || !chosenFiles || !result)
        return E_POINTER;
    *chosenPath = nullptr;
    *chosenFiles = nullptr;
    *result = IDCANCEL;
    const std::string arguments = "mode=" + std::to_string(mode) + " text1=" + ForLog(text1) +
                                  " text2=" + ForLog(text2) + " text3=" + ForLog(text3) +
                                  " flags=" + Hex(flags) + " owner=" + Hex(ownerWindow);
    CString path;
    std::vector<CString> files;
    int answer = IDCANCEL;
    const HRESULT hr = RunDialog(m_context.Language(), [&] {
        answer = DoModalTrevoltFileDlg(mode, Narrow(text1), Narrow(text2), flags & ~kHostOnlyFlags,
                                       Narrow(text3), OwnerWindow(ownerWindow), path, files);
    });
    if (FAILED(hr)) {
        m_context.Audit().Done("ShowFileDialog", arguments, ResultText(hr, *result));
        return hr;
    }
    *result = answer;
    std::string joined;
    for (const CString& file : files) {
        if (file.IsEmpty())
            continue;
        if (!joined.empty())
            joined += '|';
        joined += file.GetString();
    }
    *chosenPath = ReturnedText(path, answer);
    *chosenFiles = OptionalBstr(joined.c_str());
    if ((WasSet(path, answer) && !*chosenPath) || (!joined.empty() && !*chosenFiles)) {
        SysFreeString(*chosenPath);
        SysFreeString(*chosenFiles);
        *chosenPath = *chosenFiles = nullptr;
        return E_OUTOFMEMORY;
    }
    AuditPick(
        "ShowFileDialog", arguments,
        ResultText(hr, answer) + " path=" + ForLog(*chosenPath) + " files=" + ForLog(*chosenFiles),
        answer == IDOK && mode == 2 && !path.IsEmpty() ? path.GetString() : nullptr, false);
    return S_OK;
}

HRESULT DialogOperations::ShowSaveImageDialog(BSTR text1, BSTR text2, BSTR text3, BSTR text4,
                                              long number1, DWORD ownerWindow, DWORD moduleInstance,
                                              long number2, BSTR* resultText, DWORD* value1,
                                              DWORD* value2, int* result) {
    if (!resultText || !result)
        return E_POINTER;
    *resultText = nullptr;
    *result = IDCANCEL;
    const std::string arguments =
        "text1=" + ForLog(text1) + " text2=" + ForLog(text2) +
        " number1=" + std::to_string(number1) + " text3=" + ForLog(text3) +
        " text4=" + ForLog(text4) + " owner=" + Hex(ownerWindow) +
        " instance=" + Hex(moduleInstance) + " number2=" + std::to_string(number2);
    CString path;
    int answer = IDCANCEL;
    const long flags = static_cast<long>(static_cast<DWORD>(number2) & ~kHostOnlyFlags);
    const HRESULT hr = RunDialog(m_context.Language(), [&] {
        answer =
            DoModalSaveImgDlg(Narrow(text1), Narrow(text2), number1, Narrow(text3), Narrow(text4),
                              OwnerWindow(ownerWindow), nullptr, flags, path, value1, value2);
    });
    if (FAILED(hr)) {
        m_context.Audit().Done("ShowSaveImageDialog", arguments, ResultText(hr, *result));
        return hr;
    }
    *result = answer;
    *resultText = ReturnedText(path, answer);
    if (WasSet(path, answer) && !*resultText)
        return E_OUTOFMEMORY;
    AuditPick("ShowSaveImageDialog", arguments,
              ResultText(hr, answer) + " path=" + ForLog(*resultText),
              answer == IDOK && !path.IsEmpty() ? path.GetString() : nullptr, false);
    return S_OK;
}

HRESULT DialogOperations::ShowFolderDialog(DWORD ownerWindow, BSTR title, BSTR* folder,
                                           int* result) {
    if (!folder || !result)
        return E_POINTER;
    *folder = nullptr;
    *result = IDCANCEL;
    const std::string arguments = "owner=" + Hex(ownerWindow) + " title=" + ForLog(title);
    CString chosen;
    int answer = IDCANCEL;
    const HRESULT hr = RunDialog(m_context.Language(), [&] {
        answer = DoModalFolderDlg(OwnerWindow(ownerWindow), Narrow(title), chosen);
    });
    if (FAILED(hr)) {
        m_context.Audit().Done("ShowFolderDialog", arguments, ResultText(hr, *result));
        return hr;
    }
    *result = answer;
    *folder = ReturnedText(chosen, answer);
    if (WasSet(chosen, answer) && !*folder)
        return E_OUTOFMEMORY;
    AuditPick("ShowFolderDialog", arguments, ResultText(hr, answer) + " folder=" + ForLog(*folder),
              answer == IDOK && !chosen.IsEmpty() ? chosen.GetString() : nullptr, true);
    return S_OK;
}

HRESULT DialogOperations::ShowPrintSelectionDialog(DWORD ownerWindow, int number, BSTR text,
                                                   BSTR* resultText, DWORD brokerValue,
                                                   int* result) {
    if (!resultText)
        return E_POINTER;
    *resultText = nullptr;
    const std::string arguments = "owner=" + Hex(ownerWindow) +
                                  " number=" + std::to_string(number) + " text=" + ForLog(text) +
                                  " value=" + std::to_string(brokerValue);
    CString chosen;
    int answer = -1;
    // The caption is the host's by-value argument, which the library keeps:
    // the dialog shows its own default caption.
    const HRESULT hr = RunDialog(m_context.Language(), [&] {
        answer = DoModalPrintSelDialog(OwnerWindow(ownerWindow), number, CString(), Narrow(text),
                                       chosen);
    });
    if (FAILED(hr)) {
        m_context.Audit().Done("ShowPrintSelectionDialog", arguments, ResultText(hr, answer));
        return hr;
    }
    if (result)
        *result = answer;
    *resultText = ReturnedText(chosen, answer);
    if (WasSet(chosen, answer) && !*resultText)
        return E_OUTOFMEMORY;
    m_context.Audit().Done("ShowPrintSelectionDialog", arguments,
                           ResultText(hr, answer) + " text=" + ForLog(*resultText));
    return S_OK;
}

}  // namespace vesko::broker
