// Shared part of the framework subset (veskomfc.dll).
#include "afxwin.h"

#include <cstdio>

namespace {

// The process's own state: the executable's module and resources. Threads
// that never switched state see this one.
AFX_MODULE_STATE g_processModuleState = {};
thread_local AFX_MODULE_STATE* t_pModuleState = nullptr;

CMemoryException g_memoryException(FALSE);

AFX_MODULE_STATE* ProcessState() {
    if (!g_processModuleState.m_hCurrentInstanceHandle) {
        HINSTANCE exe = GetModuleHandleA(nullptr);
        g_processModuleState.m_hCurrentInstanceHandle = exe;
        g_processModuleState.m_hCurrentResourceHandle = exe;
    }
    return &g_processModuleState;
}

BOOL CopyMessage(const char* text, LPSTR lpszError, UINT nMaxError) {
    if (!lpszError || nMaxError == 0)
        return FALSE;
    lstrcpynA(lpszError, text, static_cast<int>(nMaxError));
    return TRUE;
}

}  // namespace

CObject::~CObject() = default;
CException::~CException() = default;

void CException::Delete() {
    if (m_bAutoDelete)
        delete this;
}

BOOL CException::GetErrorMessage(LPSTR lpszError, UINT nMaxError, PUINT pnHelpContext) const {
    if (pnHelpContext)
        *pnHelpContext = 0;
    if (lpszError && nMaxError)
        *lpszError = '\0';
    return FALSE;
}

BOOL CSimpleException::GetErrorMessage(LPSTR lpszError, UINT nMaxError, PUINT pnHelpContext) const {
    if (pnHelpContext)
        *pnHelpContext = 0;
    CString text;
    if (m_nResourceID && text.LoadString(m_nResourceID))
        return CopyMessage(text, lpszError, nMaxError);
    return CException::GetErrorMessage(lpszError, nMaxError, pnHelpContext);
}

BOOL CMemoryException::GetErrorMessage(LPSTR lpszError, UINT nMaxError, PUINT pnHelpContext) const {
    if (pnHelpContext)
        *pnHelpContext = 0;
    return CopyMessage("Out of memory.", lpszError, nMaxError);
}

BOOL CResourceException::GetErrorMessage(LPSTR lpszError, UINT nMaxError,
                                         PUINT pnHelpContext) const {
    if (pnHelpContext)
        *pnHelpContext = 0;
    return CopyMessage("A required resource was unavailable.", lpszError, nMaxError);
}

BOOL COleException::GetErrorMessage(LPSTR lpszError, UINT nMaxError, PUINT pnHelpContext) const {
    if (pnHelpContext)
        *pnHelpContext = 0;
    char buffer[512] = {};
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                        static_cast<DWORD>(m_sc), 0, buffer, sizeof buffer, nullptr))
        std::snprintf(buffer, sizeof buffer, "OLE error 0x%08lX.",
                      static_cast<unsigned long>(m_sc));
    return CopyMessage(buffer, lpszError, nMaxError);
}

SCODE PASCAL COleException::Process(const CException* pAnyException) {
    if (auto* ole = dynamic_cast<const COleException*>(pAnyException))
        return ole->m_sc;
    if (dynamic_cast<const CMemoryException*>(pAnyException))
        return E_OUTOFMEMORY;
    return E_UNEXPECTED;
}

void AFXAPI AfxThrowMemoryException() {
    throw &g_memoryException;
}
void AFXAPI AfxThrowResourceException() {
    throw new CResourceException();
}
void AFXAPI AfxThrowInvalidArgException() {
    throw new CInvalidArgException();
}

void AFXAPI AfxThrowOleException(SCODE sc) {
    if (sc == E_OUTOFMEMORY)
        AfxThrowMemoryException();
    throw new COleException(sc);
}

AFX_MODULE_STATE* AFXAPI AfxGetModuleState() {
    return t_pModuleState ? t_pModuleState : ProcessState();
}

