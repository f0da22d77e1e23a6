#include "sfileio.h"

#include <aclapi.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdlib>
#include <cwctype>
#include <string>

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

bool IsSeparator(wchar_t ch) {
    return ch == L'\\' || ch == L'/';
}

// The code page in which the A file functions read a path: the ANSI code page
// unless the process switched them to the OEM one.
UINT FileCodePage() {
    return AreFileApisANSI() ? CP_ACP : CP_OEMCP;
}

// The index of the last '\' or '/' that is a character of its own; -1 when
// there is none. In the double-byte code pages (932, 936, 949, 950) the second
// byte of a character may be 0x5C: "\x83\x5C" is one Japanese letter, not a
// letter and a separator. So the path is read from its start, a lead byte
// taking its trail byte with it. ('/' is 0x2F, below every trail byte.)
int LastSeparator(const CString& str) {
    const UINT nCodePage = FileCodePage();
    const int nLength = str.GetLength();
    int nLast = -1;
    for (int i = 0; i < nLength; ++i) {
        const char ch = str[i];
        if (IsSeparator(ch))
            nLast = i;
        else if (IsDBCSLeadByteEx(nCodePage, static_cast<BYTE>(ch)))
            ++i;
    }
    return nLast;
}

bool EndsWithSeparator(const CString& str) {
    return !str.IsEmpty() && LastSeparator(str) == str.GetLength() - 1;
}

// The path as the system reads it (the A functions convert with the same code
// page); empty when it does not convert.
std::wstring Wide(const CString& str) {
    const UINT nCodePage = FileCodePage();
    const int nLength = MultiByteToWideChar(nCodePage, 0, str, str.GetLength(), nullptr, 0);
    std::wstring wide(static_cast<size_t>(nLength > 0 ? nLength : 0), L'\0');
    if (nLength > 0)
        MultiByteToWideChar(nCodePage, 0, str, str.GetLength(), wide.data(), nLength);
    return wide;
}

bool IsDrive(const std::wstring& path, size_t nAt) {
    return path.size() > nAt + 1 && std::iswalpha(path[nAt]) && path[nAt + 1] == L':';
}

// The end of nCount non-empty components from nAt on, with the separator
// after them; npos when one is missing.
size_t AfterComponents(const std::wstring& path, size_t nAt, int nCount) {
    for (int i = 0; i < nCount; ++i) {
        size_t nEnd = nAt;
        while (nEnd < path.size() && !IsSeparator(path[nEnd]))
            ++nEnd;
        if (nEnd == nAt)
            return std::wstring::npos;
        nAt = nEnd < path.size() ? nEnd + 1 : nEnd;
    }
    return nAt;
}

// The length of the root that starts a fully qualified path: "C:\",
// "\\server\share\", "\\?\C:\", "\\?\UNC\server\share\", "\\.\device\". npos
// for every path whose meaning depends on the process's state: relative ("x",
// "."), on the current drive ("\x") or in a drive's current folder ("C:",
// "C:x").
size_t RootLength(const std::wstring& path) {
    if (IsDrive(path, 0))
        return path.size() > 2 && IsSeparator(path[2]) ? 3 : std::wstring::npos;
    if (path.size() < 2 || !IsSeparator(path[0]) || !IsSeparator(path[1]))
        return std::wstring::npos;
    if (path.size() > 3 && (path[2] == L'?' || path[2] == L'.') && IsSeparator(path[3])) {
        if (IsDrive(path, 4))
            return path.size() > 6 && IsSeparator(path[6]) ? 7 : std::wstring::npos;
        if (path.size() > 7 && _wcsnicmp(path.c_str() + 4, L"UNC", 3) == 0 && IsSeparator(path[7]))
            return AfterComponents(path, 8, 2);
        return AfterComponents(path, 4, 1);
    }
    return AfterComponents(path, 2, 2);
}

