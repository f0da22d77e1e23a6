// Helpers of the programs that link the library's classes themselves.
#pragma once

#include <string>

#include <veskosecurityattributes.h>

namespace vesko::test {

inline CString C(const std::string& s) {
    return CString(s.c_str());
}

// The attributes as a manager builds them (real descriptors), one object for
// the whole program: the worker, the sets and the services only point at it.
inline VeskoSecurityAttributes& SharedAttr() {
    static VeskoSecurityAttributes attr;
    static const bool initialised = (attr.Init(), true);
    (void)initialised;
    return attr;
}

}  // namespace vesko::test
