#include "ioservice.h"

#include "filedlgservice.h"
#include "fileioservice.h"

IOService::IOService()
    : m_pSecurityAttr(nullptr),
      m_pFileIOService(nullptr),
      m_pFileDlgService(nullptr),
      m_pCDExpService(nullptr) {}

IOService::~IOService() {
    IOService::Release();
}

bool IOService::Init(VeskoSecurityAttributes* pSecurityAttr) {
    m_pSecurityAttr = pSecurityAttr;
    return true;
}

void IOService::Release() {
    if (m_pFileIOService) {
        delete m_pFileIOService;
        m_pFileIOService = nullptr;
    }
    if (m_pFileDlgService) {
        delete m_pFileDlgService;
        m_pFileDlgService = nullptr;
    }
    // Only the derived set knows how its disc export service ends (the
    // broker-backed one stops a relay thread). From the base destructor the
    // derived part is gone: the owner releases before it deletes.
    if (m_pCDExpService) {
        ReleaseCDExpService();
        m_pCDExpService = nullptr;
    }
    m_pSecurityAttr = nullptr;
}

FileIOService* IOService::GetFileIOService() const {
    return m_pFileIOService;
}
FileDlgService* IOService::GetFileDlgService() const {
    return m_pFileDlgService;
}
CDExpService* IOService::GetCDExpService() const {
    return m_pCDExpService;
}
void IOService::SetFileIOService(FileIOService* pService) {
    m_pFileIOService = pService;
}
void IOService::SetFileDlgService(FileDlgService* pService) {
    m_pFileDlgService = pService;
}
void IOService::SetCDExpService(CDExpService* pService) {
    m_pCDExpService = pService;
}
