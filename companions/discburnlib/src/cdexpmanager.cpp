#include "cdexpmanager.h"

#include "cdprogress.h"
#include "cdresult.h"

#include <vesko/raii.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr unsigned long long kCdCapacity = 700ull * 1024 * 1024;
constexpr unsigned long long kDvdCapacity = 4700000000ull;
// The unit of copying and comparing: Cancel and Stop are seen between two.
constexpr unsigned long long kMaxChunk = 256 * 1024;
constexpr unsigned long long kMinChunk = 4 * 1024;
// Posting a little more often than promised leaves room for a slow chunk.
constexpr ULONGLONG kProgressIntervalMs = 80;

bool IsFolder(const std::string& path) {
    const DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::string Join(const std::string& folder, const std::string& relative) {
    if (relative.empty())
        return folder;
    if (!folder.empty() && (folder.back() == '\\' || folder.back() == '/'))
        return folder + relative;
    return folder + "\\" + relative;
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// Drops trailing separators, keeping the one of a drive root ("C:\").
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

// path is prefix or lies below it (case-insensitive, as the file system).
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

struct Entry {
    std::string relative;
    bool folder = false;
    bool link = false;  // a junction or symbolic link: never followed, never copied
    unsigned long long size = 0;
};

// The final path the system gives for an open handle ("" when none).
std::string FinalPathOf(HANDLE handle) {
    char path[MAX_PATH * 2] = {};
    const DWORD n = GetFinalPathNameByHandleA(handle, path, sizeof path, FILE_NAME_NORMALIZED);
    return n > 0 && n < sizeof path ? std::string(path, n) : std::string();
}

// Whether folder\name leads elsewhere: a reparse point by its handle, or a
// final path that is not the folder's own followed by the name. Wine shows a
// host link to a file as the file itself; only its final path gives it away.
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
            entry.link = IsLinkedFile(Join(root, relative), name);
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

bool UsedBytes(const std::string& folder, unsigned long long& used) {
    std::vector<Entry> entries;
    if (!ListTree(folder, "", entries))
        return false;
    used = FileBytes(entries);
    return true;
}

CD::EError CheckFolder(const std::optional<CDExpManager::Drive>& drive) {
    if (!drive)
        return CD::eNoDrive;
    if (!IsFolder(drive->folder))
        return CD::eInvalidDrive;
    return CD::eOK;
}

CD::EError FreeBytes(const std::optional<CDExpManager::Drive>& drive, unsigned long long& free) {
    const CD::EError state = CheckFolder(drive);
    if (state != CD::eOK)
        return state;
    unsigned long long used = 0;
    if (!UsedBytes(drive->folder, used))
        return CD::eInvalidDrive;
    free = used >= drive->capacity ? 0 : drive->capacity - used;
    return CD::eOK;
}

// Whole KiB of free space for event 3: 0 without a usable drive.
unsigned long long FreeKiB(const std::optional<CDExpManager::Drive>& drive) {
    unsigned long long free = 0;
    if (FreeBytes(drive, free) != CD::eOK)
        return 0;
    return std::min<unsigned long long>(free / 1024, 0xFFFFFFFFull);
}

// "<name><decimal>" with a value above 0 that fits 64 bits.
bool ParseCount(const std::string& option, const char* name, unsigned long long& value) {
    const size_t prefix = std::strlen(name);
    if (option.compare(0, prefix, name) != 0 || option.size() == prefix)
        return false;
    value = 0;
    for (size_t i = prefix; i < option.size(); ++i) {
        const char c = option[i];
        if (c < '0' || c > '9')
            return false;
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (value > (~0ull - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    return value != 0;
}

// Progress values are KiB rounded up, so that any data moved shows.
unsigned long ProgressKiB(unsigned long long bytes) {
    return static_cast<unsigned long>(
        std::min<unsigned long long>((bytes + 1023) / 1024, 0xFFFFFFFFull));
}

// What a running job needs from its manager.
struct JobContext {
    CDNotifiable& sink;
    const std::atomic<int>& request;
    // The drive's write speed in KiB/s, 0 for as fast as the disk goes.
    unsigned long long speed = 0;
    ULONGLONG start = GetTickCount64();
    mutable unsigned long long written = 0;

    // Holds a job that has written bytes more back to the drive's speed.
    // Waits in short slices so that Cancel and Stop are seen at once; returns
    // the interruption that ended the wait, else eOK.
    CD::EError Pace(unsigned long long bytes) const {
        written += bytes;
        if (speed == 0)
            return Interruption();
        const unsigned long long due = written * 1000 / (speed * 1024);
        for (;;) {
            const CD::EError interruption = Interruption();
            if (interruption != CD::eOK)
                return interruption;
            const ULONGLONG elapsed = GetTickCount64() - start;
            if (elapsed >= due)
                return CD::eOK;
            Sleep(static_cast<DWORD>(std::min<ULONGLONG>(due - elapsed, 20)));
        }
    }

    // eCancelled / eStopped when asked to end, else eOK.
    CD::EError Interruption() const {
        switch (request.load()) {
            case CDExpManager::eCancelRequest:
                return CD::eCancelled;
            case CDExpManager::eStopRequest:
                return CD::eStopped;
            default:
                return CD::eOK;
        }
    }
};

// Posts event 4 often enough for a smooth bar: before the distance since
// the last post could exceed 1% of the total, and when a posting interval
// has passed.
class ProgressReporter {
  public:
    ProgressReporter(CDNotifiable& sink, CD::EProgressType kind, unsigned long long total)
        : m_sink(sink),
          m_kind(kind),
          m_total(total),
          m_onePercent(std::max<unsigned long long>(total / 100, 1)) {
        Post();
    }
    // The largest step that keeps posts within 1% of each other.
    unsigned long long Step() const { return std::clamp(m_onePercent, kMinChunk, kMaxChunk); }
    // bytes were just done; next is the most the following step will do.
    void Advance(unsigned long long bytes, unsigned long long next) {
        m_done += bytes;
        if (m_done == m_posted)
            return;
        if (m_done >= m_total || m_done - m_posted + next > m_onePercent ||
            GetTickCount64() - m_lastPost >= kProgressIntervalMs)
            Post();
    }

  private:
    void Post() {
        // A record of its own for each event, destroyed once every observer
        // has returned from it.
        const auto record =
            std::make_unique<CDProgress>(m_kind, ProgressKiB(m_done), ProgressKiB(m_total));
        m_sink.Notify(4, record.get());
        m_posted = m_done;
        m_lastPost = GetTickCount64();
    }

    CDNotifiable& m_sink;
    CD::EProgressType m_kind;
    unsigned long long m_total;
    unsigned long long m_onePercent;
    unsigned long long m_done = 0;
    unsigned long long m_posted = 0;
    ULONGLONG m_lastPost = 0;
};

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

// Creates a temporary file beside target that no other file uses.
vesko::UniqueHandle CreateTemporary(const std::string& target, std::string& name) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = target + ".~burn" + std::to_string(GetCurrentProcessId()) + "-" +
               std::to_string(counter++);
        vesko::UniqueHandle file(CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
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

// Copies one file through a temporary name. Returns eOK, an interruption,
// eSourceNotFound or eWriteFailed; only eOK leaves target behind.
CD::EError CopyOne(const JobContext& job, const std::string& source, const std::string& target,
                   std::vector<char>& buffer, ProgressReporter& progress) {
    vesko::UniqueHandle in(CreateFileA(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (in.Get() == INVALID_HANDLE_VALUE)
        return CD::eSourceNotFound;
    std::string temporary;
    vesko::UniqueHandle out = CreateTemporary(target, temporary);
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
        progress.Advance(read, buffer.size());
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
CD::EError CompareOne(const JobContext& job, const std::string& source, const std::string& target,
                      std::vector<char>& first, std::vector<char>& second,
                      ProgressReporter& progress) {
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
        progress.Advance(readA, first.size());
    }
}

}  // namespace

struct CDExpManager::Core : CDNotifiable, std::enable_shared_from_this<CDExpManager::Core> {
    struct Job {
        Operation operation = eValidation;
        std::optional<Drive> drive;  // the selection when the job was accepted
        std::string source;
        bool flag = false;
    };
    // What the worker thread starts with: its reference to the core and the
    // module it keeps loaded while it runs.
    struct Start {
        std::shared_ptr<Core> core;
        HMODULE module;
    };

    explicit Core(Observable::Channel events) : channel(std::move(events)) {}

    // Posts through the channel: once the manager is gone, nothing arrives.
    void Notify(unsigned int eventId, void* data) override { channel.PostEvent(eventId, data); }
    void PostValue(unsigned int eventId, unsigned long long value) {
        Notify(eventId, reinterpret_cast<void*>(static_cast<uintptr_t>(value)));
    }
    // The record lives for this one delivery: observers only borrow it.
    template <typename Record>
    void PostRecord(unsigned int eventId, std::unique_ptr<Record> record) {
        Notify(eventId, record.get());
    }

    std::optional<Drive> SelectedDrive() const {
        std::lock_guard<std::mutex> lock(mutex);
        return drive;
    }
    // Hands job to the worker unless one is running; false when busy.
    bool Accept(Job job);
    // Called by the job right before it posts its result.
    void EndBusy() {
        std::lock_guard<std::mutex> lock(mutex);
        busy = false;
    }
    void Run();
    void Execute(const Job& job);
    CD::EError Burn(const Job& job);
    CD::EError Erase(const Job& job);
    static DWORD WINAPI ThreadProc(LPVOID parameter);

    const Observable::Channel channel;
    mutable std::mutex mutex;  // guards everything below but request
    std::condition_variable wake;
    std::optional<Drive> drive;
    std::optional<Job> pending;
    bool busy = false;
    bool quit = false;
    std::atomic<int> request{eNone};
    vesko::UniqueHandle thread;
    DWORD threadId = 0;
};

CDExpManager::CDExpManager()
    : CDExpService("CDExpManager"), m_pCore(std::make_shared<Core>(GetChannel())) {}

CDExpManager::~CDExpManager() {
    Core& core = *m_pCore;
    HANDLE thread = nullptr;
    DWORD threadId = 0;
    {
        std::lock_guard<std::mutex> lock(core.mutex);
        core.quit = true;
        if (core.busy)
            core.request = eCancelRequest;
        thread = core.thread.Get();
        threadId = core.threadId;
    }
    core.wake.notify_all();
    // Never on the worker itself (an observer releasing the service from its
    // callback): it could not end while we wait, and it ends by itself.
    // Otherwise bounded: an observer may be blocked on this very thread.
    if (thread && threadId != GetCurrentThreadId())
        WaitForSingleObject(thread, kDestroyWaitMs);
    // Whatever the worker posts from now on reaches nobody.
    Close();
}

bool CDExpManager::ParseDrive(const char* text, Drive& drive) {
    if (!text || !*text)
        return false;
    const std::string whole = text;
    // "\\?\" long-path prefixes carry a question mark of their own.
    const size_t body = whole.rfind("\\\\?\\", 0) == 0 ? 4 : 0;
    const size_t mark = whole.find('?', body);
    std::string folder = whole.substr(0, mark);
    unsigned long long capacity = kCdCapacity;
    unsigned long long speed = 0;
    if (mark != std::string::npos) {
        std::string options = whole.substr(mark + 1);
        std::transform(options.begin(), options.end(), options.begin(), [](char c) {
            return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        });
        bool sized = false;
        size_t from = 0;
        for (;;) {
            const size_t end = options.find('&', from);
            const std::string option = options.substr(from, end - from);
            unsigned long long value = 0;
            if (option == "cd" && !sized) {
                capacity = kCdCapacity;
                sized = true;
            } else if (option == "dvd" && !sized) {
                capacity = kDvdCapacity;
                sized = true;
            } else if (ParseCount(option, "size=", value) && !sized) {
                capacity = value;
                sized = true;
            } else if (ParseCount(option, "speed=", value) && speed == 0) {
                speed = value;
            } else {
                return false;
            }
            if (end == std::string::npos)
                break;
            from = end + 1;
        }
    }
    if (folder.find_first_of("*?\"<>|", body) != std::string::npos)
        return false;
    TrimSeparators(folder);
    if (folder.size() <= body)
        return false;
    drive.text = whole;
    drive.folder = folder;
    drive.capacity = capacity;
    drive.speed = speed;
    return true;
}

bool CDExpManager::IsValid() const {
    const auto drive = m_pCore->SelectedDrive();
    return drive && IsFolder(drive->folder);
}

CD::EError CDExpManager::SetDrive(const char* text) {
    Drive drive;
    const bool parsed = ParseDrive(text, drive);
    Core& core = *m_pCore;
    std::lock_guard<std::mutex> lock(core.mutex);
    // A job works on the drive it was accepted with; changing the selection
    // under it would make the events describe a drive the host no longer has.
    if (core.busy)
        return CD::eDriveBusy;
    if (!text || !*text) {
        core.drive.reset();
        return CD::eNoDrive;
    }
    if (!parsed)
        return CD::eInvalidDrive;
    core.drive = drive;
    return CD::eOK;
}

CD::EError CDExpManager::GetDrive(CString& text) {
    const auto drive = m_pCore->SelectedDrive();
    if (!drive) {
        text.Empty();
        return CD::eNoDrive;
    }
    text = drive->text.c_str();
    return CD::eOK;
}

CD::EError CDExpManager::GetDriveAvailSpace(unsigned long long& space) {
    unsigned long long free = 0;
    const CD::EError result = FreeBytes(m_pCore->SelectedDrive(), free);
    if (result == CD::eOK)
        space = free;
    return result;
}

CD::EError CDExpManager::ValidateDrive() {
    return CheckFolder(m_pCore->SelectedDrive());
}

void CDExpManager::StartGetDriveAvailSpace() {
    Core::Job job;
    job.operation = eSpaceQuery;
    if (!m_pCore->Accept(std::move(job)))
        m_pCore->PostValue(3, FreeKiB(m_pCore->SelectedDrive()));
}

void CDExpManager::StartValidateDrive() {
    Core::Job job;
    job.operation = eValidation;
    if (!m_pCore->Accept(std::move(job)))
        m_pCore->PostValue(2, CD::eDriveBusy);
}

void CDExpManager::StartBurn(const char* source, bool flag) {
    Core::Job job;
    job.operation = eBurn;
    job.source = source ? source : "";
    job.flag = flag;
    if (!m_pCore->Accept(std::move(job)))
        m_pCore->PostRecord(5, std::make_unique<CDResult>(eBurn, CD::eDriveBusy));
}

void CDExpManager::StartErase(bool flag) {
    Core::Job job;
    job.operation = eErase;
    job.flag = flag;
    if (!m_pCore->Accept(std::move(job)))
        m_pCore->PostRecord(5, std::make_unique<CDResult>(eErase, CD::eDriveBusy));
}

void CDExpManager::Cancel() {
    Core& core = *m_pCore;
    std::lock_guard<std::mutex> lock(core.mutex);
    if (core.busy)
        core.request = eCancelRequest;
}

void CDExpManager::Stop() {
    Core& core = *m_pCore;
    std::lock_guard<std::mutex> lock(core.mutex);
    int none = eNone;
    if (core.busy)
        core.request.compare_exchange_strong(none, eStopRequest);
}

void CDExpManager::Notify(unsigned int eventId, void* data) {
    m_pCore->Notify(eventId, data);
}

void CDExpManager::Run() {
    m_pCore->Run();
}

bool CDExpManager::Core::Accept(Job job) {
    std::lock_guard<std::mutex> lock(mutex);
    if (busy)
        return false;
    // One worker for the manager's life, started by the first job: a job
    // accepted from inside an event callback (on the worker itself) simply
    // waits for the worker's next turn.
    if (!thread) {
        // The worker keeps the module that holds its code loaded until it
        // has left it: it may outlive the manager, and the host may unload
        // the library right after releasing the service.
        auto start = std::make_unique<Start>(Start{shared_from_this(), nullptr});
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<LPCSTR>(&Core::ThreadProc), &start->module);
        const HMODULE module = start->module;
        DWORD id = 0;
        HANDLE created = CreateThread(nullptr, 0, ThreadProc, start.get(), 0, &id);
        if (!created) {
            if (module)
                FreeLibrary(module);
            return false;
        }
        start.release();  // the worker's now
        thread.Reset(created);
        threadId = id;
    }
    job.drive = drive;
    busy = true;
    request = eNone;
    pending = std::move(job);
    wake.notify_all();
    return true;
}

DWORD WINAPI CDExpManager::Core::ThreadProc(LPVOID parameter) {
    HMODULE module = nullptr;
    {
        std::unique_ptr<Start> start(static_cast<Start*>(parameter));
        module = start->module;
        const std::shared_ptr<Core> core = std::move(start->core);
        start.reset();
        core->Run();
    }  // the last reference to the core may go here
    if (module)
        FreeLibraryAndExitThread(module, 0);
    return 0;
}

void CDExpManager::Core::Run() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [this] { return pending.has_value() || quit; });
            // An accepted job runs even when the manager is going away (then
            // cancelled), so that every 1 is followed by its 6.
            if (!pending)
                return;
            job = std::move(*pending);
            pending.reset();
        }
        try {
            Execute(job);
        } catch (...) {
            // An observer's or an allocation's exception must not end the
            // process nor leave the manager busy for ever.
            EndBusy();
        }
    }
}

void CDExpManager::Core::Execute(const Job& job) {
    Notify(1, nullptr);
    switch (job.operation) {
        case eBurn:
        case eErase: {
            CD::EError result;
            try {
                result = job.operation == eBurn ? Burn(job) : Erase(job);
            } catch (const std::bad_alloc&) {
                result = CD::eWriteFailed;
            }
            EndBusy();
            PostRecord(5, std::make_unique<CDResult>(job.operation, result));
            break;
        }
        case eSpaceQuery: {
            const unsigned long long free = FreeKiB(job.drive);
            EndBusy();
            PostValue(3, free);
            break;
        }
        case eValidation: {
            const CD::EError result = CheckFolder(job.drive);
            EndBusy();
            PostValue(2, result);
            break;
        }
    }
    PostValue(6, job.operation);
}

CD::EError CDExpManager::Core::Burn(const Job& job) {
    const CD::EError driveState = CheckFolder(job.drive);
    if (driveState != CD::eOK)
        return driveState;
    if (job.source.empty())
        return CD::eSourceNotFound;
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!GetFileAttributesExA(job.source.c_str(), GetFileExInfoStandard, &info))
        return CD::eSourceNotFound;

    const std::string source = FullPath(job.source);
    const std::string disc = FullPath(job.drive->folder);
    if (IsWithin(source, disc) || IsWithin(disc, source))
        return CD::eNotSupported;

    // What to copy, relative to sourceRoot; the disc gets the same layout.
    std::string sourceRoot;
    std::vector<Entry> entries;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        sourceRoot = source;
        if (!ListTree(source, "", entries))
            return CD::eSourceNotFound;
    } else {
        const size_t slash = source.find_last_of("\\/");
        if (slash == std::string::npos)
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

    const unsigned long long total = FileBytes(entries);
    unsigned long long free = 0;
    const CD::EError spaceState = FreeBytes(job.drive, free);
    if (spaceState != CD::eOK)
        return spaceState;
    if (total > free)
        return CD::eNoSpace;

    const JobContext context{*this, request, job.drive->speed};
    WrittenSet written;
    CD::EError result = CD::eOK;
    {
        ProgressReporter progress(*this, CD::eProgressBurn, total);
        std::vector<char> buffer(static_cast<size_t>(progress.Step()));
        for (const Entry& e : entries) {
            result = context.Interruption();
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
            result = CopyOne(context, Join(sourceRoot, e.relative), target, buffer, progress);
            if (result != CD::eOK)
                break;
            written.AddFile(target);
        }
    }
    if (result == CD::eOK && job.flag) {
        ProgressReporter progress(*this, CD::eProgressVerify, total);
        std::vector<char> first(static_cast<size_t>(progress.Step()));
        std::vector<char> second(first.size());
        for (const Entry& e : entries) {
            if (e.folder)
                continue;
            result = CompareOne(context, Join(sourceRoot, e.relative), Join(disc, e.relative),
                                first, second, progress);
            if (result != CD::eOK)
                break;
        }
    }
    if (result == CD::eCancelled || result == CD::eStopped)
        PostValue(7, CDExpManager::eBurn);
    if (result != CD::eOK && result != CD::eStopped)
        written.Remove();
    return result;
}

CD::EError CDExpManager::Core::Erase(const Job& job) {
    const CD::EError driveState = CheckFolder(job.drive);
    if (driveState != CD::eOK)
        return driveState;
    const std::string disc = job.drive->folder;
    std::vector<Entry> entries;
    if (!ListTree(disc, "", entries))
        return CD::eWriteFailed;

    std::vector<const Entry*> files;
    std::vector<const Entry*> folders;
    for (const Entry& e : entries)
        (e.folder ? folders : files).push_back(&e);

    const JobContext context{*this, request};
    std::optional<ProgressReporter> progress;
    if (job.flag)
        progress.emplace(*this, CD::eProgressErase, FileBytes(entries));
    CD::EError result = CD::eOK;
    for (size_t i = 0; i < files.size() && result == CD::eOK; ++i) {
        result = context.Interruption();
        if (result != CD::eOK)
            break;
        const std::string path = Join(disc, files[i]->relative);
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!DeleteFileA(path.c_str())) {
            result = CD::eWriteFailed;
            break;
        }
        if (progress)
            progress->Advance(files[i]->size, i + 1 < files.size() ? files[i + 1]->size : 0);
    }
    // Innermost folders first. A link is removed itself, never its target.
    for (auto it = folders.rbegin(); it != folders.rend() && result == CD::eOK; ++it) {
        const std::string path = Join(disc, (*it)->relative);
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_DIRECTORY);
        if (!RemoveDirectoryA(path.c_str()))
            result = CD::eWriteFailed;
    }
    if (result == CD::eCancelled || result == CD::eStopped)
        PostValue(7, CDExpManager::eErase);
    return result;
}
