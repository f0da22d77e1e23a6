#include "iomanager.h"

#include <exception>

#include "iononprotected.h"
#include "ioprotected.h"
#include "ioservice.h"
#include "veskosecurityattributes.h"

IOManager* IOManager::m_pIOMgr = nullptr;

IOManager& IOManager::GetIOManager() {
    if (!m_pIOMgr)
        m_pIOMgr = new IOManager();
    return *m_pIOMgr;
}

void IOManager::ReleaseIOManager() {
    if (!m_pIOMgr)
        return;
    delete m_pIOMgr;
    m_pIOMgr = nullptr;
}

IOManager::IOManager()
    : m_bIEProtectedMode(false), m_pIOService(nullptr), m_pSecurityAttr(nullptr) {
    // A framework exception from the build (memory, or the broker-backed set's
    // critical section) leaves GetIOManager with no manager stored; what was
    // built so far is torn down on the way out so a later call starts clean.
    // Nothing is caught: the exception reaches the host unchanged.
    struct UnwindGuard {
        IOManager* pManager;
        int nUncaught = std::uncaught_exceptions();
        ~UnwindGuard() {
            if (std::uncaught_exceptions() > nUncaught)
                pManager->Teardown();
        }
    } guard{this};
    // A set that failed to initialise still serves the host; its services
    // show the failure. The result has nobody to go to.
    Init();
}

IOManager::~IOManager() {
    Teardown();
}

bool IOManager::Init() {
    m_pSecurityAttr = new VeskoSecurityAttributes();
    m_pSecurityAttr->Init();

    CheckProtectedMode();

    if (m_bIEProtectedMode)
        m_pIOService = new IOProtected();
    else
        m_pIOService = new IONonProtected();
    return m_pIOService->Init(m_pSecurityAttr);
}

void IOManager::CheckProtectedMode() {
    // Looked up at run time: without the browser's frame library (or with one
    // too old to know protected mode) the host runs directly. Only the BOOL
    // counts; the HRESULT says nothing the BOOL does not.
    using IsProtectedModeFn = HRESULT(WINAPI*)(BOOL*);
    BOOL bProtected = FALSE;
    if (HMODULE hFrame = LoadLibraryA("ieframe.dll")) {
        auto pfn =
            reinterpret_cast<IsProtectedModeFn>(GetProcAddress(hFrame, "IEIsProtectedModeProcess"));
        if (pfn)
            pfn(&bProtected);
        FreeLibrary(hFrame);
    }
    m_bIEProtectedMode = bProtected != FALSE;
}

void IOManager::Teardown() {
    // The services point at the security attributes until they are gone, so
    // the set goes first.
    if (m_pIOService) {
        m_pIOService->Release();
        delete m_pIOService;
        m_pIOService = nullptr;
    }
    if (m_pSecurityAttr) {
        m_pSecurityAttr->Release();
        delete m_pSecurityAttr;
        m_pSecurityAttr = nullptr;
    }
}

bool IOManager::IsIEProtectedMode() const {
    return m_bIEProtectedMode;
}

FileIOService* IOManager::GetFileIOService() const {
    return m_pIOService ? m_pIOService->GetFileIOService() : nullptr;
}

FileDlgService* IOManager::GetFileDlgService() const {
    return m_pIOService ? m_pIOService->GetFileDlgService() : nullptr;
}

CDExpService* IOManager::GetCDExpService() const {
    return m_pIOService ? m_pIOService->CreateCDExpService() : nullptr;
}

void IOManager::ReleaseCDExpService() {
    if (m_pIOService)
        m_pIOService->ReleaseCDExpService();
}
