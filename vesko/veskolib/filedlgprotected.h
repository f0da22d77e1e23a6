// The dialog service of a host that runs in the browser's protected mode:
// the broker shows each dialog in its own, medium-integrity process and the
// answers come back as BSTRs.
#pragma once

#include <afxmt.h>

#include <vector>

#include "filedlgservice.h"

class FileDlgProtected : public FileDlgService {
  public:
    FileDlgProtected();
    ~FileDlgProtected() override;

    int ShowSaveImageDialog(const CString& strText1, const CString& strText2, long nNumber1,
                            const CString& strText3, const CString& strText4, HWND hOwner,
                            HINSTANCE hInstance, long nNumber2, CString& strResult,
                            DWORD* pdwValue1, DWORD* pdwValue2) override;
    int ShowFileDialog(int nMode, const CString& strText1, const CString& strText2, DWORD dwFlags,
                       const CString& strText3, HWND hOwner, CString& strPath,
                       std::vector<CString>& files) override;
    HRESULT ShowPrintSelectionDialog(HWND hOwner, int nNumber, CString strText1,
                                     const CString& strText2, CString& strResult,
                                     DWORD dwBrokerValue, int* pnResult) override;

    // Appends the entries of a "|"-joined list to files, in order, after
    // whatever files already holds; empty entries add nothing.
    static void AppendFileList(const CString& strJoined, std::vector<CString>& files);

  private:
    CCriticalSection m_cs;  // set up with the object; no operation takes it

  public:
    // Registration of the broker's IFileDlgBroker in the Global Interface
    // Table, filled by the service set; 0 = none.
    DWORD m_dwBrokerCookie;
};
