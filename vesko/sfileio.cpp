#include "sfileio.h"

#include <shellapi.h>
#include <shlobj.h>

#include <cstdlib>

#include <ace/Log_Msg.h>
#include <osinfo.h>
#include <systeminfo.h>
#include <vesko/raii.h>

#include "librarylog.h"
#include "veskosecurityattributes.h"

namespace {

// The three shell base folders. Spelt out here rather than taken from the SDK
// so that the worker depends on no GUID library for them.
const KNOWNFOLDERID kFolderLocalAppDataLow = {
    0xA520A1A4, 0x1780, 0x4FF6, {0xBD, 0x18, 0x16, 0x73, 0x43, 0xC5, 0xAF, 0x16}};
const KNOWNFOLDERID kFolderPublic = {
    0xDFDF76A2, 0xC82A, 0x4D63, {0x90, 0x6A, 0x56, 0x44, 0xAC, 0x45, 0x73, 0x85}};
const KNOWNFOLDERID kFolderDocuments = {
    0xFDD39AD0, 0x238F, 0x46AF, {0xAD, 0xB4, 0x6C, 0x85, 0x48, 0x03, 0x69, 0xC7}};

const char kCompanyFolder[] = "\\Norvane\\";
const char kProductFolder[] = "\\Cadra\\";
const char kVersionFolder[] = "4.7";

bool IsSeparator(char ch) {
    return ch == '\\' || ch == '/';
}

bool EndsWithSeparator(const CString& str) {
    return !str.IsEmpty() && IsSeparator(str[str.GetLength() - 1]);
}

bool ResolveLocalLow(CString& strPath) {
    return SFileIO::ResolveKnownFolder(strPath, kFolderLocalAppDataLow, CSIDL_LOCAL_APPDATA);
}

// Writes only the mandatory label; the folder's access rules stay as they are.
BOOL Label(const CString& strPath, PSECURITY_DESCRIPTOR pSD) {
    return SetFileSecurityA(strPath, LABEL_SECURITY_INFORMATION, pSD);
}

// The folder path the delete operations list and build entry paths from:
// separators unified to '\' and exactly one trailing '\'.
CString NormalisedFolder(const CString& strFolder) {
    const bool bTrailing = EndsWithSeparator(strFolder);
    CString strNormalised(strFolder);
    strNormalised.Replace('/', '\\');
    if (!bTrailing)
        strNormalised += '\\';
    return strNormalised;
}

// GetFileAttributesA masked with directory|system equals directory: a folder
// that is neither a file nor a system folder (such as a volume root or a
// protected shell folder).
bool IsPlainFolder(DWORD dwAttributes) {
    return (dwAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_SYSTEM)) ==
           FILE_ATTRIBUTE_DIRECTORY;
}

vesko::UniqueFindHandle StartListing(const CString& strPattern, WIN32_FIND_DATAA& data) {
    return vesko::UniqueFindHandle(
        FindFirstFileExA(strPattern, FindExInfoStandard, &data, FindExSearchNameMatch, nullptr, 0));
}

// What a delete operation returns when its listing cannot start: a folder
// that vanished in the meantime counts as done.
DWORD ListingFailure() {
    return GetLastError() == ERROR_PATH_NOT_FOUND ? 0 : SFileIO::kRefused;
}

// Shared walk of the two recursive deletes. Files are deleted (a failure, such
// as a read-only file, leaves the file); folders whose name starts with '.'
// are skipped with everything in them, which covers "." and ".." and keeps
// hidden tool folders (".svn", ".git") intact; every other folder goes to
// onFolder. Reparse points are refused before the walk, so it never follows a
// junction or symbolic link out of the tree. Returns true when the folder was
// walked (the caller decides about removing it); false with dwResult final
// otherwise.
template <typename OnFolder>
bool WalkForDelete(const CString& strFolder, OnFolder&& onFolder, DWORD& dwResult) {
    dwResult = SFileIO::kRefused;
    if (strFolder.IsEmpty())
        return false;
    const DWORD dwAttributes = GetFileAttributesA(strFolder);
    if (dwAttributes == INVALID_FILE_ATTRIBUTES) {
        dwResult = GetLastError();
        return false;
    }
    if (!IsPlainFolder(dwAttributes))
        return false;
    if (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        dwResult = 0;
        return false;
    }

    const CString strBase = NormalisedFolder(strFolder);
    WIN32_FIND_DATAA data;
    vesko::UniqueFindHandle find = StartListing(strBase + "*", data);
    if (!find) {
        dwResult = ListingFailure();
        return false;
    }
    do {
        const CString strEntry = strBase + data.cFileName;
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            DeleteFileA(strEntry);
        } else if (data.cFileName[0] != '.') {
            onFolder(strEntry);
        }
    } while (FindNextFileA(find.Get(), &data));
    dwResult = 0;
    return true;
}

}  // namespace

