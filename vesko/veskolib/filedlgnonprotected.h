// The dialog service of a host that runs directly: DialogLib and ReportLib
// show the dialogs in the host's process, with the library's own module
// state current so that they find the library's resources.
#pragma once

#include "filedlgservice.h"

class FileDlgNonProtected : public FileDlgService {
  public:
    FileDlgNonProtected();
    ~FileDlgNonProtected() override;

    int ShowSaveImageDialog(const CString& strText1, const CString& strText2, long nNumber1,
                            const CString& strText3, const CString& strText4, HWND hOwner,
                            HINSTANCE hInstance, long nNumber2, CString& strResult,
                            DWORD* pdwValue1, DWORD* pdwValue2) override;
    int ShowFileDialog(int nMode, const CString& strText1, const CString& strText2, DWORD dwFlags,
                       const CString& strText3, HWND hOwner, CString& strPath,
                       std::vector<CString>& files) override;
    // Always S_OK; dwBrokerValue is not used here.
    HRESULT ShowPrintSelectionDialog(HWND hOwner, int nNumber, CString strText1,
                                     const CString& strText2, CString& strResult,
                                     DWORD dwBrokerValue, int* pnResult) override;
};
