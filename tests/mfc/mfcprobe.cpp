// A framework DLL for the start-up tests: its application object counts
// InitInstance calls and answers string lookups in its own module state.
#include <afxwin.h>

#include "mfcprobe_ids.h"

namespace {

class CProbeApp : public CWinApp {
  public:
    CProbeApp() : CWinApp("mfcprobe") {}
    BOOL InitInstance() override {
        ++m_initCount;
        // The framework runs InitInstance with the module's own state current.
        m_stateWasOwn = AfxGetModuleState() == AfxGetStaticModuleState();
        m_resourceAtInit = AfxGetResourceHandle();
        return TRUE;
    }
    int m_initCount = 0;
    bool m_stateWasOwn = false;
    HINSTANCE m_resourceAtInit = nullptr;

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CProbeApp, CWinApp)
END_MESSAGE_MAP()

CProbeApp theApp;

}  // namespace

extern "C" __declspec(dllexport) int ProbeInitCount() {
    return theApp.m_initCount;
}
extern "C" __declspec(dllexport) BOOL ProbeStateWasOwn() {
    return theApp.m_stateWasOwn;
}
extern "C" __declspec(dllexport) HINSTANCE ProbeResourceAtInit() {
    return theApp.m_resourceAtInit;
}
extern "C" __declspec(dllexport) AFX_MODULE_STATE* ProbeModuleState() {
    return AfxGetStaticModuleState();
}
extern "C" __declspec(dllexport) BOOL ProbeAppIsRegistered() {
    return AfxGetStaticModuleState()->m_pCurrentWinApp == &theApp;
}
// Loads id with this module's state current, as an exported library call would.
extern "C" __declspec(dllexport) BOOL ProbeLoadOwnString(UINT id, char* out, int size) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    CString text;
    if (!text.LoadString(id))
        return FALSE;
    lstrcpynA(out, text, size);
    return TRUE;
}