SFileIO::SFileIO() : m_bInitialized(false), m_pSecurityAttr(nullptr), m_hHelpProcess(nullptr) {
    m_strCompanySubPath = CString(kCompanyFolder) + kVersionFolder;
    m_strProductSubPath = CString(kProductFolder) + kVersionFolder;
}

SFileIO::~SFileIO() {
    Release();
    if (m_hHelpProcess) {
        EndHelpProcess(m_hHelpProcess);
        CloseHandle(m_hHelpProcess);
        m_hHelpProcess = nullptr;
    }
}

PSECURITY_DESCRIPTOR SFileIO::LowSD() const {
    return m_pSecurityAttr ? m_pSecurityAttr->m_pLowSD : nullptr;
}

bool SFileIO::Init(VeskoSecurityAttributes* pSecurityAttr) {
    if (m_bInitialized)
        Release();
    m_pSecurityAttr = pSecurityAttr;
    PSECURITY_DESCRIPTOR pSD = LowSD();
    auto fail = [this] {
        Release();
        return false;
    };

    // Writable folder.
    if (ResolveLocalLow(m_strWritableDir) && !m_strWritableDir.IsEmpty())
        m_strWritableDir += m_strProductSubPath + "\\Temp";
    if (m_strWritableDir.IsEmpty())
        return fail();
    CreateDir(m_strWritableDir, pSD);

    // Log folder; creating it creates the company folder as its parent.
    m_strLogDir = GetNorvaneDir();
    if (m_strLogDir.IsEmpty())
        return fail();
    m_strLogDir += "\\CadraLogs";
    CreateDir(m_strLogDir, pSD);

    m_strMachinePrefDir = GetNorvaneDir();
    if (m_strMachinePrefDir.IsEmpty())
        return fail();
    m_strMachinePrefDir += "\\MachinePref";
    CreateDir(m_strMachinePrefDir, pSD);

    if (!ResolveLocalLow(m_strUserMachinePrefDir))
        return fail();
    m_strUserMachinePrefDir += m_strProductSubPath + "\\MachinePref";
    CreateDir(m_strUserMachinePrefDir, pSD);

    if (ResolveLocalLow(m_strExportTempDir) && !m_strExportTempDir.IsEmpty())
        m_strExportTempDir += m_strProductSubPath + "\\My PixmurExport";
    if (m_strExportTempDir.IsEmpty())
        return fail();
    CreateDir(m_strExportTempDir, pSD);

    m_strUserActivityLogDir = GetNorvaneDir();
    if (m_strUserActivityLogDir.IsEmpty())
        return fail();
    m_strUserActivityLogDir += "\\CadraUserActivityLogs";
    CreateDir(m_strUserActivityLogDir, pSD);

    m_strDumpDir = GetNorvaneDir();
    if (m_strDumpDir.IsEmpty())
        return fail();
    m_strDumpDir += "\\CadraErrors";
    CreateDir(m_strDumpDir, pSD);

    // The zipped crash files are optional: no company folder, no folder.
    m_strZipDir = GetNorvaneDir();
    if (!m_strZipDir.IsEmpty()) {
        m_strZipDir += CString("\\CadraErrors") + "\\CrashFiles_Zipped";
        CreateDir(m_strZipDir, pSD);
    }

    m_strDefaultDumpDir = GetNorvaneDir() + "\\CadraLogs" + "\\Dumps";
    if (m_strDefaultDumpDir.IsEmpty())
        return fail();
    CreateDir(m_strDefaultDumpDir, pSD);

    // A process without a user profile (a service) has no documents folder;
    // that is worth a trace but no reason to fail.
    if (!ResolveKnownFolder(m_strUserDocDir, kFolderDocuments, CSIDL_PERSONAL)) {
        ACE_Log_Msg* pLog = LibraryLog::Instance();
        pLog->conditional_set("sfileio", __LINE__, 0, ACE_Log_Msg::last_error_adapter());
        pLog->log(LM_DEBUG,
                  "Could not initialize document directory. Possibly hosted in a service\n");
    }

    m_bInitialized = true;
    return true;
}

