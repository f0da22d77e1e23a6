#include "pathpolicy.h"

#include <cwctype>

#include <vesko/raii.h>

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

std::wstring PathPolicy::FinalPath(HANDLE handle) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD n =
            GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0)
            return {};
        if (n < buffer.size()) {
            buffer.resize(n);
            if (buffer.compare(0, 8, L"\\\\?\\UNC\\") == 0)
                return L"\\" + buffer.substr(7);
            if (buffer.compare(0, 4, L"\\\\?\\") == 0)
                buffer.erase(0, 4);
            while (buffer.size() > 3 && buffer.back() == L'\\')
                buffer.pop_back();
            return buffer;
        }
        buffer.assign(n + 1, L'\0');
    }
    return {};
}

bool PathPolicy::HandleFacts(HANDLE handle, DWORD& attributes, DWORD& links) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    FILE_STANDARD_INFO standard{};
    if (handle == INVALID_HANDLE_VALUE || !handle ||
        !GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) ||
        !GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard))
        return false;
    attributes = tag.FileAttributes;
    if (tag.ReparseTag)
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    links = standard.NumberOfLinks;
    return true;
}

namespace {

bool Fail(const char*& why, const char* reason) {
    why = reason;
    return false;
}

// The volume's root when path is one ("C:\", a volume mounted on a folder).
bool IsVolumeRoot(const std::wstring& path) {
    if (path.size() <= 3)
        return true;
    wchar_t volume[MAX_PATH + 1] = {};
    if (!GetVolumePathNameW(path.c_str(), volume, MAX_PATH + 1))
        return false;
    std::wstring root = volume;
    while (root.size() > 3 && root.back() == L'\\')
        root.pop_back();
    return PathPolicy::SamePath(root, path);
}

}  // namespace

bool PathPolicy::Resolve(const std::wstring& canonical, ResolvedPath& out, const char** reason) {
    const char* dummy = nullptr;
    const char*& why = reason ? *reason : dummy;
    out = ResolvedPath{};
    // The root that always exists: "C:\" or "\\server\share".
    size_t rootEnd = 3;
    if (canonical.size() < 3)
        return Fail(why, "not an absolute path");
    if (canonical[1] != L':') {
        const size_t server = canonical.find(L'\\', 2);
        if (server == std::wstring::npos)
            return Fail(why, "network path without a share");
        const size_t share = canonical.find(L'\\', server + 1);
        rootEnd = share == std::wstring::npos ? canonical.size() : share;
    }
    // The longest part that exists, looked for from the end: most paths
    // exist, or miss only their last components.
    std::wstring existing = canonical;
    while (existing.size() > rootEnd &&
           GetFileAttributesW(existing.c_str()) == INVALID_FILE_ATTRIBUTES) {
        // Missing, or there but not to be opened: a dangling link is listed
        // by its folder (on Windows as a reparse point; Wine gives
        // ERROR_NO_MORE_FILES for its exact name) but opens nothing, and
        // writing through it would create its target, wherever that is.
        WIN32_FIND_DATAW found;
        const HANDLE find = FindFirstFileW(existing.c_str(), &found);
        const DWORD error = GetLastError();
        if (find != INVALID_HANDLE_VALUE)
            FindClose(find);
        if (find != INVALID_HANDLE_VALUE ||
            (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND))
            return Fail(why, "a name that is there but cannot be opened (a dangling link?)");
        const size_t parent = existing.find_last_of(L'\\');
        existing.resize(parent == std::wstring::npos || parent < rootEnd ? rootEnd : parent);
    }
    std::wstring rest = canonical.substr(existing.size());
    while (!rest.empty() && rest[0] == L'\\')
        rest.erase(0, 1);

    // Opened without following a link at the end: on Windows the handle is
    // the link's own, and reports it as a reparse point.
    const std::wstring open = existing.size() == 2 ? existing + L"\\" : existing;
    UniqueHandle handle(
        CreateFileW(open.c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    DWORD attributes = 0, links = 0;
    if (!HandleFacts(handle.Get(), attributes, links))
        return Fail(why, "the path cannot be opened to be checked");
    const std::wstring real = FinalPath(handle.Get());
    if (real.empty())
        return Fail(why, "the system gives no final path for it");
    // Short names are the only ones with a '~' (and expanding them costs a
    // folder listing per component).
    std::wstring named = open;
    if (open.find(L'~') != std::wstring::npos) {
        std::wstring buffer(MAX_PATH + 1, L'\0');
        const DWORD n = GetLongPathNameW(open.c_str(), buffer.data(), MAX_PATH + 1);
        if (n > 0 && n <= MAX_PATH)
            named = buffer.substr(0, n);
    }
    while (named.size() > 3 && named.back() == L'\\')
        named.pop_back();

    const auto join = [&rest](const std::wstring& base) {
        if (rest.empty())
            return base;
        return base.back() == L'\\' ? base + rest : base + L"\\" + rest;
    };
    out.real = join(real);
    out.named = join(named);
    out.exists = rest.empty();
    if (out.exists) {
        // Wine shows a host link to a folder as a reparse point by its name
        // only; the handle it opens is the target's.
        const DWORD byName = GetFileAttributesW(open.c_str());
        out.attributes =
            attributes |
            (byName != INVALID_FILE_ATTRIBUTES ? byName & FILE_ATTRIBUTE_REPARSE_POINT : 0);
        out.links = links;
    }
    return true;
}

std::wstring PathPolicy::RealPath(const std::wstring& text, const char** reason) {
    const std::wstring canonical = Canonicalise(text, reason);
    ResolvedPath resolved;
    if (canonical.empty() || !Resolve(canonical, resolved, reason))
        return {};
    return resolved.real;
}

namespace {

// The tree below folder (whose final path is real), entry by entry.
const char* WalkTree(const std::wstring& folder, const std::wstring& real, int depth) {
    if (depth > 64)
        return "a tree nested too deep to be checked";
    WIN32_FIND_DATAW found;
    UniqueFindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!find)
        return nullptr;  // empty, or gone: nothing inside to follow
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            return "a link or junction inside the tree";
        const std::wstring path = folder + L"\\" + name;
        UniqueHandle handle(CreateFileW(
            path.c_str(), FILE_READ_ATTRIBUTES,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        DWORD attributes = 0, links = 0;
        if (!PathPolicy::HandleFacts(handle.Get(), attributes, links))
            return "an entry inside the tree cannot be opened to be checked";
        // Under Wine a host link to a file lists as the file itself; it
        // leads elsewhere, which only its final path tells.
        const std::wstring final = PathPolicy::FinalPath(handle.Get());
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
            !PathPolicy::SamePath(final, real + L"\\" + name))
            return "a link inside the tree";
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (const char* refusal = WalkTree(path, final, depth + 1))
                return refusal;
        }
    } while (FindNextFileW(find.Get(), &found));
    return nullptr;
}

}  // namespace

