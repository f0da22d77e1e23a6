#include "discpath.h"

#include <vesko/raii.h>

namespace discpath {

namespace {

// The final path the system gives for an open handle ("" when none).
std::string FinalPathOf(HANDLE handle) {
    char path[MAX_PATH * 2] = {};
    const DWORD n = GetFinalPathNameByHandleA(handle, path, sizeof path, FILE_NAME_NORMALIZED);
    return n > 0 && n < sizeof path ? std::string(path, n) : std::string();
}

}  // namespace

bool IsFolder(const std::string& path) {
    const DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::string Join(const std::string& folder, const std::string& relative) {
    if (relative.empty())
        return folder;
    if (!folder.empty() && IsSeparator(folder.back()))
        return folder + relative;
    return folder + "\\" + relative;
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

void TrimSeparators(std::string& path) {
    while (path.size() > 1 && IsSeparator(path.back()) && !(path.size() == 3 && path[1] == ':'))
        path.pop_back();
}

std::string FullPath(const std::string& path) {
    std::string full(MAX_PATH, '\0');
    DWORD n = GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    if (n >= full.size()) {
        full.resize(n + 1);
        n = GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    }
    if (n == 0 || n >= full.size())
        return path;
    full.resize(n);
    TrimSeparators(full);
    return full;
}

bool IsWithin(const std::string& path, const std::string& prefix) {
    if (path.size() < prefix.size())
        return false;
    if (CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, path.c_str(),
                       static_cast<int>(prefix.size()), prefix.c_str(),
                       static_cast<int>(prefix.size())) != CSTR_EQUAL)
        return false;
    return path.size() == prefix.size() || IsSeparator(path[prefix.size()]) ||
           IsSeparator(prefix.back());
}

bool IsLinkedFile(const std::string& folder, const std::string& name) {
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    vesko::UniqueHandle parent(CreateFileA(folder.c_str(), FILE_READ_ATTRIBUTES, share, nullptr,
                                           OPEN_EXISTING, flags, nullptr));
    vesko::UniqueHandle file(CreateFileA(Join(folder, name).c_str(), FILE_READ_ATTRIBUTES, share,
                                         nullptr, OPEN_EXISTING, flags, nullptr));
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (parent.Get() == INVALID_HANDLE_VALUE || file.Get() == INVALID_HANDLE_VALUE ||
        !GetFileInformationByHandleEx(file.Get(), FileAttributeTagInfo, &tag, sizeof tag))
        return true;  // what cannot be checked is not copied
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || tag.ReparseTag)
        return true;
    const std::string expected = Join(FinalPathOf(parent.Get()), name);
    const std::string final = FinalPathOf(file.Get());
    return final.empty() || CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, final.c_str(), -1,
                                           expected.c_str(), -1) != CSTR_EQUAL;
}

}  // namespace discpath