void SFileIO::Release() {
    m_strWritableDir.Empty();
    m_strLECacheDir.Empty();
    m_strLogDir.Empty();
    m_strMachinePrefDir.Empty();
    m_strUserMachinePrefDir.Empty();
    m_strExportTempDir.Empty();
    m_strUserDocDir.Empty();
    m_strDumpDir.Empty();
    m_strZipDir.Empty();
    m_strNorvaneDir.Empty();
    m_strUserActivityLogDir.Empty();
    m_strDefaultDumpDir.Empty();
    m_bInitialized = false;
    m_pSecurityAttr = nullptr;
}

CString SFileIO::GetNorvaneDir() {
    if (m_strNorvaneDir.IsEmpty()) {
        // Without a public folder the company folder is the subpath alone, at
        // the root of the current drive: still a usable place for the logs.
        ResolveKnownFolder(m_strNorvaneDir, kFolderPublic, CSIDL_COMMON_APPDATA);
        m_strNorvaneDir += m_strCompanySubPath;
    }
    return m_strNorvaneDir;
}

void SFileIO::MakeVersionSpecificBehavior(eFileIOOverrideItems item, CString strVersion) {
    // "2.5.17" -> "_2_5": the last component is dropped, so every patch of a
    // release shares one cache.
    const int nLastDot = strVersion.ReverseFind('.');
    CString strSuffix = nLastDot >= 0 ? strVersion.Left(nLastDot) : CString();
    strSuffix.Replace('.', '_');
    m_strVersionSuffix = "_" + strSuffix;

    if (item != eOverrideLECacheDir)
        return;
    // Without a successful Init there is no table and no descriptor to label
    // with: only the suffix is kept. Likewise nothing is created when the
    // base cannot be resolved, so no folder is ever made from a bare subpath.
    if (!m_bInitialized)
        return;
    CString strDir;
    if (!ResolveLocalLow(strDir) || strDir.IsEmpty())
        return;
    m_strLECacheDir = strDir + m_strProductSubPath + "\\Local Cache" + m_strVersionSuffix;
    CreateDir(m_strLECacheDir, LowSD());
}

bool SFileIO::ResolveKnownFolder(CString& strPath, REFKNOWNFOLDERID folderId, int nCsidl) {
    if (OSInfo::IsVistaOrNewer())
        return GetKnownFolderPathLate(strPath, folderId);

    char szPath[MAX_PATH] = {};
    if (SHGetFolderPathA(nullptr, nCsidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT,
                         szPath) != S_OK)
        return false;
    strPath = szPath;
    return true;
}

bool SFileIO::GetKnownFolderPathLate(CString& strPath, REFKNOWNFOLDERID folderId) {
    // Looked up at run time: shell32 of the systems before Vista lacks it.
    using GetKnownFolderPathFn = HRESULT(WINAPI*)(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*);
    vesko::UniqueModule shell(LoadLibraryA("shell32.dll"));
    if (!shell)
        return false;
    auto pfn =
        reinterpret_cast<GetKnownFolderPathFn>(GetProcAddress(shell.Get(), "SHGetKnownFolderPath"));
    if (!pfn)
        return false;

    PWSTR pszWide = nullptr;
    pfn(folderId, 0, nullptr, &pszWide);
    vesko::UniqueCoTaskMem owner(pszWide);
    if (!pszWide || !*pszWide)
        return false;

    int nLength = lstrlenW(pszWide);
    if (pszWide[nLength - 1] == L'\\' || pszWide[nLength - 1] == L'/')
        pszWide[--nLength] = L'\0';

    // Two bytes per character cover every double-byte ANSI code page.
    const int nBuffer = 2 * (nLength + 1);
    CString strConverted;
    char* pBuffer = strConverted.GetBuffer(nBuffer);
    const int nWritten = WideCharToMultiByte(CP_THREAD_ACP, 0, pszWide, nLength + 1, pBuffer,
                                             nBuffer, nullptr, nullptr);
    strConverted.ReleaseBuffer();
    if (nWritten == 0)
        return false;
    strPath = strConverted;
    return true;
}

