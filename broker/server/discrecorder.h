// The disc methods of the broker (ICDWrite): one virtual recorder
// (CDExpManager) per client, between ICDWrite::Initialize and Uninitialize.
//
// The recorder's events become the seven named events the library's relay
// waits on, and the data of each is kept as the record ICDWrite::GetEventData
// returns for its eventId (the latest one wins: an auto-reset event signalled
// twice before the relay wakes is relayed once, with the newest data):
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

#include <memory>
#include <mutex>
#include <string>

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

    // Creates (or opens) the seven named events with the low-integrity
    // descriptor, so that a host at low integrity may wait on them.
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

    // Ends any job (cancelled) and releases the recorder: the broker is ending.
    void Shutdown();

    void OnEvent(Observable* source, unsigned int eventId, void* data) override;

  private:
    // Keeps the record and signals its event.
    void Publish(unsigned int eventId, const CDEventRecord& record);
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
    UniqueHandle m_events[7];

    std::mutex m_callLock;  // one recorder call at a time
    std::unique_ptr<CDExpManager> m_manager;

    std::mutex m_recordLock;  // taken by the recorder's thread: never hold m_callLock inside
    CDEventRecord m_records[8] = {};
    bool m_busy = false;
};

}  // namespace vesko::broker
