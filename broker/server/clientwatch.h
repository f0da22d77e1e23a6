// Watches the process the broker serves, so that the broker ends with it.
//
// Wine keeps a reference to the broker in the client's Global Interface Table
// that is never given back, and a client that dies leaves its references
// behind: the last Release may never come. Under Wine the local server is
// started by its client, so the client is the parent process. On Windows,
// where the DCOM launcher starts the server, the client is known only from
// the first incoming call (the local RPC caller's process id). Both are
// watched, and the end of either ends the broker.
#pragma once

#include <windows.h>

#include <mutex>
#include <thread>

#include <vesko/raii.h>

namespace vesko::broker {

class ServerLifetime;

class ClientWatch {
  public:
    explicit ClientWatch(ServerLifetime& lifetime);
    ~ClientWatch();
    ClientWatch(const ClientWatch&) = delete;
    ClientWatch& operator=(const ClientWatch&) = delete;

    // Starts watching the parent process. False when there is none that is
    // older than this process (it has already gone and its id may be reused).
    bool WatchParent();
    // Also watches the process that made the current incoming call. Called
    // inside the first call that reaches the broker.
    void WatchCaller();

    // The process watched first (the parent under Wine); 0 when none.
    DWORD ClientProcessId() const;

  private:
    bool Watch(DWORD processId);
    void Run();

    ServerLifetime& m_lifetime;
    mutable std::mutex m_lock;
    DWORD m_ids[2] = {};
    UniqueHandle m_processes[2];
    UniqueHandle m_changed;  // wakes the watcher when a process is added
    UniqueHandle m_stop;
    std::thread m_thread;
};

}  // namespace vesko::broker
