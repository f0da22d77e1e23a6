#include "sourcetree.h"

#include "discpath.h"

#include <vesko/raii.h>

#include <windows.h>

#include <algorithm>

namespace {

std::wstring Join(const std::wstring& folder, const std::wstring& name) {
    if (folder.empty() || folder.back() == L'\\')
        return folder + name;
    return folder + L"\\" + name;
}

bool ListFolder(const std::wstring& base, std::vector<DiscNode>& nodes, uint32_t folder) {
    const std::wstring path = SourceTree::PathOf(base, nodes, folder);
    std::wstring folderFinal;
    if (vesko::UniqueHandle h = discpath::OpenAttributes(path))
        folderFinal = discpath::FinalPath(h.Get());
    WIN32_FIND_DATAW fd;
    vesko::UniqueFindHandle find(FindFirstFileExW(Join(path, L"*").c_str(), FindExInfoBasic, &fd,
                                                  FindExSearchNameMatch, nullptr,
                                                  FIND_FIRST_EX_LARGE_FETCH));
    // A drive root lists no "." or "..", so an empty one finds nothing at
    // all: that is an empty folder, not a failure.
    if (!find)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    std::vector<DiscNode> found;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..")
            continue;
        DiscNode node;
        node.name = name;
        node.parent = folder;
        node.folder = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        // Junctions and symbolic links are never followed: they could lead
        // out of the source, or round in a loop.
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            continue;
        if (!node.folder) {
            if (discpath::IsLinkedFile(path, folderFinal, name))
                continue;
            node.size = (static_cast<uint64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
        }
        found.push_back(std::move(node));
    } while (FindNextFileW(find.Get(), &fd));
    if (GetLastError() != ERROR_NO_MORE_FILES)
        return false;
    // The listing's order is the file system's; the image must not depend on it.
    std::sort(found.begin(), found.end(), [](const DiscNode& a, const DiscNode& b) {
        return CompareStringOrdinal(a.name.c_str(), -1, b.name.c_str(), -1, FALSE) ==
               CSTR_LESS_THAN;
    });
    for (DiscNode& node : found) {
        const uint32_t index = static_cast<uint32_t>(nodes.size());
        nodes[folder].children.push_back(index);
        const bool isFolder = node.folder;
        nodes.push_back(std::move(node));
        if (isFolder && !ListFolder(base, nodes, index))
            return false;
    }
    return true;
}

}  // namespace

std::wstring SourceTree::LongPath(const std::wstring& path) {
    if (path.rfind(L"\\\\?\\", 0) == 0)
        return path;
    if (path.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + path.substr(2);
    return L"\\\\?\\" + path;
}

std::wstring SourceTree::PathOf(const std::wstring& base, const std::vector<DiscNode>& nodes,
                                uint32_t node) {
    std::vector<uint32_t> chain;
    for (uint32_t n = node; n != 0; n = nodes[n].parent)
        chain.push_back(n);
    std::wstring path = base;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
        path = Join(path, nodes[*it].name);
    return path;
}

CD::EError SourceTree::List(const std::wstring& source, std::vector<DiscNode>& nodes,
                            std::wstring& base, std::wstring& own) {
    nodes.assign(1, DiscNode{});
    nodes[0].folder = true;
    std::wstring full(32768, L'\0');
    const DWORD n =
        GetFullPathNameW(source.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (source.empty() || n == 0 || n >= full.size())
        return CD::eSourceNotFound;
    full.resize(n);
    while (full.size() > 3 && full.back() == L'\\')
        full.pop_back();
    const std::wstring path = LongPath(full);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return CD::eSourceNotFound;
    const size_t slash = full.find_last_of(L'\\');
    own = slash == std::wstring::npos ? full : full.substr(slash + 1);
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        base = path;
        return ListFolder(base, nodes, 0) ? CD::eOK : CD::eSourceNotFound;
    }
    if (own.empty() || slash == std::wstring::npos)
        return CD::eSourceNotFound;
    // "C:\x.txt" lies in "C:\", not in "C:" (that drive's current folder).
    base = LongPath(full.substr(0, slash == 2 && full[1] == L':' ? 3 : slash));
    DiscNode file;
    file.name = own;
    file.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    nodes[0].children.push_back(1);
    nodes.push_back(std::move(file));
    return CD::eOK;
}