DWORD SFileIO::CreateDirWithLabel(const CString& strPath, PSECURITY_DESCRIPTOR pSD) {
    const DWORD dwError = CreateDirectoryA(strPath, nullptr) ? 0 : GetLastError();
    // The label is applied again to a folder that already exists: an older
    // installation may have created it without one.
    if (pSD && (dwError == 0 || dwError == ERROR_ALREADY_EXISTS))
        Label(strPath, pSD);
    return dwError;
}

DWORD SFileIO::CreateDir(const CString& strPath, PSECURITY_DESCRIPTOR pSD) {
    CString strDir(strPath);
    if (EndsWithSeparator(strDir))
        strDir.Truncate(strDir.GetLength() - 1);
    // An empty path names no folder. CreateDirectoryA would say "path not
    // found" for it, and so does this, without asking the system.
    if (strDir.IsEmpty())
        return ERROR_PATH_NOT_FOUND;

    DWORD dwError = CreateDirWithLabel(strDir, pSD);
    if (dwError == ERROR_PATH_NOT_FOUND) {
        dwError = CreateParentDirs(strDir, pSD);
        if (dwError == 0)
            dwError = CreateDirWithLabel(strDir, pSD);
    }
    return dwError == ERROR_ALREADY_EXISTS ? 0 : dwError;
}

DWORD SFileIO::CreateParentDirs(const CString& strPath, PSECURITY_DESCRIPTOR pSD) {
    if (strPath.IsEmpty())
        return ERROR_PATH_NOT_FOUND;
    // The first character is never a split point: "\x" has no parent to make.
    int nSplit = strPath.GetLength() - 1;
    while (nSplit >= 1 && !IsSeparator(strPath[nSplit]))
        --nSplit;
    if (nSplit < 1)
        return 0;

    const CString strParent = strPath.Left(nSplit);
    DWORD dwError = CreateDirWithLabel(strParent, pSD);
    if (dwError == ERROR_PATH_NOT_FOUND) {
        dwError = CreateParentDirs(strParent, pSD);
        if (dwError == 0)
            dwError = CreateDirWithLabel(strParent, pSD);
    }
    return dwError;
}

DWORD SFileIO::DeleteDirRecursively(const CString& strFolder) {
    DWORD dwResult = 0;
    if (!WalkForDelete(
            strFolder, [](const CString& strSub) { DeleteDirRecursively(strSub); }, dwResult))
        return dwResult;
    // The listing handle is closed by now; the folder given by the caller goes.
    return RemoveDirectoryA(strFolder) ? 0 : kRefused;
}

DWORD SFileIO::DeleteDirContentRecursively(const CString& strFolder, unsigned int nDepth) {
    DWORD dwResult = 0;
    if (!WalkForDelete(
            strFolder,
            [nDepth](const CString& strSub) { DeleteDirContentRecursively(strSub, nDepth + 1); },
            dwResult))
        return dwResult;
    // The caller's folder stays; nested ones go once emptied (their result is
    // of no interest to the caller).
    if (nDepth == 0)
        return 0;
    return RemoveDirectoryA(strFolder) ? 0 : kRefused;
}

DWORD SFileIO::DeleteFilesByPrefix(const CString& strFolder, const CString& strPrefix) {
    if (strFolder.IsEmpty() || strPrefix.IsEmpty())
        return kRefused;
    const DWORD dwAttributes = GetFileAttributesA(strFolder);
    if (dwAttributes == INVALID_FILE_ATTRIBUTES)
        return kRefused;
    if (!IsPlainFolder(dwAttributes))
        return kRefused;
    // A junction or symbolic link is refused like any other folder that is
    // not plainly this tree's: the files behind it belong somewhere else.
    if (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return kRefused;

    const CString strBase = NormalisedFolder(strFolder);
    WIN32_FIND_DATAA data;
    vesko::UniqueFindHandle find = StartListing(strBase + strPrefix + "*", data);
    if (!find)
        return ListingFailure();
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            DeleteFileA(strBase + data.cFileName);
    } while (FindNextFileA(find.Get(), &data));
    return 0;
}