const char* PathPolicy::TreeRefusal(const std::wstring& folder) {
    UniqueHandle handle(
        CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    DWORD attributes = 0, links = 0;
    if (!HandleFacts(handle.Get(), attributes, links) || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return nullptr;
    return WalkTree(folder, FinalPath(handle.Get()), 0);
}

namespace {

bool IsUnderOrSame(const std::wstring& path, const std::wstring& folder) {
    return PathPolicy::SamePath(path, folder) || PathPolicy::IsUnder(path, folder);
}

// The final form of a canonical path, or the path itself when it cannot be
// resolved (a rule for a folder that cannot be opened then matches nothing
// real).
std::wstring FinalForm(const std::wstring& canonical) {
    ResolvedPath resolved;
    return PathPolicy::Resolve(canonical, resolved, nullptr) ? resolved.real : canonical;
}

}  // namespace

void PathPolicy::AddRoot(const std::wstring& root, const std::wstring& anchor, const char* origin) {
    ResolvedPath base;
    if (!Resolve(anchor, base, nullptr))
        base.real = base.named = anchor;
    const std::wstring path = FinalForm(root);
    std::lock_guard<std::mutex> hold(m_lock);
    m_rules.push_back({path, base.named, base.real, true, origin});
}

void PathPolicy::GrantTree(const std::wstring& folder) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_rules.push_back({folder, folder, folder, true, "folder picked in a broker dialog"});
}

void PathPolicy::GrantFile(const std::wstring& file) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_rules.push_back({file, file, file, false, "file picked in a broker dialog"});
}

void PathPolicy::Protect(const std::wstring& file) {
    const std::wstring path = FinalForm(file);
    std::lock_guard<std::mutex> hold(m_lock);
    m_protected.push_back(path);
}

void PathPolicy::Pin(const std::wstring& folder) {
    const std::wstring path = FinalForm(folder);
    std::lock_guard<std::mutex> hold(m_lock);
    m_pinned.push_back(path);
}

void PathPolicy::Reserve(const std::wstring& folder, bool sealed) {
    const std::wstring path = FinalForm(folder);
    std::lock_guard<std::mutex> hold(m_lock);
    m_reserved.push_back({path, sealed});
}

void PathPolicy::AddHelpRoot(const std::wstring& folder) {
    const std::wstring path = FinalForm(folder);
    std::lock_guard<std::mutex> hold(m_lock);
    m_helpRoots.push_back(path);
}

