// SFileIO: the file-system worker that every file I/O service owns, in both
// modes. It resolves and creates the application's well-known folders and
// performs the file-system operations that run in the caller's own process.
//
// Every folder the worker creates or finds while setting up its table gets the
// low-integrity label of the shared security attributes, so that a host in the
// browser's protected mode can still write there.
#pragma once

#include <afx.h>
#include <afxmt.h>
#include <shtypes.h>

#include <vesko/raii.h>

class VeskoSecurityAttributes;

class SFileIO {
  public:
    // Version-specific behaviour a host can switch on; used as bit flags by the
    // file I/O service. Only eOverrideLECacheDir has an effect here.
    enum eFileIOOverrideItems : unsigned int {
        eOverrideNone = 0,
        eOverrideLECacheDir = 1,
    };

    // The value every own refusal of the delete operations returns.
    static constexpr DWORD kRefused = 0xFFFFFFFF;

    SFileIO();
    virtual ~SFileIO();
    SFileIO(const SFileIO&) = delete;
    SFileIO& operator=(const SFileIO&) = delete;

    // Resolves and creates the folder table. False when the local-low base
    // folder cannot be resolved; the table is then empty.
    bool Init(VeskoSecurityAttributes* pSecurityAttr);
    // Empties the folder table. Keeps the two subpaths, the last saved folder,
    // the version suffix and the help viewer.
    void Release();

    // The company folder, resolved on first use.
    CString GetNorvaneDir();
    // Builds the version suffix from version and, for eOverrideLECacheDir,
    // the LE cache folder (created and labelled).
    void MakeVersionSpecificBehavior(eFileIOOverrideItems item, CString strVersion);

    // One shell base folder: the known folder on Vista or newer, the CSIDL
    // otherwise. strPath is written only on success.
    static bool ResolveKnownFolder(CString& strPath, REFKNOWNFOLDERID folderId, int nCsidl);
    // The Vista branch of ResolveKnownFolder, with SHGetKnownFolderPath
    // looked up at run time. Any trailing separator is removed.
    static bool GetKnownFolderPathLate(CString& strPath, REFKNOWNFOLDERID folderId);

    // File-system operations. DWORD results are 0 or a Win32 error code; the
    // delete operations also return kRefused for their own refusals. Paths are
    // read in the code page of the A file functions (the ANSI one), double-byte
    // code pages included: a trail byte 0x5C is never taken for a separator.
    //
    // The creations never create or label a root ("C:\", "\\server\share") or
    // a bare drive ("C:", which is that drive's current folder):
    // ERROR_INVALID_NAME (123) for such a folder, also when it is the parent
    // that CreateParentDirs would make ("C:\name").
    // CreateDir answers 0 only when the folder is there as a folder when it
    // returns: ERROR_ALREADY_EXISTS (183) when a file holds the name,
    // ERROR_PATH_NOT_FOUND (3) when the path runs through a file.
    static DWORD CreateDir(const CString& strPath, PSECURITY_DESCRIPTOR pSD);
    static DWORD CreateParentDirs(const CString& strPath, PSECURITY_DESCRIPTOR pSD);
    static DWORD CreateDirWithLabel(const CString& strPath, PSECURITY_DESCRIPTOR pSD);
    // The deletes work only on a fully qualified folder strictly below a root.
    // They refuse with kRefused, as for anything that is not a plain folder:
    // roots ("C:\", "\\server\share", "C:\x\.."), drive-relative paths ("C:",
    // "C:x"), paths relative to the current folder ("x", ".", "\x") and the
    // empty path.
    static DWORD DeleteDirRecursively(const CString& strFolder);
    static DWORD DeleteDirContentRecursively(const CString& strFolder, unsigned int nDepth = 0);
    static DWORD DeleteFilesByPrefix(const CString& strFolder, const CString& strPrefix);
    static DWORD MoveFileLI(const CString& strSource, const CString& strDestination);
    // Creates the file anew, empty, with the descriptor. A file that existed is
    // emptied and then labelled through LabelOpenFile; the result stays 0 when
    // that labelling fails (as for every label after a creation).
    static DWORD ReCreateFileLI(const CString& strPath, PSECURITY_DESCRIPTOR pSD);
    // Writes the label of pSD (its SACL) onto the file open as hFile, whatever
    // access that handle has. 0 when done or when there is nothing to write
    // (no descriptor, or one without a label); ERROR_INVALID_HANDLE for a
    // null or INVALID_HANDLE_VALUE handle; else the Win32 error.
    static DWORD LabelOpenFile(HANDLE hFile, PSECURITY_DESCRIPTOR pSD);
    static DWORD SetFileSecurityLI(const CString& strPath, PSECURITY_DESCRIPTOR pSD);
    static DWORD RegistryHKCUSetValueDWord(const CString& strKeyPath, const CString& strValueName,
                                           DWORD dwValue);
    static bool GetIEVersion(unsigned int& nMajor, unsigned int& nMinor, unsigned int& nBuild);
    static DWORD GetWritableFile(const CString& strSource, const CString& strWritableDir,
                                 CString& strWritableFile);
    static bool IsDestinationWritable(const CString& strPath);
    // Shows a help file in the HTML Help viewer; a viewer this object started
    // before and that still runs is ended first. Safe to call from several
    // threads at once: the calls take turns.
    DWORD DisplayHelpFile(const CString& strArguments, HWND hOwner);
    // Ends a help viewer that still runs (its exit code becomes 259).
    static DWORD EndHelpProcess(HANDLE hProcess);

