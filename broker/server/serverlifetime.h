// Decides when the broker process ends: when its client has released every
// object and lock, or when the client process is gone, whichever comes first.
#pragma once

#include <windows.h>

#include <atomic>

#include <vesko/raii.h>

namespace vesko::broker {

class ServerLifetime {
  public:
    ServerLifetime();
    ServerLifetime(const ServerLifetime&) = delete;
    ServerLifetime& operator=(const ServerLifetime&) = delete;

    // Every live COM object and every IClassFactory::LockServer(TRUE) holds
    // one reference; the release that brings the count back to zero ends the
    // server.
    void AddRef();
    void Release();

    // Ends the server for a reason other than the last release (client gone,
    // start-up failure). The first reason given is the one reported.
    void RequestShutdown(const char* reason);

    // Whether a client ever held a reference.
    bool WasUsed() const { return m_used.load(); }

    // Signalled once the server should end.
    HANDLE ShutdownEvent() const { return m_shutdown.Get(); }
    const char* Reason() const { return m_reason.load(); }

  private:
    std::atomic<long> m_count{0};
    std::atomic<bool> m_used{false};
    std::atomic<const char*> m_reason{nullptr};
    UniqueHandle m_shutdown;
};

}  // namespace vesko::broker
