#include "librarylog.h"

#include <atomic>
#include <cstdio>
#include <string>

#include <ace/Init_ACE.h>
#include <ace/Log_Record.h>

#include "sfileio.h"

namespace {
std::atomic<bool> g_bStarted{false};
}  // namespace

ACE_Log_Msg* LibraryLog::Instance() {
    // Function-local: made on the first record, on that record's thread, and
    // destroyed with the module. ACE's own first use is not thread-safe; the
    // once-flag makes every other thread wait until it is done.
    static LibraryLog sink;
    static std::once_flag started;
    std::call_once(started, [] {
        ACE::init();
        if (!ACE_Log_Msg::msg_backend()) {
            ACE_Log_Msg::msg_backend(&sink);
            // Both bits are process-wide: every thread's records come here.
            ACE_Log_Msg::instance()->set_flags(ACE_Log_Msg::CUSTOM);
            ACE_Log_Msg::instance()->clr_flags(ACE_Log_Msg::STDERR);
        }
        g_bStarted = true;
    });
    return ACE_Log_Msg::instance();
}

bool LibraryLog::IsStarted() {
    return g_bStarted;
}

LibraryLog::LibraryLog() = default;

LibraryLog::~LibraryLog() {
    // The module goes away with this object: ACE must not call into it.
    if (ACE_Log_Msg::msg_backend() == this)
        ACE_Log_Msg::msg_backend(nullptr);
}

int LibraryLog::open(const ACE_TCHAR*) {
    return 0;
}
int LibraryLog::reset() {
    return 0;
}
int LibraryLog::close() {
    return 0;
}

bool LibraryLog::OpenFile() {
    if (m_file)
        return true;
    // The log folder of the folder table; the table's set-up creates it.
    SFileIO folders;
    CString company = folders.GetNorvaneDir();
    if (company.IsEmpty())
        return false;
    const CString path = company + "\\CadraLogs\\VeskoLib.log";
    // Append-only access makes every WriteFile land at the current end of the
    // file, also when other processes append at the same time.
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    m_file.Reset(file);
    return true;
}

ssize_t LibraryLog::log(ACE_Log_Record& record) {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    const char* priority =
        ACE_Log_Record::priority_name(static_cast<ACE_Log_Priority>(record.type()));
    // The source that conditional_set named for this thread's record.
    ACE_Log_Msg* msg = ACE_Log_Msg::instance();
    char head[160];
    std::snprintf(head, sizeof head,
                  "%04u-%02u-%02u %02u:%02u:%02u.%03u pid=%lu tid=%lu %s %s(%d): ", now.wYear,
                  now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                  GetCurrentProcessId(), GetCurrentThreadId(), priority ? priority : "?",
                  msg->file() ? msg->file() : "?", msg->linenum());
    std::string line = head;
    line += record.msg_data();
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    line += "\r\n";
    OutputDebugStringA(("VeskoLib: " + line).c_str());

    std::lock_guard<std::mutex> lock(m_mutex);
    if (!OpenFile())
        return -1;
    // One append per record, so that lines of several processes never mix.
    DWORD written = 0;
    if (!WriteFile(m_file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr))
        return -1;
    return static_cast<ssize_t>(written);
}
