// The broker's audit trail: one ACE log record per brokered call, appended to
// "VeskoBroker.log" in the log folder of the well-known folder table.
//
// The records go through ACE_Log_Msg like every other log record of the
// product; this class is the process-wide ACE back end that writes them. Each
// record is appended with a single WriteFile on a handle opened for appending
// only, so that brokers of several hosts can share the file line by line.
#pragma once

#include <windows.h>

#include <string>

#include <ace/Log_Msg_Backend.h>

#include <vesko/raii.h>

namespace vesko::broker {

class AuditLog : public ACE_Log_Msg_Backend {
  public:
    AuditLog();
    ~AuditLog() override;
    AuditLog(const AuditLog&) = delete;
    AuditLog& operator=(const AuditLog&) = delete;

    // Opens (creating when missing) <folder>\VeskoBroker.log and makes this
    // object ACE's back end for the process. False when the file cannot be
    // opened; records then go nowhere.
    bool Open(const std::wstring& folder);
    const std::wstring& Path() const { return m_path; }

    // One record: "<operation> <arguments> -> <result> done" or
    // "... refused (<reason>)".
    void Done(const char* operation, const std::string& arguments, const std::string& result);
    void Refused(const char* operation, const std::string& arguments, const std::string& result,
                 const char* reason);
    // A record about the broker itself (start, end).
    void Note(const std::string& text);

    // ACE_Log_Msg_Backend
    int open(const ACE_TCHAR* logger_key) override;
    int reset() override;
    int close() override;
    ssize_t log(ACE_Log_Record& record) override;

  private:
    void Write(int priority, const std::string& text);

    std::wstring m_path;
    UniqueHandle m_file;
};

}  // namespace vesko::broker
