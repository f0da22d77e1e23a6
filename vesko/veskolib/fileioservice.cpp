#include "fileioservice.h"

#include <osinfo.h>

#include "veskosecurityattributes.h"

FileIOService::FileIOService()
    : m_pSFileIO(nullptr), m_pSecurityAttr(nullptr), m_nOverrideItems(0) {}

FileIOService::~FileIOService() {
    FileIOService::Release();
}

bool FileIOService::Init(VeskoSecurityAttributes* pSecurityAttr) {
    m_pSecurityAttr = pSecurityAttr;
    if (!m_pSFileIO)
        m_pSFileIO = new SFileIO();
    return m_pSFileIO->Init(pSecurityAttr);
}

void FileIOService::Release() {
    m_pSecurityAttr = nullptr;
    if (m_pSFileIO) {
        m_pSFileIO->Release();
        // Its destructor ends a help viewer that still runs.
        delete m_pSFileIO;
        m_pSFileIO = nullptr;
    }
}

PSECURITY_DESCRIPTOR FileIOService::LowSD() const {
    // Read at each call: the security attributes own the descriptor.
    return m_pSecurityAttr ? m_pSecurityAttr->m_pLowSD : nullptr;
}

DWORD FileIOService::MoveFileLI(const CString& strSource, const CString& strDestination) {
    return SFileIO::MoveFileLI(strSource, strDestination);
}

DWORD FileIOService::CreateDir(const CString& strPath) {
    if (!m_pSFileIO)
        return kNotInitialized;
    return SFileIO::CreateDir(strPath, LowSD());
}

DWORD FileIOService::CreateDirRecursively(const CString& strPath) {
    if (!m_pSFileIO)
        return kNotInitialized;
    return SFileIO::CreateParentDirs(strPath, LowSD());
}

DWORD FileIOService::DeleteDirRecursively(const CString& strFolder) {
    return SFileIO::DeleteDirRecursively(strFolder);
}

DWORD FileIOService::GetWritableFile(const CString& strSource, CString& strWritableFile) {
    if (!m_pSFileIO)
        return kNotInitialized;
    return SFileIO::GetWritableFile(strSource, m_pSFileIO->GetWritableDir(), strWritableFile);
}

DWORD FileIOService::SetFileSecurityLI(const CString& strPath) {
    if (!m_pSFileIO)
        return kNotInitialized;
    // Labels exist from Vista on; older systems have nothing to set.
    if (!OSInfo::IsVistaOrNewer())
        return 0;
    return SFileIO::SetFileSecurityLI(strPath, LowSD());
}

DWORD FileIOService::ReCreateFileLI(const CString& strPath) {
    if (!m_pSFileIO)
        return kNotInitialized;
    return SFileIO::ReCreateFileLI(strPath, LowSD());
}

DWORD FileIOService::RegistryHKCUSetValueDWord(const CString& strKeyPath,
                                               const CString& strValueName, DWORD dwValue) {
    return SFileIO::RegistryHKCUSetValueDWord(strKeyPath, strValueName, dwValue);
}

bool FileIOService::IsDestinationWritable(const CString& strPath) {
    return SFileIO::IsDestinationWritable(strPath);
}

bool FileIOService::GetIEVersion(unsigned int& nMajor, unsigned int& nMinor, unsigned int& nBuild) {
    return SFileIO::GetIEVersion(nMajor, nMinor, nBuild);
}

DWORD FileIOService::DisplayHelpFile(const CString& strArguments, HWND hOwner) {
    if (!m_pSFileIO)
        return kNotInitialized;
    return m_pSFileIO->DisplayHelpFile(strArguments, hOwner);
}

DWORD FileIOService::DeleteDirContentRecursively(const CString& strFolder,
                                                 const CString& strPrefix) {
    return SFileIO::DeleteFilesByPrefix(strFolder, strPrefix);
}

DWORD FileIOService::DeleteDirContentRecursively(const CString& strFolder) {
    return SFileIO::DeleteDirContentRecursively(strFolder, 0);
}

void FileIOService::MakeVersionSpecificBehavior(SFileIO::eFileIOOverrideItems item,
                                                CString strVersion) {
    if (!m_pSFileIO || !(item & SFileIO::eOverrideLECacheDir))
        return;
    m_nOverrideItems |= item;
    m_pSFileIO->MakeVersionSpecificBehavior(item, strVersion);
}

namespace {
CString Copy(const SFileIO* pSFileIO, const CString& (SFileIO::*get)() const) {
    return pSFileIO ? (pSFileIO->*get)() : CString();
}
}  // namespace

CString FileIOService::GetWritableDir() const {
    return Copy(m_pSFileIO, &SFileIO::GetWritableDir);
}
CString FileIOService::GetLECacheDir() const {
    return Copy(m_pSFileIO, &SFileIO::GetLECacheDir);
}
CString FileIOService::GetLogDir() const {
    return Copy(m_pSFileIO, &SFileIO::GetLogDir);
}
CString FileIOService::GetMachinePrefDir() const {
    return Copy(m_pSFileIO, &SFileIO::GetMachinePrefDir);
}
CString FileIOService::GetUserMachinePrefDir() const {
    return Copy(m_pSFileIO, &SFileIO::GetUserMachinePrefDir);
}
CString FileIOService::GetCadraExportTemp() const {
    return Copy(m_pSFileIO, &SFileIO::GetExportTempDir);
}
CString FileIOService::GetUserDocDir() const {
    return Copy(m_pSFileIO, &SFileIO::GetUserDocDir);
}
CString FileIOService::GetDumpDir() const {
    return Copy(m_pSFileIO, &SFileIO::GetDumpDir);
}
CString FileIOService::GetZipDir() const {
    return Copy(m_pSFileIO, &SFileIO::GetZipDir);
}
// The field as it stands: the worker resolved it while setting up the table.
CString FileIOService::GetNorvaneDir() const {
    return Copy(m_pSFileIO, &SFileIO::GetNorvaneDirValue);
}
CString FileIOService::GetUserActivityLogDir() const {
    return Copy(m_pSFileIO, &SFileIO::GetUserActivityLogDir);
}
CString FileIOService::GetDefaultDumpDir() const {
    return Copy(m_pSFileIO, &SFileIO::GetDefaultDumpDir);
}
CString FileIOService::GetLastSavedDir() const {
    return Copy(m_pSFileIO, &SFileIO::GetLastSavedDir);
}

void FileIOService::SetLastSavedDir(const CString& strDir) {
    if (m_pSFileIO)
        m_pSFileIO->SetLastSavedDir(strDir);
}

SFileIO* FileIOService::GetSFileIO() const {
    return m_pSFileIO;
}
VeskoSecurityAttributes* FileIOService::GetVeskoSecurityAttr() const {
    return m_pSecurityAttr;
}
unsigned int FileIOService::GetOverrideItems() const {
    return m_nOverrideItems;
}
