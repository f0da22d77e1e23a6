// A satellite carries resources only; it is loaded as a data file and its
// entry point never runs.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
