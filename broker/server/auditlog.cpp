#include "auditlog.h"

#include <cstdio>

#include <ace/Log_Msg.h>
#include <ace/Log_Record.h>
#include <ace/Log_Priority.h>

namespace vesko::broker {

AuditLog::AuditLog() = default;

AuditLog::~AuditLog() {
    if (ACE_Log_Msg::msg_backend() == this) {
        ACE_Log_Msg::msg_backend(nullptr);
        ACE_LOG_MSG->clr_flags(ACE_Log_Msg::CUSTOM);
    }
}

bool AuditLog::Open(const std::wstring& folder) {
    m_path = folder + L"\\VeskoBroker.log";
    // Append-only access makes every WriteFile land at the current end of the
    // file, also when other brokers append at the same time. No delete
    // sharing: the log cannot be deleted or renamed while a broker runs.
    m_file.Reset(CreateFileW(m_path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (m_file.Get() == INVALID_HANDLE_VALUE)
        m_file.Release();
    if (!m_file)
        return false;
    ACE_Log_Msg::msg_backend(this);
    // CUSTOM and the cleared STDERR bit are process-wide: every thread's
    // records come here.
    ACE_LOG_MSG->open(ACE_TEXT("VeskoBroker"), ACE_Log_Msg::CUSTOM);
    return true;
}

void AuditLog::Done(const char* operation, const std::string& arguments,
                    const std::string& result) {
    Write(LM_NOTICE, std::string(operation) + " " + arguments + " -> " + result + " done");
}

void AuditLog::Refused(const char* operation, const std::string& arguments,
                       const std::string& result, const char* reason) {
    Write(LM_WARNING,
          std::string(operation) + " " + arguments + " -> " + result + " refused (" + reason + ")");
}

void AuditLog::Note(const std::string& text) {
    Write(LM_INFO, text);
}

void AuditLog::Write(int priority, const std::string& text) {
    ACE_Log_Msg* msg = ACE_Log_Msg::instance();
    msg->conditional_set(__FILE__, __LINE__, 0, ACE_Log_Msg::last_error_adapter());
    msg->log(static_cast<ACE_Log_Priority>(priority), ACE_TEXT("%s"), text.c_str());
}

int AuditLog::open(const ACE_TCHAR*) {
    return 0;
}
int AuditLog::reset() {
    return 0;
}
int AuditLog::close() {
    return 0;
}

ssize_t AuditLog::log(ACE_Log_Record& record) {
    if (!m_file)
        return -1;
    SYSTEMTIME now{};
    GetLocalTime(&now);
    const char* priority =
        ACE_Log_Record::priority_name(static_cast<ACE_Log_Priority>(record.type()));
    char head[96];
    std::snprintf(head, sizeof head, "%04u-%02u-%02u %02u:%02u:%02u.%03u pid=%lu %s ", now.wYear,
                  now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                  GetCurrentProcessId(), priority ? priority : "?");
    std::string line = head;
    line += record.msg_data();
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    line += "\r\n";
    // One append per record and no FlushFileBuffers: once WriteFile returns
    // the record is in the system's file cache, where every reader sees it and
    // where it survives the broker being killed; only a crash of the machine
    // could lose it. A flush per record would add a disk round trip to every
    // brokered call.
    DWORD written = 0;
    if (!WriteFile(m_file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr))
        return -1;
    return static_cast<ssize_t>(written);
}

}  // namespace vesko::broker
