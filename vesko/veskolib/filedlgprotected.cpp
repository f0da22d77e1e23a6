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

// The dialog result the broker wrote, IDCANCEL when it wrote none. A call
// that never completed (the broker process has gone) comes back with the
// outs the proxy cleared: that zero is not the broker's answer.
int ResultOfCall(HRESULT hr, int nResult) {
    return (FAILED(hr) && nResult == 0) ? IDCANCEL : nResult;
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
    const HRESULT hr = broker->ShowSaveImageDialog(
        text1.Get(), text2.Get(), text3.Get(), text4.Get(), nNumber1, HandleValue(hOwner),
        HandleValue(hInstance), nNumber2, result.Receive(), pdwValue1, pdwValue2, &nResult);
    CopyIfSet(result, strResult);
    return ResultOfCall(hr, nResult);
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
    // The broker takes the three texts together, ahead of the flags.
    const HRESULT hr =
        broker->ShowFileDialog(nMode, text1.Get(), text2.Get(), text3.Get(), dwFlags,
                               HandleValue(hOwner), path.Receive(), joined.Receive(), &nResult);
    CopyIfSet(path, strPath);
    AppendFileList(joined ? CString(static_cast<const wchar_t*>(joined.Get())) : CString(), files);
    return ResultOfCall(hr, nResult);
}

HRESULT FileDlgProtected::ShowPrintSelectionDialog(HWND hOwner, int nNumber, CString /*strText1*/,
                                                   const CString& strText2, CString& strResult,
                                                   DWORD dwBrokerValue, int* pnResult) {
    // The broker's dialog takes the second text only; the first, owned by
    // this call, goes with it. Without a converted text the broker gets a
    // null one: a print choice is not worth an exception.
    ComPtr<IFileDlgBroker> broker;
    if (const HRESULT hr = GlobalInterfaceTable::Fetch(m_dwBrokerCookie, broker); FAILED(hr))
        return hr;

    UniqueBstr text(MultiByteToBSTR(strText2));
    UniqueBstr result;
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
