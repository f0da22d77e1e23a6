// The disc methods of the broker (ICDWrite): one virtual recorder
// (CDExpManager) per client, between ICDWrite::Initialize and Uninitialize.
//
// The recorder's events become the seven named events the library's relay
// waits on, and the data of each is kept as the record ICDWrite::GetEventData
// returns for its eventId. They are published in the order the recorder
// posted them, one at a time: after eventId 2 to 7 the next event is
// signalled only once the relay has fetched that one (GetEventData is the
// acknowledgement) or kAckTimeoutMs have passed. eventId 1 has no record and
// needs no acknowledgement: it is index 0, which the relay serves before any
// index signalled after it. Progress (4) of one kind not yet fetched merges
// into the newest, so a slow relay sees fewer progress events, never a
// reordering.
// The names are the fixed ones until ICDWrite2::GetEventNames hands a client
// a set of this process's own. Records:
//   2, 3, 6, 7  first = the event's value
//   4           first = progress kind, second = KiB of the whole job,
//               third = KiB done (the relay builds CDProgress(first, third,
//               second))
//   5           first = operation, second = CD::EError
// The disc folder is the one place the recorder writes and erases, so it must
// lie below an allowed folder, as must the source of a burn.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <vesko/raii.h>

#include "observable.h"
#include "veskobroker.h"

class CDExpManager;

namespace vesko::broker {

class BrokerContext;

class DiscRecorder : public Observer {
  public:
    // The events' names, index 0 to 6 = eventId 1 to 7.
    static const char* const kEventNames[7];

    explicit DiscRecorder(BrokerContext& context);
    ~DiscRecorder() override;
    DiscRecorder(const DiscRecorder&) = delete;
    DiscRecorder& operator=(const DiscRecorder&) = delete;

    // How long a signalled event waits for its fetch before the next one is
    // signalled anyway: a stalled client must not hold the events for ever.
    static constexpr ULONGLONG kAckTimeoutMs = 5000;

    // Creates (or opens) the seven named events with the low-integrity
    // descriptor, so that a host at low integrity may wait on them, and
    // starts publishing.
    bool CreateEvents();

    HRESULT Initialize(BSTR identity);
    HRESULT Uninitialize(BSTR identity);
    HRESULT Cancel(BSTR identity);
    HRESULT Stop(BSTR identity);
    HRESULT ValidateDrive(BSTR identity, DWORD* error);
    HRESULT StartBurn(BSTR identity, BSTR source, DWORD flag);
    HRESULT SetDrive(BSTR identity, BSTR drive, DWORD* error);
    HRESULT GetDriveAvailSpace(BSTR identity, ULONGLONG* space, DWORD* error);
    HRESULT IsBusy(BSTR identity, DWORD* busy);
    HRESULT GetEventData(BSTR identity, DWORD eventId, CDEventRecord* record);
    HRESULT IsValid(BSTR identity, DWORD* valid);
    HRESULT GetDrive(BSTR identity, BSTR* drive, DWORD* error);
    HRESULT StartGetDriveAvailSpace(BSTR identity);
    HRESULT StartValidateDrive(BSTR identity);
    HRESULT StartErase(BSTR identity, DWORD flag);
    HRESULT GetEventNames(BSTR identity, BSTR* names);

    // Ends any job (cancelled) and releases the recorder: the broker is ending.
    void Shutdown();

    // Borrows the recorder's records: copies what the relay needs.
    void OnEvent(Observable* source, unsigned int eventId, void* data) override;

  private:
    struct Pending {
        unsigned int eventId;
        CDEventRecord record;
    };
    // Queues the event for publishing in the recorder's order.
    void Publish(unsigned int eventId, const CDEventRecord& record);
    // Signals queued events while none waits for its fetch; m_recordLock held.
    void PumpLocked();
    // Makes the seven events under the given names; m_recordLock held.
    bool OpenEventsLocked(const std::string (&names)[7]);
    // Forgets what the leaving client did not fetch; m_recordLock held.
    void ClearLocked();
    void PublisherLoop();
    // The disc folder of the current drive selection is still allowed; a
    // refusal reason otherwise.
    const char* CheckDiscFolder(const std::string& driveText) const;
    void Teardown();
    // Runs op(recorder, outcome) on the client's recorder, one call at a
    // time, after the identity check; refused (E_UNEXPECTED) while no client
    // holds the recorder. A successful op is audited as done with its outcome
    // (the HRESULT unless op writes another); a failing op audits itself.
    template <typename Op>
    HRESULT WithRecorder(BSTR identity, const char* method, const std::string& arguments, Op&& op);

    BrokerContext& m_context;

    std::mutex m_callLock;  // one recorder call at a time
    std::unique_ptr<CDExpManager> m_manager;

    std::mutex m_recordLock;  // taken by the recorder's thread: never hold m_callLock inside
    CDEventRecord m_records[8] = {};
    bool m_busy = false;
    UniqueHandle m_events[7];        // the set the relay waits on now
    std::string m_names[7];          // their names
    unsigned long m_generation = 0;  // sets handed out so far
    std::deque<Pending> m_queue;     // posted, not yet signalled
    unsigned int m_outstanding = 0;  // signalled eventId not yet fetched (0: none)
    ULONGLONG m_outstandingSince = 0;
    bool m_quit = false;
    std::condition_variable m_publish;  // the publisher's wake-up: a deadline to watch or quit
    std::thread m_publisher;
};

}  // namespace vesko::broker
