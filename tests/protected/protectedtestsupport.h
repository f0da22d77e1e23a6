// What the protected-mode tests share: the library's security attributes
// (whose identity the broker checks), the mode a new manager finds, helpers
// to watch broker processes, and a log of disc events.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <cdexpservice.h>
#include <observable.h>

#include "veskosecurityattributes.h"

namespace vesko::test {

// Initialised security attributes for the whole test program.
VeskoSecurityAttributes& Attrs();

// What the stand-in ieframe.dll answers for managers built from now on.
void ChooseMode(bool bProtected);

// The HRESULT the Global Interface Table gives when asked for riid under a
// cookie that holds nothing (what a service without a broker must report).
HRESULT LookupFailureFor(REFIID riid);

// Process ids of every running veskobroker.exe; the one that is not in
// before, or 0 when none or several are.
std::vector<DWORD> BrokerProcesses();
DWORD NewBroker(const std::vector<DWORD>& before);
// Terminates a process and waits until it is gone.
bool Kill(DWORD processId);

// The open handle count of a process, read from the system's handle table
// (Wine answers GetProcessHandleCount with 0), or 0 when it cannot be read.
DWORD HandleCountOf(DWORD processId);

// What a host sees without a usable broker: no file I/O or dialog service,
// and a disc service that is made all the same and reports the failure.
void ExpectNoBrokerServices(const void* fileIO, const void* fileDlg, CDExpService* cd);

// Writes down the events a disc export service posts, each as "id:data":
// progress as "kind,done,total" and a result as "first,second" (records it
// only borrows), any other data as the value it carries.
class DiscEventLog : public Observer {
  public:
    void OnEvent(Observable*, unsigned int eventId, void* data) override;
    // The events so far, once at least n have arrived (or after 5 s).
    std::string Wait(size_t n);
    // Once the job-finished event (6) has arrived (or after 30 s), each run of
    // one event id as its last event: the relay may merge repeated progress.
    std::string WaitFinished();

  private:
    std::string Text(bool runs) const;
    std::mutex m_lock;
    std::condition_variable m_arrived;
    std::vector<std::string> m_events;
};

}  // namespace vesko::test