DWORD SFileIO::MoveFileLI(const CString& strSource, const CString& strDestination) {
    // Replace, cross volumes by copy and delete, and return only when the data
    // is on disk: the host reads the destination straight after.
    const DWORD dwFlags =
        MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;
    return MoveFileExA(strSource, strDestination, dwFlags) ? 0 : GetLastError();
}

DWORD SFileIO::ReCreateFileLI(const CString& strPath, PSECURITY_DESCRIPTOR pSD) {
    SECURITY_ATTRIBUTES sa = {sizeof(SECURITY_ATTRIBUTES), pSD, FALSE};
    vesko::UniqueHandle file(CreateFileA(strPath, FILE_GENERIC_READ | FILE_GENERIC_WRITE,
                                         FILE_SHARE_READ, &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                         nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE)
        return GetLastError();
    return 0;
}

DWORD SFileIO::SetFileSecurityLI(const CString& strPath, PSECURITY_DESCRIPTOR pSD) {
    if (!pSD)
        return 0;
    return Label(strPath, pSD) ? 0 : GetLastError();
}

DWORD SFileIO::RegistryHKCUSetValueDWord(const CString& strKeyPath, const CString& strValueName,
                                         DWORD dwValue) {
    vesko::UniqueHKey key;
    if (RegOpenKeyA(HKEY_CURRENT_USER, strKeyPath, key.Receive()) != ERROR_SUCCESS) {
        const LONG lCreate = RegCreateKeyA(HKEY_CURRENT_USER, strKeyPath, key.Receive());
        if (lCreate != ERROR_SUCCESS)
            return static_cast<DWORD>(lCreate);
    }
    return static_cast<DWORD>(RegSetValueExA(key.Get(), strValueName, 0, REG_DWORD,
                                             reinterpret_cast<const BYTE*>(&dwValue),
                                             sizeof(dwValue)));
}

bool SFileIO::GetIEVersion(unsigned int& nMajor, unsigned int& nMinor, unsigned int& nBuild) {
    SystemInfo info;
    return info.IEVersion(nMajor, nMinor, nBuild);
}

DWORD SFileIO::GetWritableFile(const CString& strSource, const CString& strWritableDir,
                               CString& strWritableFile) {
    char szName[MAX_PATH] = {};
    char szExtension[MAX_PATH] = {};
    _splitpath(strSource, nullptr, nullptr, szName, szExtension);
    strWritableFile.Format("%s\\%s%s", strWritableDir.GetString(), szName, szExtension);
    // No descriptor: the file takes what the writable folder passes on.
    vesko::UniqueHandle file(CreateFileA(strWritableFile, FILE_ALL_ACCESS, FILE_SHARE_READ, nullptr,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE)
        return GetLastError();
    return 0;
}

bool SFileIO::IsDestinationWritable(const CString&) {
    // In the caller's own process every destination counts as writable; only a
    // low-integrity host has to ask.
    return true;
}

DWORD SFileIO::DisplayHelpFile(const CString& strArguments, HWND hOwner) {
    if (strArguments.IsEmpty())
        return 0;
    if (m_hHelpProcess) {
        const DWORD dwEnd = EndHelpProcess(m_hHelpProcess);
        if (dwEnd != 0)
            return dwEnd;
        // The viewer is gone: its handle is closed here rather than leaked.
        CloseHandle(m_hHelpProcess);
        m_hHelpProcess = nullptr;
    }

    SHELLEXECUTEINFOA info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = hOwner;
    info.lpVerb = "open";
    info.lpFile = "hh.exe";
    info.lpParameters = strArguments;
    info.nShow = SW_SHOWNORMAL;
    const DWORD dwResult = ShellExecuteExA(&info) ? 0 : GetLastError();
    m_hHelpProcess = info.hProcess;
    return dwResult;
}

DWORD SFileIO::EndHelpProcess(HANDLE hProcess) {
    DWORD dwExitCode = 0;
    if (!GetExitCodeProcess(hProcess, &dwExitCode))
        return GetLastError();
    if (dwExitCode == STILL_ACTIVE && !TerminateProcess(hProcess, STILL_ACTIVE))
        return GetLastError();
    return 0;
}
