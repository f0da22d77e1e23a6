// Questions about installed system software. Made on the stack for one
// question; holds nothing between calls.
#pragma once

#include "sysinfolibdef.h"

class SYSINFOLIB_API SystemInfo {
  public:
    SystemInfo();
    ~SystemInfo();
    SystemInfo(const SystemInfo&) = delete;
    SystemInfo& operator=(const SystemInfo&) = delete;

    // The installed Internet Explorer's version, read from
    // HKLM\Software\Microsoft\Internet Explorer: "svcVersion" (set by IE 10
    // and later, where "Version" keeps reporting 9.x) when it holds a usable
    // version, else "Version". The text "a.b.c[.d...]" gives major = a,
    // minor = b, build = c. Returns false, leaving the three numbers
    // untouched, when neither value exists or parses.
    bool IEVersion(unsigned int& major, unsigned int& minor, unsigned int& build);
};
