// The file I/O service of a host that runs in the browser's protected mode.
// The operations a low-integrity process may not perform itself go to the
// broker's IFileIOBroker; everything else is FileIOService's own code and runs
// in the host's process exactly as in direct mode.
#pragma once

#include <afxmt.h>

#include "fileioservice.h"

class FileIOProtected : public FileIOService {
  public:
    FileIOProtected();
    ~FileIOProtected() override;

    DWORD MoveFileLI(const CString& strSource, const CString& strDestination) override;
    DWORD CreateDir(const CString& strPath) override;
    DWORD DeleteDirRecursively(const CString& strFolder) override;
    DWORD ReCreateFileLI(const CString& strPath) override;
    DWORD RegistryHKCUSetValueDWord(const CString& strKeyPath, const CString& strValueName,
                                    DWORD dwValue) override;
    bool IsDestinationWritable(const CString& strPath) override;
    bool GetIEVersion(unsigned int& nMajor, unsigned int& nMinor, unsigned int& nBuild) override;
    DWORD DisplayHelpFile(const CString& strArguments, HWND hOwner) override;

    // What an operation returns when it is called after Release: the shared
    // security attributes (and with them the identity every broker call
    // carries) are gone, so the call is refused before anything is fetched
    // or sent. A failing HRESULT, like every other failure of this service
    // that does not come from the broker's own result code.
    static constexpr DWORD kReleasedResult = HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);

  private:
    CCriticalSection m_cs;  // set up with the object; no operation takes it

  public:
    // Registration of the broker's IFileIOBroker in the Global Interface
    // Table, filled by the service set; 0 = none.
    DWORD m_dwBrokerCookie;
};
