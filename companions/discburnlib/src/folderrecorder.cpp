#include "folderrecorder.h"

#include "discpath.h"
#include "recorderjob.h"

#include <vesko/raii.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

using discpath::IsFolder;
using discpath::Join;

namespace {

struct Entry {
    std::string relative;
    bool folder = false;
    bool link = false;  // a junction or symbolic link: never followed, never copied
    unsigned long long size = 0;
};

// Appends root\relative's tree, each folder before its contents.
bool ListTree(const std::string& root, const std::string& relative, std::vector<Entry>& out) {
    WIN32_FIND_DATAA fd;
    vesko::UniqueFindHandle find(FindFirstFileExA(Join(Join(root, relative), "*").c_str(),
                                                  FindExInfoBasic, &fd, FindExSearchNameMatch,
                                                  nullptr, 0));
    // A drive root lists no "." or "..", so an empty one finds nothing at
    // all: that is an empty folder, not a failure.
    if (!find)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        const std::string name = fd.cFileName;
        if (name == "." || name == "..")
            continue;
        Entry entry;
        entry.relative = relative.empty() ? name : relative + "\\" + name;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            entry.folder = true;
            entry.link = (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            out.push_back(entry);
            if (!entry.link && !ListTree(root, entry.relative, out))
                return false;
        } else {
            entry.size =
                (static_cast<unsigned long long>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
            entry.link = discpath::IsLinkedFile(Join(root, relative), name);
            out.push_back(entry);
        }
    } while (FindNextFileA(find.Get(), &fd));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

unsigned long long FileBytes(const std::vector<Entry>& entries) {
    unsigned long long total = 0;
    for (const Entry& e : entries)
        total += e.size;
    return total;
}

// What a burn has put on the disc, so that a failed or cancelled burn can
// take it away again.
class WrittenSet {
  public:
    void AddFile(const std::string& path) { m_files.push_back(path); }
    void AddFolder(const std::string& path) { m_folders.push_back(path); }
    void Remove() {
        for (auto it = m_files.rbegin(); it != m_files.rend(); ++it) {
            SetFileAttributesA(it->c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(it->c_str());
        }
        // Innermost first; a folder someone else filled meanwhile stays.
        for (auto it = m_folders.rbegin(); it != m_folders.rend(); ++it)
            RemoveDirectoryA(it->c_str());
        m_files.clear();
        m_folders.clear();
    }

  private:
    std::vector<std::string> m_files;
    std::vector<std::string> m_folders;
};

// Copies one file through a temporary name. Returns eOK, an interruption,
// eSourceNotFound or eWriteFailed; only eOK leaves target behind.
CD::EError CopyOne(RecorderJob& job, const std::string& source, const std::string& target,
                   std::vector<char>& buffer) {
    vesko::UniqueHandle in(CreateFileA(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (in.Get() == INVALID_HANDLE_VALUE)
        return CD::eSourceNotFound;
    std::string temporary;
    vesko::UniqueHandle out = discpath::CreateTemporary(target, GENERIC_WRITE, temporary);
    if (!out || out.Get() == INVALID_HANDLE_VALUE)
        return CD::eWriteFailed;

    CD::EError result = CD::eOK;
    for (;;) {
        result = job.Interruption();
        if (result != CD::eOK)
            break;
        DWORD read = 0;
        if (!ReadFile(in.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
            result = CD::eWriteFailed;
            break;
        }
        if (read == 0)
            break;
        DWORD written = 0;
        if (!WriteFile(out.Get(), buffer.data(), read, &written, nullptr) || written != read) {
            result = CD::eWriteFailed;
            break;
        }
        job.Advance(read, buffer.size());
        result = job.Pace(read);
        if (result != CD::eOK)
            break;
    }
    out.Reset();
    if (result == CD::eOK) {
        // A read-only file of the same name would refuse to be replaced.
        SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (MoveFileExA(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
            return CD::eOK;
        result = CD::eWriteFailed;
    }
    DeleteFileA(temporary.c_str());
    return result;
}

// Compares two files. eOK when equal, an interruption, or eWriteFailed.
CD::EError CompareOne(RecorderJob& job, const std::string& source, const std::string& target,
                      std::vector<char>& first, std::vector<char>& second) {
    vesko::UniqueHandle a(CreateFileA(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    vesko::UniqueHandle b(CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (a.Get() == INVALID_HANDLE_VALUE || b.Get() == INVALID_HANDLE_VALUE)
        return CD::eWriteFailed;
    for (;;) {
        const CD::EError interruption = job.Interruption();
        if (interruption != CD::eOK)
            return interruption;
        DWORD readA = 0;
        DWORD readB = 0;
        if (!ReadFile(a.Get(), first.data(), static_cast<DWORD>(first.size()), &readA, nullptr) ||
            !ReadFile(b.Get(), second.data(), static_cast<DWORD>(second.size()), &readB, nullptr))
            return CD::eWriteFailed;
        if (readA != readB || !std::equal(first.begin(), first.begin() + readA, second.begin()))
            return CD::eWriteFailed;
        if (readA == 0)
            return CD::eOK;
        job.Advance(readA, first.size());
    }
}

}  // namespace

FolderRecorder::FolderRecorder(const CDExpManager::Drive& drive) : m_drive(drive) {}

CD::EError FolderRecorder::Validate() {
    return IsFolder(m_drive.folder) ? CD::eOK : CD::eInvalidDrive;
}

CD::EError FolderRecorder::FreeBytes(unsigned long long& free) {
    const CD::EError state = Validate();
    if (state != CD::eOK)
        return state;
    std::vector<Entry> entries;
    if (!ListTree(m_drive.folder, "", entries))
        return CD::eInvalidDrive;
    const unsigned long long used = FileBytes(entries);
    // A write-once disc that holds anything is closed.
    if (m_drive.writeOnce && !entries.empty())
        free = 0;
    else
        free = used >= m_drive.capacity ? 0 : m_drive.capacity - used;
    return CD::eOK;
}

CD::EError FolderRecorder::Burn(const std::string& source, bool verify, RecorderJob& job) {
    const std::string disc = discpath::FullPath(m_drive.folder);
    if (discpath::IsWithin(source, disc) || discpath::IsWithin(disc, source))
        return CD::eNotSupported;

    // What to copy, relative to sourceRoot; the disc gets the same layout.
    std::string sourceRoot;
    std::vector<Entry> entries;
    if (IsFolder(source)) {
        sourceRoot = source;
        if (!ListTree(source, "", entries))
            return CD::eSourceNotFound;
    } else {
        WIN32_FILE_ATTRIBUTE_DATA info;
        const size_t slash = source.find_last_of("\\/");
        if (slash == std::string::npos ||
            !GetFileAttributesExA(source.c_str(), GetFileExInfoStandard, &info))
            return CD::eSourceNotFound;
        sourceRoot = source.substr(0, slash);
        Entry file;
        file.relative = source.substr(slash + 1);
        file.size = (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        entries.push_back(file);
    }
    entries.erase(
        std::remove_if(entries.begin(), entries.end(), [](const Entry& e) { return e.link; }),
        entries.end());

    std::vector<Entry> onDisc;
    if (!ListTree(m_drive.folder, "", onDisc))
        return CD::eInvalidDrive;
    if (m_drive.writeOnce && !onDisc.empty())
        return CD::eMediaNotBlank;
    const unsigned long long used = FileBytes(onDisc);
    const unsigned long long free = used >= m_drive.capacity ? 0 : m_drive.capacity - used;
    const unsigned long long total = FileBytes(entries);
    if (total > free)
        return CD::eNoSpace;

    WrittenSet written;
    CD::EError result = CD::eOK;
    job.BeginProgress(CD::eProgressBurn, total);
    {
        std::vector<char> buffer(static_cast<size_t>(job.Step()));
        for (const Entry& e : entries) {
            result = job.Interruption();
            if (result != CD::eOK)
                break;
            const std::string target = Join(disc, e.relative);
            if (e.folder) {
                if (CreateDirectoryA(target.c_str(), nullptr)) {
                    written.AddFolder(target);
                } else if (!IsFolder(target)) {
                    result = CD::eWriteFailed;
                    break;
                }
                continue;
            }
            result = CopyOne(job, Join(sourceRoot, e.relative), target, buffer);
            if (result != CD::eOK)
                break;
            written.AddFile(target);
        }
    }
    if (result == CD::eOK && verify) {
        job.BeginProgress(CD::eProgressVerify, total);
        std::vector<char> first(static_cast<size_t>(job.Step()));
        std::vector<char> second(first.size());
        for (const Entry& e : entries) {
            if (e.folder)
                continue;
            result = CompareOne(job, Join(sourceRoot, e.relative), Join(disc, e.relative), first,
                                second);
            if (result != CD::eOK)
                break;
        }
    }
    if (result != CD::eOK && result != CD::eStopped)
        written.Remove();
    return result;
}

CD::EError FolderRecorder::Erase(bool full, RecorderJob& job) {
    const std::string& disc = m_drive.folder;
    if (m_drive.writeOnce)
        return CD::eNotSupported;
    std::vector<Entry> entries;
    if (!ListTree(disc, "", entries))
        return CD::eWriteFailed;

    std::vector<const Entry*> files;
    std::vector<const Entry*> folders;
    for (const Entry& e : entries)
        (e.folder ? folders : files).push_back(&e);

    if (full)
        job.BeginProgress(CD::eProgressErase, FileBytes(entries));
    CD::EError result = CD::eOK;
    for (size_t i = 0; i < files.size() && result == CD::eOK; ++i) {
        result = job.Interruption();
        if (result != CD::eOK)
            break;
        const std::string path = Join(disc, files[i]->relative);
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!DeleteFileA(path.c_str())) {
            result = CD::eWriteFailed;
            break;
        }
        job.Advance(files[i]->size, i + 1 < files.size() ? files[i + 1]->size : 0);
    }
    // Innermost folders first. A link is removed itself, never its target.
    for (auto it = folders.rbegin(); it != folders.rend() && result == CD::eOK; ++it) {
        const std::string path = Join(disc, (*it)->relative);
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_DIRECTORY);
        if (!RemoveDirectoryA(path.c_str()))
            result = CD::eWriteFailed;
    }
    return result;
}
