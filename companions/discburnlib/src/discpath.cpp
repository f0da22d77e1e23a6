#include "discpath.h"

#include <atomic>

namespace discpath {

namespace {

std::wstring JoinWide(const std::wstring& folder, const std::wstring& name) {
    if (folder.empty() || folder.back() == L'\\')
        return folder + name;
    return folder + L"\\" + name;
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

vesko::UniqueHandle OpenAttributes(const std::wstring& path) {
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING, flags,
                           nullptr);
    return vesko::UniqueHandle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

std::wstring FinalPath(HANDLE handle) {
    std::wstring path(32768, L'\0');
    const DWORD n = GetFinalPathNameByHandleW(handle, &path[0], static_cast<DWORD>(path.size()),
                                              FILE_NAME_NORMALIZED);
    if (n == 0 || n >= path.size())
        return {};
    path.resize(n);
    return path;
}

bool IsLinkedFile(const std::wstring& folder, const std::wstring& folderFinal,
                  const std::wstring& name) {
    vesko::UniqueHandle file = OpenAttributes(JoinWide(folder, name));
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (folderFinal.empty() || !file ||
        !GetFileInformationByHandleEx(file.Get(), FileAttributeTagInfo, &tag, sizeof tag))
        return true;
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || tag.ReparseTag)
        return true;
    const std::wstring expected = JoinWide(folderFinal, name);
    const std::wstring final = FinalPath(file.Get());
    return final.empty() ||
           CompareStringOrdinal(final.c_str(), -1, expected.c_str(), -1, TRUE) != CSTR_EQUAL;
}

std::wstring Wide(const std::string& text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (n <= 0)
        return {};
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], n);
    wide.resize(static_cast<size_t>(n - 1));
    return wide;
}

vesko::UniqueHandle CreateTemporary(const std::string& target, DWORD access, std::string& name) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = target + ".~burn" + std::to_string(GetCurrentProcessId()) + "-" +
               std::to_string(counter++);
        vesko::UniqueHandle file(CreateFileA(name.c_str(), access, 0, nullptr, CREATE_NEW,
                                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                                             nullptr));
        if (file.Get() != INVALID_HANDLE_VALUE)
            return file;
        if (GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    name.clear();
    return {};
}

bool IsLinkedFile(const std::string& folder, const std::string& name) {
    const std::wstring wideFolder = Wide(folder);
    std::wstring folderFinal;
    if (vesko::UniqueHandle h = OpenAttributes(wideFolder))
        folderFinal = FinalPath(h.Get());
    return IsLinkedFile(wideFolder, folderFinal, Wide(name));
}

}  // namespace discpath
