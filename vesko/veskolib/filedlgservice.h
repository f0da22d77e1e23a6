// The host's dialog service: the save-image dialog, the file dialog and the
// print-selection dialog, shown modally on the calling thread. The direct
// service shows them in the host's process; the broker-backed one has the
// broker show them.
#pragma once

#include <afx.h>

#include <vector>

#include "veskolibdef.h"

class VESKOLIB_API FileDlgService {
  public:
    FileDlgService();
    virtual ~FileDlgService();
    FileDlgService(const FileDlgService&) = delete;
    FileDlgService& operator=(const FileDlgService&) = delete;

    // The dialog library's result. strResult is filled by the dialog; the two
    // DWORD pointers are the caller's, passed on.
    virtual int ShowSaveImageDialog(const CString& strText1, const CString& strText2, long nNumber1,
                                    const CString& strText3, const CString& strText4, HWND hOwner,
                                    HINSTANCE hInstance, long nNumber2, CString& strResult,
                                    DWORD* pdwValue1, DWORD* pdwValue2) = 0;
    // The dialog library's result; strPath and files are filled by the
    // dialog (files is handed over as it is, neither cleared nor checked).
    virtual int ShowFileDialog(int nMode, const CString& strText1, const CString& strText2,
                               DWORD dwFlags, const CString& strText3, HWND hOwner,
                               CString& strPath, std::vector<CString>& files) = 0;
    // A status, not the answer: the dialog's own result goes to *pnResult.
    // dwBrokerValue matters only to the broker-backed service.
    virtual HRESULT ShowPrintSelectionDialog(HWND hOwner, int nNumber, CString strText1,
                                             const CString& strText2, CString& strResult,
                                             DWORD dwBrokerValue, int* pnResult) = 0;
};
