#include "systeminfo.h"

#include <vesko/raii.h>

#include <cstdlib>
#include <string>

namespace {

// The string value name under key, or an empty string when it is missing or
// not a string.
std::string ReadString(HKEY key, const char* name) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return {};
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return {};
    std::string text(size + 1, '\0');
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&text[0]), &size) !=
        ERROR_SUCCESS)
        return {};
    text.resize(size);
    // Registry strings need not be terminated, and usually are.
    const auto nul = text.find('\0');
    if (nul != std::string::npos)
        text.resize(nul);
    return text;
}

// "a.b.c[.more]" into three numbers; every one of the first three must be
// decimal digits that fit an unsigned int.
bool ParseVersion(const std::string& text, unsigned int (&parts)[3]) {
    size_t pos = 0;
    for (int i = 0; i < 3; ++i) {
        const size_t start = pos;
        unsigned long long value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            value = value * 10 + static_cast<unsigned>(text[pos] - '0');
            if (value > 0xFFFFFFFFull)
                return false;
            ++pos;
        }
        if (pos == start)
            return false;
        parts[i] = static_cast<unsigned int>(value);
        if (i < 2) {
            if (pos >= text.size() || text[pos] != '.')
                return false;
            ++pos;
        }
    }
    return pos == text.size() || text[pos] == '.';
}

}  // namespace

SystemInfo::SystemInfo() = default;
SystemInfo::~SystemInfo() = default;

bool SystemInfo::IEVersion(unsigned int& major, unsigned int& minor, unsigned int& build) {
    vesko::UniqueHKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Internet Explorer", 0,
                      KEY_QUERY_VALUE, key.Receive()) != ERROR_SUCCESS)
        return false;
    // IE 10 and later leave "Version" at 9.10.x/9.11.x for old installers'
    // sake and keep the real version in "svcVersion".
    for (const char* name : {"svcVersion", "Version"}) {
        unsigned int parts[3] = {};
        if (ParseVersion(ReadString(key.Get(), name), parts)) {
            major = parts[0];
            minor = parts[1];
            build = parts[2];
            return true;
        }
    }
    return false;
}
