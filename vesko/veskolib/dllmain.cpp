// Start-up of veskolib.dll: the application object, the entry point and the
// module's own allocation operators.
#include <cstdlib>
#include <new>

#include <ace/OS_NS_Thread.h>

#include "cveskolibapp.h"
#include "librarylog.h"

CVeskoLibApp theApp;

// Running out of memory anywhere in the library surfaces as the framework's
// memory exception, as it does in any framework DLL: a host written for the
// framework catches CMemoryException*, and a std::bad_alloc would pass its
// handlers by and end the process. These operators replace the global ones
// for this module only (the runtime is linked into each module); the host
// and the other modules keep their own. The nothrow forms of the runtime call
// these and turn any exception into a null result, as before.
void* operator new(std::size_t size) {
    for (;;) {
        if (void* p = std::malloc(size ? size : 1))
            return p;
        AfxThrowMemoryException();
    }
}
void* operator new[](std::size_t size) {
    return ::operator new(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID) {
    // Nothing of ACE starts here: ACE::init starts Winsock, which may not run
    // under the loader lock this function holds. LibraryLog starts ACE with
    // the library's first log record.
    switch (dwReason) {
        case DLL_PROCESS_ATTACH:
            return AfxDllProcessAttach(AfxGetStaticModuleState(), hInstance);
        case DLL_THREAD_DETACH:
            // The static ACE keeps each thread's logging state after the
            // thread ends unless told here; before the first record there is
            // none to free.
            if (LibraryLog::IsStarted())
                ACE_OS::cleanup_tss(0);
            break;
        case DLL_PROCESS_DETACH:
            AfxDllProcessDetach(AfxGetStaticModuleState());
            break;
        default:
            break;
    }
    return TRUE;
}
