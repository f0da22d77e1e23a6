// Static part of the framework subset, linked into every module: the
// module's own state. Constant-initialised, so it exists before any of the
// module's constructors (its application object's among them) run.
#include "afx.h"

namespace {
AFX_MODULE_STATE g_moduleState = {};
}

AFX_MODULE_STATE* AFXAPI AfxGetStaticModuleState() {
    if (!g_moduleState.m_hCurrentInstanceHandle) {
        // Executables never run DllMain; find the module from our own address.
        HMODULE self = nullptr;
        GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(&AfxGetStaticModuleState), &self);
        g_moduleState.m_hCurrentInstanceHandle = self;
        if (!g_moduleState.m_hCurrentResourceHandle)
            g_moduleState.m_hCurrentResourceHandle = self;
    }
    return &g_moduleState;
}
