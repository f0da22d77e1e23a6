// Imapi2Worker: runs one long IMAPI2 call (IDiscFormat2Data::Write,
// IDiscFormat2Erase::EraseMedia) on a thread of its own in the
// multithreaded apartment, while the job's thread waits for it and handles
// what the call reports. IMAPI2 may raise Update on threads of its own; a
// job's progress events and the host's Cancel belong to the job's thread,
// and a Cancel must reach the drive even while no Update comes.
//
// The calling thread must be in the multithreaded apartment (objects made
// there may be used from any of its threads). On a thread in a
// single-threaded apartment the call runs inline instead: IMAPI2 then raises
// Update on that thread, and the handler ticks from there (Inline()).
#pragma once

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <mutex>

class Imapi2Worker {
  public:
    explicit Imapi2Worker(bool ownThread) : m_ownThread(ownThread) {}
    Imapi2Worker(const Imapi2Worker&) = delete;
    Imapi2Worker& operator=(const Imapi2Worker&) = delete;

    // Runs call and returns its result. Until it returns, tick runs on this
    // thread after each Wake and at least every kTickMs; once more at the end.
    HRESULT Run(const std::function<HRESULT()>& call, const std::function<void()>& tick);
    // Something was reported: tick soon. Any thread.
    void Wake();
    // True when the call runs on the calling thread (see above).
    bool Inline() const { return !m_ownThread; }

    static constexpr unsigned kTickMs = 50;

  private:
    bool m_ownThread;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_woken = false;
    bool m_done = false;
};
