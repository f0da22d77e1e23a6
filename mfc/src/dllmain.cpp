// Static part of the framework subset: the entry point of a framework DLL.
// The C runtime constructs the module's globals (its application object)
// before it calls this; a module with its own DllMain never pulls this in.
#include "afxwin.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID) {
    switch (dwReason) {
        case DLL_PROCESS_ATTACH:
            return AfxDllProcessAttach(AfxGetStaticModuleState(), hInstance);
        case DLL_PROCESS_DETACH:
            AfxDllProcessDetach(AfxGetStaticModuleState());
            break;
        default:
            break;
    }
    return TRUE;
}
