// LibraryLog: where the library's ACE log records go. A DLL's stderr reaches
// no host, so the records are appended to "VeskoLib.log" in the log folder of
// the well-known folder table (beside the broker's "VeskoBroker.log") and sent
// to the debugger with OutputDebugStringA.
//
// ACE is started on the first record, not when the library is loaded:
// ACE::init starts Winsock (WSAStartup), which may not run under the loader
// lock that DllMain holds, and a host that never sees a record never pays for
// it. ACE stays started until the process ends: its stop (WSACleanup) is just
// as forbidden in DllMain, the only place the library learns of its unload,
// and at process exit the system reclaims everything anyway.
#pragma once

#include <windows.h>

#include <mutex>

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Backend.h>

#include <vesko/raii.h>

class LibraryLog : public ACE_Log_Msg_Backend {
  public:
    // ACE_Log_Msg::instance() of the calling thread, once ACE has been
    // started for the process. The first call also makes this sink ACE's back
    // end, unless the process installed one of its own before (the broker's
    // audit log; one installed later replaces this sink). Any thread.
    static ACE_Log_Msg* Instance();
    // Whether Instance() has started ACE in this process.
    static bool IsStarted();

    ~LibraryLog() override;
    LibraryLog(const LibraryLog&) = delete;
    LibraryLog& operator=(const LibraryLog&) = delete;

    // ACE_Log_Msg_Backend
    int open(const ACE_TCHAR* logger_key) override;
    int reset() override;
    int close() override;
    ssize_t log(ACE_Log_Record& record) override;

  private:
    LibraryLog();
    // Opens the log file once its folder exists; false until then.
    bool OpenFile();

    std::mutex m_mutex;  // guards m_file
    vesko::UniqueHandle m_file;
};
