// The host's file I/O service: file-system operations, one registry write,
// the help viewer and the application's well-known folders. The virtual
// operations carry the direct implementation; the broker-backed service
// overrides those a low-integrity process cannot perform itself.
//
// Every path and text is a narrow CString in the ANSI code page. DWORD
// results are 0 or a Win32 error code (the delete operations also return
// 0xFFFFFFFF for their own refusals).
#pragma once

#include <afx.h>

#include "sfileio.h"
#include "veskolibdef.h"

class VeskoSecurityAttributes;

class VESKOLIB_API FileIOService {
  public:
    FileIOService();
    virtual ~FileIOService();
    FileIOService(const FileIOService&) = delete;
    FileIOService& operator=(const FileIOService&) = delete;

    // Creates the service's SFileIO and resolves the well-known folders;
    // false when they could not be resolved (the service still works on
    // paths). A second Init re-resolves the folders with the same SFileIO,
    // so the last saved folder and a running help viewer survive it.
    virtual bool Init(VeskoSecurityAttributes* pSecurityAttr);
    virtual void Release();

    virtual DWORD MoveFileLI(const CString& strSource, const CString& strDestination);
    // Creates the folder and its missing parents and labels each for low
    // integrity; an existing folder is labelled again and gives 0.
    virtual DWORD CreateDir(const CString& strPath);
    // Creates the folders before the path's last separator (so a path
    // without a trailing separator gets only its parents). Gives 183 when the
    // last of them already exists.
    virtual DWORD CreateDirRecursively(const CString& strPath);
    virtual DWORD DeleteDirRecursively(const CString& strFolder);
    // A fresh, empty file named like strSource in the writable folder.
    virtual DWORD GetWritableFile(const CString& strSource, CString& strWritableFile);
    virtual DWORD SetFileSecurityLI(const CString& strPath);
    virtual DWORD ReCreateFileLI(const CString& strPath);
    virtual DWORD RegistryHKCUSetValueDWord(const CString& strKeyPath, const CString& strValueName,
                                            DWORD dwValue);
    virtual bool IsDestinationWritable(const CString& strPath);
    virtual bool GetIEVersion(unsigned int& nMajor, unsigned int& nMinor, unsigned int& nBuild);
    virtual DWORD DisplayHelpFile(const CString& strArguments, HWND hOwner);
    // Deletes the files of strFolder whose names begin with strPrefix.
    virtual DWORD DeleteDirContentRecursively(const CString& strFolder, const CString& strPrefix);
    // Empties strFolder and keeps it.
    virtual DWORD DeleteDirContentRecursively(const CString& strFolder);
    virtual void MakeVersionSpecificBehavior(SFileIO::eFileIOOverrideItems item,
                                             CString strVersion);

    // The well-known folders; empty before Init, after Release, or when Init
    // failed.
    CString GetWritableDir() const;
    CString GetLECacheDir() const;
    CString GetLogDir() const;
    CString GetMachinePrefDir() const;
    CString GetUserMachinePrefDir() const;
    CString GetCadraExportTemp() const;
    CString GetUserDocDir() const;
    CString GetDumpDir() const;
    CString GetZipDir() const;
    CString GetNorvaneDir() const;
    CString GetUserActivityLogDir() const;
    CString GetDefaultDumpDir() const;
    CString GetLastSavedDir() const;
    void SetLastSavedDir(const CString& strDir);

    // What the operations that need the folder table or the security
    // attributes return, without acting, before Init and after Release.
    static constexpr DWORD kNotInitialized = ERROR_INVALID_HANDLE;

  protected:
    SFileIO* GetSFileIO() const;
    VeskoSecurityAttributes* GetVeskoSecurityAttr() const;
    // The override items applied so far (bitwise OR).
    unsigned int GetOverrideItems() const;

  private:
    PSECURITY_DESCRIPTOR LowSD() const;

    SFileIO* m_pSFileIO;
    VeskoSecurityAttributes* m_pSecurityAttr;
    unsigned int m_nOverrideItems;
};
