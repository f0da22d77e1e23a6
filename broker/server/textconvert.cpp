#include "textconvert.h"

#include <cstdio>

namespace vesko::broker {

std::wstring FromBstr(BSTR text) {
    if (!text)
        return {};
    return std::wstring(text, SysStringLen(text));
}

bool HasEmbeddedNul(BSTR text) {
    return text && wcslen(text) != SysStringLen(text);
}

bool ToAnsi(const std::wstring& text, CString& out) {
    if (text.empty()) {
        out = "";
        return true;
    }
    BOOL usedDefault = FALSE;
    const int n =
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(),
                            static_cast<int>(text.size()), nullptr, 0, nullptr, &usedDefault);
    if (n <= 0 || usedDefault)
        return false;
    std::string narrow(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()),
                        narrow.data(), n, nullptr, &usedDefault);
    if (usedDefault)
        return false;
    // A round trip that does not give the same text back is no exact form.
    if (FromAnsi(narrow.c_str()) != text)
        return false;
    out = narrow.c_str();
    return true;
}

std::wstring FromAnsi(const char* text) {
    if (!text || !*text)
        return {};
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (n <= 1)
        return {};
    std::wstring wide(static_cast<size_t>(n - 1), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), n);
    return wide;
}

BSTR ToBstr(const std::wstring& text) {
    return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

BSTR ToBstr(const char* ansi) {
    return ToBstr(FromAnsi(ansi));
}

std::string ForLog(const std::wstring& text, size_t limit) {
    std::string out = "\"";
    size_t shown = 0;
    for (wchar_t c : text) {
        if (shown++ == limit) {
            out += "...";
            break;
        }
        if (c == L'\0') {
            out += "\\0";
        } else if (c < 0x20 || c == L'"') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(c));
            out += escaped;
        } else {
            char utf8[8] = {};
            const int n =
                WideCharToMultiByte(CP_UTF8, 0, &c, 1, utf8, sizeof utf8, nullptr, nullptr);
            out.append(utf8, n > 0 ? static_cast<size_t>(n) : 0);
        }
    }
    out += "\"";
    char length[32];
    if (text.size() > limit) {
        std::snprintf(length, sizeof length, "(%zu chars)", text.size());
        out += length;
    }
    return out;
}

std::string ForLog(BSTR text, size_t limit) {
    if (!text)
        return "null";
    return ForLog(FromBstr(text), limit);
}

std::string Hex(unsigned long value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", value);
    return text;
}

}  // namespace vesko::broker