// The full path the system makes of a path: "." and ".." resolved, trailing
// dots and spaces dropped ("C:\x\.." and "C:\..." are both C:\).
std::wstring FullPath(const std::wstring& path) {
    const DWORD nNeeded = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (nNeeded == 0)
        return {};
    std::wstring full(nNeeded, L'\0');
    const DWORD nWritten = GetFullPathNameW(path.c_str(), nNeeded, full.data(), nullptr);
    full.resize(nWritten < nNeeded ? nWritten : 0);
    return full;
}

// True when a full path is a root and nothing below it.
bool IsRoot(const std::wstring& full) {
    const size_t nRoot = RootLength(full);
    if (nRoot == std::wstring::npos)
        return false;
    for (size_t i = nRoot; i < full.size(); ++i) {
        if (!IsSeparator(full[i]))
            return false;
    }
    return true;
}

// What the deletes accept: a fully qualified folder strictly below a root. A
// drive-relative "Q:" names Q's current folder, yet its listing, "Q:" + "\*",
// is the root of Q: such a path, a root itself ("Q:\", "\\server\share",
// "Q:\sub\.."), or a path that depends on the current folder could make a
// delete empty a whole drive.
bool IsFolderBelowRoot(const CString& strFolder) {
    const std::wstring path = Wide(strFolder);
    if (path.empty() || RootLength(path) == std::wstring::npos)
        return false;
    const std::wstring full = FullPath(path);
    return RootLength(full) != std::wstring::npos && !IsRoot(full);
}

// What a creation refuses: a bare drive ("Q:", the drive's current folder,
// which CreateDirectoryA finds existing) or a root. Either would be labelled
// as if it were one of the application's folders.
bool IsRootOrDrive(const CString& strPath) {
    const std::wstring path = Wide(strPath);
    if (path.empty())
        return false;
    if (path.size() == 2 && IsDrive(path, 0))
        return true;
    return IsRoot(FullPath(path));
}