    // The folder table.
    const CString& GetWritableDir() const { return m_strWritableDir; }
    const CString& GetLECacheDir() const { return m_strLECacheDir; }
    const CString& GetLogDir() const { return m_strLogDir; }
    const CString& GetMachinePrefDir() const { return m_strMachinePrefDir; }
    const CString& GetUserMachinePrefDir() const { return m_strUserMachinePrefDir; }
    const CString& GetExportTempDir() const { return m_strExportTempDir; }
    const CString& GetUserDocDir() const { return m_strUserDocDir; }
    const CString& GetDumpDir() const { return m_strDumpDir; }
    const CString& GetZipDir() const { return m_strZipDir; }
    // The company folder as it stands, without resolving it.
    const CString& GetNorvaneDirValue() const { return m_strNorvaneDir; }
    const CString& GetUserActivityLogDir() const { return m_strUserActivityLogDir; }
    const CString& GetDefaultDumpDir() const { return m_strDefaultDumpDir; }
    const CString& GetLastSavedDir() const { return m_strLastSavedDir; }
    void SetLastSavedDir(const CString& strDir) { m_strLastSavedDir = strDir; }
    const CString& GetVersionSuffix() const { return m_strVersionSuffix; }
    bool IsInitialized() const { return m_bInitialized; }
    // The help viewer last started by DisplayHelpFile (still owned by this
    // object); null when none.
    HANDLE GetHelpProcess() const;

  protected:
    CString m_strCompanySubPath;
    CString m_strProductSubPath;
    CString m_strWritableDir;
    CString m_strLECacheDir;
    CString m_strLogDir;
    CString m_strMachinePrefDir;
    CString m_strUserMachinePrefDir;
    CString m_strExportTempDir;
    CString m_strUserDocDir;
    CString m_strDumpDir;
    CString m_strZipDir;
    CString m_strNorvaneDir;
    CString m_strUserActivityLogDir;
    bool m_bInitialized;
    VeskoSecurityAttributes* m_pSecurityAttr;
    // Owned; guarded by m_csHelpProcess.
    vesko::UniqueHandle m_hHelpProcess;
    CString m_strLastSavedDir;
    CString m_strDefaultDumpDir;
    CString m_strVersionSuffix;
    mutable CCriticalSection m_csHelpProcess;

  private:
    // The step of CreateDir and CreateParentDirs after the parent step: the
    // folder is made again unless the parent step failed for good.
    static DWORD AfterParent(DWORD dwParent, const CString& strPath, PSECURITY_DESCRIPTOR pSD);
    // The low-integrity descriptor of the security attributes; null when
    // there are none.
    PSECURITY_DESCRIPTOR LowSD() const;
};
