// Watches a disc export service: draws its progress as a console bar and
// lets the demo wait for a job's end.
#pragma once

#include <windows.h>

#include <observable.h>
#include <cdexpservice.h>
#include <vesko/raii.h>

#include <mutex>

namespace veskohost {

class DiscWatcher : public Observer {
  public:
    DiscWatcher();
    ~DiscWatcher() override;

    void OnEvent(Observable* source, unsigned int eventId, void* data) override;

    // Forgets earlier events; call before starting a job.
    void Reset();
    // Waits for the job's end event; false on time-out.
    bool WaitForEnd(DWORD timeoutMs);
    // The outcome of the last burn or erase (event 5), and the value that
    // arrived with the last query event (2 or 3).
    CD::EError LastResult() const;
    unsigned long LastValue() const;
    unsigned ProgressEvents() const;

  private:
    mutable std::mutex m_lock;
    vesko::UniqueHandle m_hEnded;
    CD::EError m_result = CD::eOK;
    unsigned long m_value = 0;
    unsigned m_progressEvents = 0;
    int m_lastPercent = -1;
};

}  // namespace veskohost
