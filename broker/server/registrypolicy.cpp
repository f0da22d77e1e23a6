#include "registrypolicy.h"

#include <vesko/raii.h>

namespace vesko::broker {

namespace {

bool EqualsNoCase(const wchar_t* a, size_t an, const wchar_t* b, size_t bn) {
    return CompareStringOrdinal(a, static_cast<int>(an), b, static_cast<int>(bn), TRUE) ==
           CSTR_EQUAL;
}

// The documented limits of the registry: 255 characters per key name, 16383
// per value name; a whole path is kept well inside what RegCreateKey takes.
constexpr size_t kMaxKeyComponent = 255;
constexpr size_t kMaxKeyPath = 512;
constexpr size_t kMaxValueName = 16383;

}  // namespace

RegistryPolicy::RegistryPolicy() {
    m_keys.push_back(L"Software\\Norvane");
    m_keys.push_back(L"Software\\Cadra");
}

bool RegistryPolicy::IsAcceptableKeyPath(const std::wstring& key, const char** reason) {
    const char* dummy = nullptr;
    const char*& why = reason ? *reason : dummy;
    if (key.empty()) {
        why = "empty key path";
        return false;
    }
    if (key.size() > kMaxKeyPath) {
        why = "key path too long";
        return false;
    }
    size_t start = 0;
    for (;;) {
        size_t end = key.find(L'\\', start);
        if (end == std::wstring::npos)
            end = key.size();
        const size_t length = end - start;
        // Empty components (leading, doubled or trailing '\') and "." / ".."
        // mean nothing to the registry and only serve to confuse a check.
        if (length == 0 || length > kMaxKeyComponent || (length == 1 && key[start] == L'.') ||
            (length == 2 && key[start] == L'.' && key[start + 1] == L'.')) {
            why = "malformed key path";
            return false;
        }
        for (size_t i = start; i < end; ++i) {
            if (key[i] < 0x20) {
                why = "NUL or control character in the key path";
                return false;
            }
        }
        if (end == key.size())
            break;
        start = end + 1;
    }
    return true;
}

bool RegistryPolicy::AddKey(const std::wstring& key) {
    if (!IsAcceptableKeyPath(key, nullptr))
        return false;
    std::lock_guard<std::mutex> hold(m_lock);
    m_keys.push_back(key);
    return true;
}

RegistryDecision RegistryPolicy::Check(DWORD rootKey, const std::wstring& subKey,
                                       const std::wstring& valueName, DWORD valueType,
                                       DWORD dataLength, SAFEARRAY* data) const {
    RegistryDecision decision;
    if (rootKey != static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(HKEY_CURRENT_USER))) {
        decision.reason = "only HKEY_CURRENT_USER is served";
        return decision;
    }
    if (valueType != REG_DWORD) {
        decision.reason = "only REG_DWORD values are served";
        return decision;
    }
    if (dataLength != sizeof(DWORD)) {
        decision.reason = "a REG_DWORD value has four bytes";
        return decision;
    }
    if (!IsAcceptableKeyPath(subKey, &decision.reason))
        return decision;
    if (valueName.size() > kMaxValueName || valueName.find(L'\0') != std::wstring::npos) {
        decision.reason = "malformed value name";
        return decision;
    }
    for (wchar_t c : valueName) {
        if (c < 0x20) {
            decision.reason = "control character in the value name";
            return decision;
        }
    }
    {
        std::lock_guard<std::mutex> hold(m_lock);
        bool inside = false;
        for (const std::wstring& key : m_keys) {
            const bool same = EqualsNoCase(subKey.c_str(), subKey.size(), key.c_str(), key.size());
            const bool below = subKey.size() > key.size() && subKey[key.size()] == L'\\' &&
                               EqualsNoCase(subKey.c_str(), key.size(), key.c_str(), key.size());
            if (same || below) {
                inside = true;
                break;
            }
        }
        if (!inside) {
            decision.reason = "key outside the allowed keys";
            return decision;
        }
    }
    VARTYPE type = VT_EMPTY;
    if (!data || SafeArrayGetDim(data) != 1 || FAILED(SafeArrayGetVartype(data, &type)) ||
        type != VT_UI1 || SafeArrayGetElemsize(data) != 1) {
        decision.reason = "data is not a one-dimensional byte array";
        return decision;
    }
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(data, 1, &lower);
    SafeArrayGetUBound(data, 1, &upper);
    if (upper - lower + 1 != static_cast<LONG>(sizeof(DWORD))) {
        decision.reason = "data array does not hold four bytes";
        return decision;
    }
    SafeArrayAccess access(data);
    const auto* bytes = static_cast<const BYTE*>(access.Data());
    if (!bytes) {
        decision.reason = "data array cannot be read";
        return decision;
    }
    decision.value = static_cast<DWORD>(bytes[0]) | (static_cast<DWORD>(bytes[1]) << 8) |
                     (static_cast<DWORD>(bytes[2]) << 16) | (static_cast<DWORD>(bytes[3]) << 24);
    decision.allowed = true;
    decision.reason = "allowed key";
    return decision;
}

}  // namespace vesko::broker
