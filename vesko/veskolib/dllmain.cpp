// Start-up of veskolib.dll: the application object and the entry point.
#include <ace/Init_ACE.h>
#include <ace/OS_NS_Thread.h>

#include "cveskolibapp.h"

CVeskoLibApp theApp;

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pReserved) {
    switch (dwReason) {
        case DLL_PROCESS_ATTACH:
            // ACE's object manager is normally made by main(); inside a DLL it
            // has to exist before any thread logs. Logging still works
            // without it, so a failure does not stop the load.
            ACE::init();
            return AfxDllProcessAttach(AfxGetStaticModuleState(), hInstance);
        case DLL_THREAD_DETACH:
            // The static ACE keeps each thread's logging state after the
            // thread ends unless told here.
            ACE_OS::cleanup_tss(0);
            break;
        case DLL_PROCESS_DETACH:
            AfxDllProcessDetach(AfxGetStaticModuleState());
            // At process exit the other threads are gone mid-flight and the
            // system reclaims everything: ACE is shut down only on an
            // explicit unload.
            if (!pReserved)
                ACE::fini();
            break;
        default:
            break;
    }
    return TRUE;
}