AFX_MODULE_STATE* AFXAPI AfxSetModuleState(AFX_MODULE_STATE* pNewState) {
    AFX_MODULE_STATE* previous = AfxGetModuleState();
    t_pModuleState = pNewState;
    return previous;
}

HINSTANCE AFXAPI AfxGetResourceHandle() {
    return AfxGetModuleState()->m_hCurrentResourceHandle;
}
void AFXAPI AfxSetResourceHandle(HINSTANCE hInstResource) {
    AfxGetModuleState()->m_hCurrentResourceHandle = hInstResource;
}
HINSTANCE AFXAPI AfxGetInstanceHandle() {
    return AfxGetModuleState()->m_hCurrentInstanceHandle;
}
CWinApp* AFXAPI AfxGetApp() {
    return AfxGetModuleState()->m_pCurrentWinApp;
}

CCriticalSection::CCriticalSection() {
    if (!InitializeCriticalSectionAndSpinCount(&m_sect, 0))
        AfxThrowOleException(HRESULT_FROM_WIN32(GetLastError()));
}

CCriticalSection::~CCriticalSection() {
    DeleteCriticalSection(&m_sect);
}

BOOL CCriticalSection::Lock(DWORD dwTimeout) {
    // A critical section cannot time out; any other timeout is a caller bug.
    if (dwTimeout != INFINITE)
        AfxThrowInvalidArgException();
    return Lock();
}

const AFX_MSGMAP* PASCAL CCmdTarget::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, 0, 0, nullptr}};
    static const AFX_MSGMAP map = {nullptr, &entries[0]};
    return &map;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const {
    return GetThisMessageMap();
}

const AFX_MSGMAP_ENTRY* CCmdTarget::FindMessageMapEntry(UINT nMessage, UINT nCode, UINT nID) const {
    for (const AFX_MSGMAP* map = GetMessageMap(); map;
         map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* e = map->lpEntries; e && e->nSig != 0; ++e) {
            if (e->nMessage == nMessage && e->nCode == nCode && nID >= e->nID && nID <= e->nLastID)
                return e;
        }
    }
    return nullptr;
}

const AFX_MSGMAP* PASCAL CWinApp::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, 0, 0, nullptr}};
    static const AFX_MSGMAP map = {&CCmdTarget::GetThisMessageMap, &entries[0]};
    return &map;
}

const AFX_MSGMAP* CWinApp::GetMessageMap() const {
    return GetThisMessageMap();
}

void CWinApp::Construct(AFX_MODULE_STATE* pModuleState, const char* lpszAppName) {
    m_pszAppName = lpszAppName;
    m_pModuleState = pModuleState;
    pModuleState->m_pCurrentWinApp = this;
    pModuleState->m_lpszCurrentAppName = lpszAppName;
}

CWinApp::~CWinApp() {
    if (m_pModuleState && m_pModuleState->m_pCurrentWinApp == this)
        m_pModuleState->m_pCurrentWinApp = nullptr;
}

BOOL AFXAPI AfxDllProcessAttach(AFX_MODULE_STATE* pModuleState, HINSTANCE hInstance) {
    pModuleState->m_hCurrentInstanceHandle = hInstance;
    if (!pModuleState->m_hCurrentResourceHandle)
        pModuleState->m_hCurrentResourceHandle = hInstance;
    AFX_MANAGE_STATE(pModuleState);
    CWinApp* app = pModuleState->m_pCurrentWinApp;
    if (!app)
        return TRUE;
    app->m_hInstance = hInstance;
    if (!app->InitInstance()) {
        app->ExitInstance();
        return FALSE;
    }
    return TRUE;
}

void AFXAPI AfxDllProcessDetach(AFX_MODULE_STATE* pModuleState) {
    AFX_MANAGE_STATE(pModuleState);
    if (CWinApp* app = pModuleState->m_pCurrentWinApp)
        app->ExitInstance();
}
