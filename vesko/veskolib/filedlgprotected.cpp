#include "filedlgprotected.h"

#include <afx.h>

#include <veskobroker.h>

#include "globalinterfacetable.h"
#include "multibytetobstr.h"

using vesko::ComPtr;
using vesko::MakeBstr;
using vesko::UniqueBstr;

namespace {

// Handles cross the process boundary as their 32-bit values.
DWORD HandleValue(void* handle) {
    return static_cast<DWORD>(HandleToLong(handle));
}

// The broker's answer replaces the caller's text only when it sent one.
void CopyIfSet(const UniqueBstr& text, CString& target) {
    if (text)
        target = static_cast<const wchar_t*>(text.Get());
}

// The dialog result the broker wrote, IDCANCEL when it wrote none. Across
// the process boundary "none" arrives as 0, whatever the call returned: the
// stub hands the broker zeroed storage for the result and sends back what it
// holds, and a call that never completed (the broker process has gone) comes
// back with the outs the proxy cleared. No dialog answers 0 (IDOK 1,
// IDCANCEL 2, -1 when it could not be shown).
int ResultOfCall(int nResult) {
    return nResult == 0 ? IDCANCEL : nResult;
}

// The broker's dialog is a window of another process, which Windows keeps
// behind the host's window unless the host hands on its right to the
// foreground. A broker that cannot come forward still shows its dialog, so
// the outcome changes nothing here.
void AllowForeground(IUnknown* pBroker) {
    CoAllowSetForegroundWindow(pBroker, nullptr);
}

}  // namespace

FileDlgProtected::FileDlgProtected() : m_dwBrokerCookie(0) {}

FileDlgProtected::~FileDlgProtected() {
    GlobalInterfaceTable::Revoke(m_dwBrokerCookie);
}

int FileDlgProtected::ShowSaveImageDialog(const CString& strText1, const CString& strText2,
                                          long nNumber1, const CString& strText3,
                                          const CString& strText4, HWND hOwner, HINSTANCE hInstance,
                                          long nNumber2, CString& strResult, DWORD* pdwValue1,
                                          DWORD* pdwValue2) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());

    ComPtr<IFileDlgBroker> broker;
    if (const HRESULT hr = GlobalInterfaceTable::Fetch(m_dwBrokerCookie, broker); FAILED(hr))
        return hr;

    UniqueBstr text1 = MakeBstr(strText1);
    UniqueBstr text2 = MakeBstr(strText2);
    UniqueBstr text3 = MakeBstr(strText3);
    UniqueBstr text4 = MakeBstr(strText4);
    UniqueBstr result;
    // A broker that fails without answering reads as a cancelled dialog.
    int nResult = IDCANCEL;
    AllowForeground(broker.Get());
    broker->ShowSaveImageDialog(text1.Get(), text2.Get(), text3.Get(), text4.Get(), nNumber1,
                                HandleValue(hOwner), HandleValue(hInstance), nNumber2,
                                result.Receive(), pdwValue1, pdwValue2, &nResult);
    CopyIfSet(result, strResult);
    return ResultOfCall(nResult);
}

int FileDlgProtected::ShowFileDialog(int nMode, const CString& strText1, const CString& strText2,
                                     DWORD dwFlags, const CString& strText3, HWND hOwner,
                                     CString& strPath, std::vector<CString>& files) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());

    ComPtr<IFileDlgBroker> broker;
    if (const HRESULT hr = GlobalInterfaceTable::Fetch(m_dwBrokerCookie, broker); FAILED(hr))
        return hr;

    UniqueBstr text1 = MakeBstr(strText1);
    UniqueBstr text2 = MakeBstr(strText2);
    UniqueBstr text3 = MakeBstr(strText3);
    UniqueBstr path;
    UniqueBstr joined;
    int nResult = IDCANCEL;
    AllowForeground(broker.Get());
    // The broker takes the three texts together, ahead of the flags.
    broker->ShowFileDialog(nMode, text1.Get(), text2.Get(), text3.Get(), dwFlags,
                           HandleValue(hOwner), path.Receive(), joined.Receive(), &nResult);
    CopyIfSet(path, strPath);
    AppendFileList(joined ? CString(static_cast<const wchar_t*>(joined.Get())) : CString(), files);
    return ResultOfCall(nResult);
}

HRESULT FileDlgProtected::ShowPrintSelectionDialog(HWND hOwner, int nNumber, CString /*strText1*/,
                                                   const CString& strText2, CString& strResult,
                                                   DWORD dwBrokerValue, int* pnResult) {
    // The broker's dialog takes the second text only; the first, owned by
    // this call, goes with it (the broker shows the dialog's own caption).
    // Without a converted text the broker gets a null one: a print choice is
    // not worth an exception.
    ComPtr<IFileDlgBroker> broker;
    if (const HRESULT hr = GlobalInterfaceTable::Fetch(m_dwBrokerCookie, broker); FAILED(hr))
        return hr;

    UniqueBstr text(MultiByteToBSTR(strText2));
    UniqueBstr result;
    AllowForeground(broker.Get());
    const HRESULT hr = broker->ShowPrintSelectionDialog(HandleValue(hOwner), nNumber, text.Get(),
                                                        result.Receive(), dwBrokerValue, pnResult);
    CopyIfSet(result, strResult);
    return hr;
}

void FileDlgProtected::AppendFileList(const CString& strJoined, std::vector<CString>& files) {
    int nPos = 0;
    for (CString entry = strJoined.Tokenize("|", nPos); !entry.IsEmpty();
         entry = strJoined.Tokenize("|", nPos)) {
        files.push_back(entry);
    }
}
