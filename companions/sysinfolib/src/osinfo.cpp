#include "osinfo.h"

#include <windows.h>

namespace {
using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
}

bool OSInfo::IsVistaOrNewer() {
    // GetVersionEx reports whatever the executable's manifest admits to;
    // ntdll's RtlGetVersion reports the real kernel version. ntdll is mapped
    // into every process, so no reference needs to be held.
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto rtlGetVersion =
        ntdll ? reinterpret_cast<RtlGetVersionFn>(GetProcAddress(ntdll, "RtlGetVersion")) : nullptr;
    // ntdll has exported it since Windows 2000: a system without it is older
    // than Vista.
    if (!rtlGetVersion)
        return false;
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof info;
    if (rtlGetVersion(&info) != 0)
        return false;
    return info.dwMajorVersion >= 6;
}
