// A framework DLL for the start-up tests: its application object tells what
// InitInstance saw, and it answers string lookups in its own module state.
#include <afxwin.h>

#include "mfcprobe_ids.h"

namespace {

class CProbeApp : public CWinApp {
  public:
    CProbeApp() : CWinApp("mfcprobe") {}
    // The framework runs InitInstance with the module's own state current.
    BOOL InitInstance() override {
        m_startup.Format("init %d, own state %d, registered %d, own resources %d", ++m_initCount,
                         AfxGetModuleState() == AfxGetStaticModuleState(),
                         AfxGetStaticModuleState()->m_pCurrentWinApp == this,
                         AfxGetResourceHandle() == GetModuleHandleA("mfcprobe.dll"));
        return TRUE;
    }
    int m_initCount = 0;
    CString m_startup;

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CProbeApp, CWinApp)
END_MESSAGE_MAP()

CProbeApp theApp;

}  // namespace

// What InitInstance saw.
extern "C" __declspec(dllexport) const char* ProbeStartup() {
    return theApp.m_startup;
}
extern "C" __declspec(dllexport) AFX_MODULE_STATE* ProbeModuleState() {
    return AfxGetStaticModuleState();
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
