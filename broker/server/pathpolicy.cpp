#include "pathpolicy.h"

#include <cwctype>

namespace vesko::broker {

namespace {

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool EqualsNoCase(const wchar_t* a, size_t an, const wchar_t* b, size_t bn) {
    return CompareStringOrdinal(a, static_cast<int>(an), b, static_cast<int>(bn), TRUE) ==
           CSTR_EQUAL;
}

// CON, NUL, COM1 and the like name a device in any folder and with any
// extension ("NUL.txt"), and trailing blanks and dots are dropped first.
bool IsDeviceName(std::wstring component) {
    const size_t dot = component.find(L'.');
    if (dot != std::wstring::npos)
        component.resize(dot);
    while (!component.empty() && (component.back() == L' ' || component.back() == L'.'))
        component.pop_back();
    static const wchar_t* const kFixed[] = {L"CON",    L"PRN",    L"AUX",    L"NUL",
                                            L"CLOCK$", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* name : kFixed)
        if (EqualsNoCase(component.c_str(), component.size(), name, wcslen(name)))
            return true;
    if (component.size() == 4) {
        const bool com = EqualsNoCase(component.c_str(), 3, L"COM", 3);
        const bool lpt = EqualsNoCase(component.c_str(), 3, L"LPT", 3);
        const wchar_t digit = component[3];
        // The superscript digits count as well (COM¹ is a device on Windows).
        if ((com || lpt) &&
            ((digit >= L'0' && digit <= L'9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3))
            return true;
    }
    return false;
}

}  // namespace

bool PathPolicy::SamePath(const std::wstring& a, const std::wstring& b) {
    return EqualsNoCase(a.c_str(), a.size(), b.c_str(), b.size());
}

bool PathPolicy::IsUnder(const std::wstring& path, const std::wstring& folder) {
    if (folder.empty() || path.size() <= folder.size())
        return false;
    if (!EqualsNoCase(path.c_str(), folder.size(), folder.c_str(), folder.size()))
        return false;
    // "C:\" ends in a separator already; other folders never do.
    return IsSeparator(folder.back()) || path[folder.size()] == L'\\';
}

std::wstring PathPolicy::Canonicalise(const std::wstring& text, const char** reason) {
    const char* dummy = nullptr;
    const char*& why = reason ? *reason : dummy;
    if (text.empty()) {
        why = "empty path";
        return {};
    }
    if (text.find(L'\0') != std::wstring::npos) {
        why = "NUL character in the path";
        return {};
    }
    if (text.size() >= MAX_PATH) {
        why = "path of MAX_PATH characters or more";
        return {};
    }
    for (wchar_t c : text) {
        if (c < 0x20 || c == L'*' || c == L'?' || c == L'"' || c == L'<' || c == L'>' ||
            c == L'|') {
            why = "wildcard or invalid character in the path";
            return {};
        }
    }
    const bool unc = text.size() >= 2 && IsSeparator(text[0]) && IsSeparator(text[1]);
    if (unc && text.size() >= 3 && (text[2] == L'?' || text[2] == L'.')) {
        why = "device or raw path form";
        return {};
    }
    const bool drive =
        text.size() >= 3 && std::iswalpha(text[0]) && text[1] == L':' && IsSeparator(text[2]);
    if (!drive && !unc) {
        why = "not an absolute path";
        return {};
    }
    if (text.find(L':', 2) != std::wstring::npos) {
        why = "alternate data stream or colon in the path";
        return {};
    }
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = start;
        while (end < text.size() && !IsSeparator(text[end]))
            ++end;
        if (end > start && IsDeviceName(text.substr(start, end - start))) {
            why = "device name in the path";
            return {};
        }
        start = end + 1;
    }
    wchar_t full[MAX_PATH + 1] = {};
    const DWORD n = GetFullPathNameW(text.c_str(), MAX_PATH + 1, full, nullptr);
    if (n == 0 || n >= MAX_PATH) {
        why = "path of MAX_PATH characters or more";
        return {};
    }
    std::wstring canonical(full, n);
    if (canonical.size() >= 4 && canonical[0] == L'\\' && canonical[1] == L'\\' &&
        (canonical[2] == L'?' || canonical[2] == L'.')) {
        why = "device or raw path form";
        return {};
    }
    while (canonical.size() > 3 && canonical.back() == L'\\')
        canonical.pop_back();
    why = "canonical";
    return canonical;
}

std::wstring PathPolicy::FindReparsePoint(const std::wstring& path, const std::wstring& anchor) {
    // Walk from the component after the anchor down to the path itself.
    size_t pos = anchor.size();
    while (pos < path.size()) {
        size_t next = path.find(L'\\', pos + 1);
        if (next == std::wstring::npos)
            next = path.size();
        const std::wstring prefix = path.substr(0, next);
        const DWORD attributes = GetFileAttributesW(prefix.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return {};  // nothing below can exist
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            return prefix;
        pos = next;
    }
    return {};
}

void PathPolicy::AddRoot(const std::wstring& root, const std::wstring& anchor, const char* origin) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_rules.push_back({root, anchor, true, origin});
}

void PathPolicy::GrantTree(const std::wstring& folder) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_rules.push_back({folder, folder, true, "folder picked in a broker dialog"});
}

void PathPolicy::GrantFile(const std::wstring& file) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_rules.push_back({file, file, false, "file picked in a broker dialog"});
}

void PathPolicy::Protect(const std::wstring& file) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_protected.push_back(file);
}

void PathPolicy::Pin(const std::wstring& folder) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_pinned.push_back(folder);
}

PathDecision PathPolicy::Check(const std::wstring& text, PathUse use) const {
    PathDecision decision;
    decision.canonical = Canonicalise(text, &decision.reason);
    if (decision.canonical.empty())
        return decision;
    const std::wstring& path = decision.canonical;

    std::lock_guard<std::mutex> hold(m_lock);
    for (const std::wstring& file : m_protected) {
        if (SamePath(path, file) || (use == PathUse::Modify && IsUnder(file, path))) {
            decision.reason = "the broker's audit log is not for the caller";
            return decision;
        }
    }
    if (use == PathUse::Modify) {
        for (const std::wstring& folder : m_pinned) {
            if (SamePath(path, folder)) {
                decision.reason = "a well-known folder itself";
                return decision;
            }
        }
    }
    const Rule* match = nullptr;
    for (const Rule& rule : m_rules) {
        const bool same = SamePath(path, rule.path);
        if (!rule.tree) {
            if (same)
                match = &rule;
        } else if (IsUnder(path, rule.path) || (same && use != PathUse::Modify)) {
            match = &rule;
        }
        if (match)
            break;
    }
    if (!match) {
        decision.reason =
            use == PathUse::Modify ? "not below an allowed folder" : "outside the allowed folders";
        return decision;
    }
    if (!FindReparsePoint(path, match->anchor).empty()) {
        decision.reason = "reparse point along the path";
        return decision;
    }
    decision.allowed = true;
    decision.reason = match->origin;
    return decision;
}

}  // namespace vesko::broker