const char* PathPolicy::LinkRefusal(const ResolvedPath& resolved, const Rule& rule) const {
    if (resolved.exists && (resolved.attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return "a link or reparse point at the end of the path";
    // Above the anchor the names are the shell's and trusted (a redirected
    // profile folder is fine); below it the path must lead where it says.
    const std::wstring* anchor = nullptr;
    if (IsUnderOrSame(resolved.named, rule.anchorNamed) &&
        IsUnderOrSame(resolved.real, rule.anchorReal) &&
        SamePath(resolved.named.substr(rule.anchorNamed.size()),
                 resolved.real.substr(rule.anchorReal.size())))
        anchor = &rule.anchorNamed;
    else if (SamePath(resolved.named, resolved.real) &&
             IsUnderOrSame(resolved.named, rule.anchorReal))
        anchor = &rule.anchorReal;
    if (!anchor)
        return "the path leads elsewhere than it says (a link, a junction or another drive "
               "letter for the folder)";
    if (!FindReparsePoint(resolved.named, *anchor).empty())
        return "reparse point along the path";
    return nullptr;
}

PathDecision PathPolicy::Check(const std::wstring& text, PathUse use) const {
    PathDecision decision;
    const std::wstring canonical = Canonicalise(text, &decision.reason);
    if (canonical.empty())
        return decision;
    if (canonical[0] == L'\\') {
        // A share is looked up only when a rule names it: the lookup alone
        // would hand the host's chosen server the user's credentials.
        std::lock_guard<std::mutex> hold(m_lock);
        bool named = false;
        for (const Rule& rule : m_rules)
            named = named || (rule.path[0] == L'\\' && IsUnderOrSame(canonical, rule.path));
        if (!named) {
            decision.reason = "network path";
            return decision;
        }
    }
    ResolvedPath resolved;
    if (!Resolve(canonical, resolved, &decision.reason))
        return decision;
    const std::wstring& path = resolved.real;
    if (path.size() >= MAX_PATH) {
        decision.reason = "path of MAX_PATH characters or more";
        return decision;
    }
    const bool isFolder = resolved.exists && (resolved.attributes & FILE_ATTRIBUTE_DIRECTORY);
    {
        std::lock_guard<std::mutex> hold(m_lock);
        for (const std::wstring& file : m_protected) {
            if (SamePath(path, file) ||
                ((use == PathUse::Modify || use == PathUse::Read) && IsUnder(file, path))) {
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
            decision.reason = use == PathUse::Modify ? "not below an allowed folder"
                                                     : "outside the allowed folders";
            return decision;
        }
        if (const char* refusal = LinkRefusal(resolved, *match)) {
            decision.reason = refusal;
            return decision;
        }
        decision.reason = match->origin;
    }
    // Emptying one name of a file empties all its names, wherever they are.
    if (resolved.exists && !isFolder && resolved.links > 1 && use != PathUse::Create) {
        decision.reason = "a file with more than one name (hard link)";
        return decision;
    }
    if (isFolder && use != PathUse::Check && use != PathUse::Create) {
        if (const char* refusal = TreeRefusal(path)) {
            decision.reason = refusal;
            return decision;
        }
    }
    decision.allowed = true;
    decision.canonical = path;
    return decision;
}

const char* PathPolicy::RootRefusal(const std::wstring& real, bool tree) const {
    if (tree) {
        if (IsVolumeRoot(real))
            return "a whole drive";
        if (real[0] == L'\\' && real.find(L'\\', real.find(L'\\', 2) + 1) == std::wstring::npos)
            return "a whole network share";
    }
    std::lock_guard<std::mutex> hold(m_lock);
    for (const std::wstring& file : m_protected)
        if (SamePath(real, file))
            return "the broker's audit log";
    for (const Reserved& folder : m_reserved) {
        if (tree && IsUnderOrSame(folder.path, real))
            return "a system folder, or a folder that holds one";
        if (folder.sealed && IsUnder(real, folder.path))
            return "inside a system folder";
        if (!tree && SamePath(real, folder.path))
            return "a system folder";
    }
    return nullptr;
}

const char* PathPolicy::HelpRefusal(const std::wstring& real) const {
    std::lock_guard<std::mutex> hold(m_lock);
    bool inHelp = false;
    for (const std::wstring& root : m_helpRoots)
        inHelp = inHelp || IsUnder(real, root);
    if (!inHelp)
        return "help file outside the folders the host cannot write (the broker's own, the "
               "policy's help folders)";
    for (const Rule& rule : m_rules)
        if (SamePath(real, rule.path) || (rule.tree && IsUnder(real, rule.path)))
            return "help file lies in a folder the host may write to";
    return nullptr;
}

}  // namespace vesko::broker
