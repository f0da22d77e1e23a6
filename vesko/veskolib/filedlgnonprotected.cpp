#include "filedlgnonprotected.h"

#include <dialoglib.h>
#include <reportlib.h>

FileDlgNonProtected::FileDlgNonProtected() = default;

FileDlgNonProtected::~FileDlgNonProtected() = default;

int FileDlgNonProtected::ShowSaveImageDialog(const CString& strText1, const CString& strText2,
                                             long nNumber1, const CString& strText3,
                                             const CString& strText4, HWND hOwner,
                                             HINSTANCE hInstance, long nNumber2, CString& strResult,
                                             DWORD* pdwValue1, DWORD* pdwValue2) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return DoModalSaveImgDlg(strText1, strText2, nNumber1, strText3, strText4, hOwner, hInstance,
                             nNumber2, strResult, pdwValue1, pdwValue2);
}

int FileDlgNonProtected::ShowFileDialog(int nMode, const CString& strText1, const CString& strText2,
                                        DWORD dwFlags, const CString& strText3, HWND hOwner,
                                        CString& strPath, std::vector<CString>& files) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return DoModalTrevoltFileDlg(nMode, strText1, strText2, dwFlags, strText3, hOwner, strPath,
                                 files);
}

HRESULT FileDlgNonProtected::ShowPrintSelectionDialog(HWND hOwner, int nNumber, CString strText1,
                                                      const CString& strText2, CString& strResult,
                                                      DWORD /*dwBrokerValue*/, int* pnResult) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    const int nResult = DoModalPrintSelDialog(hOwner, nNumber, strText1, strText2, strResult);
    if (pnResult)
        *pnResult = nResult;
    return S_OK;
}
