#include "cdexpmanager.h"

#include "cdprogress.h"
#include "cdresult.h"
#include "discpath.h"
#include "imapi2recorder.h"
#include "recorder.h"
#include "recorderjob.h"

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

// Real media capacities, in 2048-byte sectors.
constexpr unsigned long long kSector = 2048;
struct Medium {
    const char* name;
    unsigned long long sectors;
    bool writeOnce;
};
constexpr Medium kMedia[] = {
    {"cd", 360000, false},      {"cd-r", 360000, true},      {"cd-rw", 360000, false},
    {"dvd", 2295104, false},    {"dvd-r", 2295104, true},    {"dvd-rw", 2295104, false},
    {"dvd-dl", 4171712, false}, {"dvd-dl-r", 4171712, true}, {"bd", 12219392, false},
    {"bd-r", 12219392, true},   {"bd-re", 12219392, false},
};

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

bool EndsWithNoCase(const std::string& text, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return text.size() > n && _stricmp(text.c_str() + text.size() - n, suffix) == 0;
}

// The drive's state for a synchronous question or a job.
CD::EError CheckDrive(const std::optional<CDExpManager::Drive>& drive) {
    if (!drive)
        return CD::eNoDrive;
    return Recorder::Create(*drive)->Validate();
}

CD::EError FreeBytes(const std::optional<CDExpManager::Drive>& drive, unsigned long long& free) {
    if (!drive)
        return CD::eNoDrive;
    const auto recorder = Recorder::Create(*drive);
    const CD::EError state = recorder->Validate();
    return state != CD::eOK ? state : recorder->FreeBytes(free);
}

// Whole KiB of free space for event 3: 0 without a usable drive.
unsigned long long FreeKiB(const std::optional<CDExpManager::Drive>& drive) {
    unsigned long long free = 0;
    if (FreeBytes(drive, free) != CD::eOK)
        return 0;
    return std::min<unsigned long long>(free / 1024, 0xFFFFFFFFull);
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
    unsigned long long capacity = kMedia[0].sectors * kSector;
    bool writeOnce = false;
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
            const auto medium = std::find_if(std::begin(kMedia), std::end(kMedia),
                                             [&](const Medium& m) { return option == m.name; });
            unsigned long long value = 0;
            if (medium != std::end(kMedia) && !sized) {
                capacity = medium->sectors * kSector;
                writeOnce = medium->writeOnce;
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
    // A name ending in ".iso" is an image file; with a trailing separator it
    // is a folder of that name.
    const bool image = EndsWithNoCase(folder, ".iso");
    discpath::TrimSeparators(folder);
    if (folder.size() <= body)
        return false;
    drive.text = whole;
    drive.folder = folder;
    drive.image = image;
    drive.capacity = capacity;
    drive.writeOnce = writeOnce;
    drive.speed = speed;
    return true;
}

bool CDExpManager::IsRecorderDrive(const char* text) {
    Drive drive;
    return ParseDrive(text, drive) && !drive.image && Imapi2Recorder::ForDrive(drive);
}

bool CDExpManager::IsValid() const {
    return CheckDrive(m_pCore->SelectedDrive()) == CD::eOK;
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
    return CheckDrive(m_pCore->SelectedDrive());
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
            const CD::EError result = CheckDrive(job.drive);
            EndBusy();
            PostValue(2, result);
            break;
        }
    }
    PostValue(6, job.operation);
}

CD::EError CDExpManager::Core::Burn(const Job& job) {
    if (!job.drive)
        return CD::eNoDrive;
    const auto recorder = Recorder::Create(*job.drive);
    const CD::EError driveState = recorder->Validate();
    if (driveState != CD::eOK)
        return driveState;
    if (job.source.empty() || GetFileAttributesA(job.source.c_str()) == INVALID_FILE_ATTRIBUTES)
        return CD::eSourceNotFound;
    RecorderJob context(*this, request, job.drive->speed);
    const CD::EError result = recorder->Burn(discpath::FullPath(job.source), job.flag, context);
    if (result == CD::eCancelled || result == CD::eStopped)
        PostValue(7, CDExpManager::eBurn);
    return result;
}

CD::EError CDExpManager::Core::Erase(const Job& job) {
    if (!job.drive)
        return CD::eNoDrive;
    const auto recorder = Recorder::Create(*job.drive);
    const CD::EError driveState = recorder->Validate();
    if (driveState != CD::eOK)
        return driveState;
    RecorderJob context(*this, request, 0);
    const CD::EError result = recorder->Erase(job.flag, context);
    if (result == CD::eCancelled || result == CD::eStopped)
        PostValue(7, CDExpManager::eErase);
    return result;
}