bool IsFolder(const CString& strPath) {
    const DWORD dwAttributes = GetFileAttributesA(strPath);
    return dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool ResolveLocalLow(CString& strPath) {
    return SFileIO::ResolveKnownFolder(strPath, kFolderLocalAppDataLow, CSIDL_LOCAL_APPDATA);
}

// Writes only the mandatory label; the folder's access rules stay as they are.
BOOL Label(const CString& strPath, PSECURITY_DESCRIPTOR pSD) {
    return SetFileSecurityA(strPath, LABEL_SECURITY_INFORMATION, pSD);
}

// The folder path the delete operations list and build entry paths from:
// separators unified to '\' and exactly one trailing '\'. Replacing '/' byte
// by byte is safe: no code page has 0x2F as a trail byte.
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
    if (!IsFolderBelowRoot(strFolder))
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

SFileIO::SFileIO() : m_bInitialized(false), m_pSecurityAttr(nullptr) {
    m_strCompanySubPath = CString(kCompanyFolder) + kVersionFolder;
    m_strProductSubPath = CString(kProductFolder) + kVersionFolder;
}

SFileIO::~SFileIO() {
    Release();
    CSingleLock hold(&m_csHelpProcess, TRUE);
    if (m_hHelpProcess) {
        EndHelpProcess(m_hHelpProcess.Get());
        m_hHelpProcess.Reset();
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
    if (IsRootOrDrive(strPath))
        return ERROR_INVALID_NAME;
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
    if (dwError == ERROR_PATH_NOT_FOUND)
        dwError = AfterParent(CreateParentDirs(strDir, pSD), strDir, pSD);
    // 183 only says that the name is taken: by a folder (done) or by a file.
    return dwError == ERROR_ALREADY_EXISTS && IsFolder(strDir) ? 0 : dwError;
}

DWORD SFileIO::AfterParent(DWORD dwParent, const CString& strPath, PSECURITY_DESCRIPTOR pSD) {
    // The parent step answers 183 when the parent appeared meanwhile (another
    // thread or process made it) or when a file holds its name: in both cases
    // only a second attempt tells whether the folder itself can be made.
    if (dwParent != 0 && dwParent != ERROR_ALREADY_EXISTS)
        return dwParent;
    return CreateDirWithLabel(strPath, pSD);
}

DWORD SFileIO::CreateParentDirs(const CString& strPath, PSECURITY_DESCRIPTOR pSD) {
    if (strPath.IsEmpty())
        return ERROR_PATH_NOT_FOUND;
    // The first character is never a split point: "\x" has no parent to make.
    const int nSplit = LastSeparator(strPath);
    if (nSplit < 1)
        return 0;

    const CString strParent = strPath.Left(nSplit);
    DWORD dwError = CreateDirWithLabel(strParent, pSD);
    if (dwError == ERROR_PATH_NOT_FOUND)
        dwError = AfterParent(CreateParentDirs(strParent, pSD), strParent, pSD);
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
    if (strPrefix.IsEmpty() || !IsFolderBelowRoot(strFolder))
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
    // CREATE_ALWAYS applies the descriptor only to a file it creates: an
    // existing one is emptied but keeps its old label, and a host at low
    // integrity could not write the file it asked for. The label is written
    // through the handle just opened, so it lands on the file emptied here. As
    // with every label after a creation, a failure is not the caller's concern:
    // the file is re-created either way.
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        LabelOpenFile(file.Get(), pSD);
    return 0;
}

DWORD SFileIO::LabelOpenFile(HANDLE hFile, PSECURITY_DESCRIPTOR pSD) {
    if (!pSD)
        return 0;
    // INVALID_HANDLE_VALUE is also this process's own handle: never reopened.
    if (!hFile || hFile == INVALID_HANDLE_VALUE)
        return ERROR_INVALID_HANDLE;
    BOOL bPresent = FALSE, bDefaulted = FALSE;
    PACL pSacl = nullptr;
    if (!GetSecurityDescriptorSacl(pSD, &bPresent, &pSacl, &bDefaulted))
        return GetLastError();
    if (!bPresent)
        return 0;  // a descriptor without a label (before Vista) has none to give
    // Writing a label takes WRITE_OWNER, which the caller's handle need not
    // have: a second handle to the same file asks for that alone. It claims no
    // data access, so the caller's share mode does not stand in its way.
    // ReOpenFile is looked up at run time: kernel32 before Vista lacks it (and
    // those systems have no labels to write).
    using ReOpenFileFn = HANDLE(WINAPI*)(HANDLE, DWORD, DWORD, DWORD);
    const auto pfnReOpenFile = reinterpret_cast<ReOpenFileFn>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "ReOpenFile"));
    if (!pfnReOpenFile)
        return ERROR_CALL_NOT_IMPLEMENTED;
    vesko::UniqueHandle owner(pfnReOpenFile(
        hFile, WRITE_OWNER, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0));
    if (owner.Get() == INVALID_HANDLE_VALUE)
        return GetLastError();
    return SetSecurityInfo(owner.Get(), SE_FILE_OBJECT, LABEL_SECURITY_INFORMATION, nullptr,
                           nullptr, nullptr, pSacl);
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
    // Host threads may ask at once: one at a time ends the viewer, starts the
    // next and keeps its handle, so that no handle is ended or closed twice and
    // none is overwritten while its viewer still runs.
    CSingleLock hold(&m_csHelpProcess, TRUE);
    if (m_hHelpProcess) {
        const DWORD dwEnd = EndHelpProcess(m_hHelpProcess.Get());
        if (dwEnd != 0)
            return dwEnd;
        // The viewer is gone: its handle is closed here rather than leaked.
        m_hHelpProcess.Reset();
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
    m_hHelpProcess.Reset(info.hProcess);
    return dwResult;
}

HANDLE SFileIO::GetHelpProcess() const {
    CSingleLock hold(&m_csHelpProcess, TRUE);
    return m_hHelpProcess.Get();
}

DWORD SFileIO::EndHelpProcess(HANDLE hProcess) {
    DWORD dwExitCode = 0;
    if (!GetExitCodeProcess(hProcess, &dwExitCode))
        return GetLastError();
    if (dwExitCode == STILL_ACTIVE && !TerminateProcess(hProcess, STILL_ACTIVE))
        return GetLastError();
    return 0;
}
