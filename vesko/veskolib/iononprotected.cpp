#include "iononprotected.h"

#include <cdexpmanager.h>

#include "filedlgnonprotected.h"
#include "fileiononprotected.h"

IONonProtected::IONonProtected() = default;

IONonProtected::~IONonProtected() = default;

bool IONonProtected::Init(VeskoSecurityAttributes* pSecurityAttr) {
    m_pSecurityAttr = pSecurityAttr;
    FileIONonProtected* pFileIO = new FileIONonProtected();
    const bool bResolved = pFileIO->Init(pSecurityAttr);
    m_pFileIOService = pFileIO;
    m_pFileDlgService = new FileDlgNonProtected();
    return bResolved;
}

CDExpService* IONonProtected::CreateCDExpService() {
    // The old recorder goes before the new one is made: nothing of it (drive,
    // observers, a job under way) carries over.
    if (m_pCDExpService)
        ReleaseCDExpService();
    m_pCDExpService = new CDExpManager();
    return m_pCDExpService;
}

void IONonProtected::ReleaseCDExpService() {
    if (m_pCDExpService)
        delete m_pCDExpService;
    m_pCDExpService = nullptr;
}
