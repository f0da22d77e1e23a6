#include "discrecorder.h"

#include <sddl.h>

#include <chrono>

#include "brokercontext.h"
#include "cdexpmanager.h"
#include "cdprogress.h"
#include "cdresult.h"
#include "textconvert.h"

namespace vesko::broker {

namespace {

// What an operation that no client has opened gets: the recorder exists only
// between ICDWrite::Initialize and ICDWrite::Uninitialize.
constexpr HRESULT kNotInitialized = E_UNEXPECTED;
// What a second client gets while one holds the recorder.
const HRESULT kInUse = HRESULT_FROM_WIN32(ERROR_BUSY);

std::string ErrorText(DWORD error) {
    return "error=" + std::to_string(error);
}
std::string HrText(HRESULT hr) {
    return "hr=" + Hex(static_cast<unsigned long>(hr));
}

}  // namespace

const char* const DiscRecorder::kEventNames[7] = {
    "C59DA682-1DA9-4d58-AA40-751BFCBDF8E1", "D6A1C2BF-CF8A-4796-B8B8-2DF8D1CF03DD",
    "0B6B84E3-785B-4731-9C75-A5743CACCC09", "630A0305-0041-4dc5-9719-AA9797769F6B",
    "99F98F35-B401-4d6d-A40C-360C9E599C24", "6232A8C7-9548-447c-B261-8EEBD014531A",
    "F27CEF48-2DC9-4b08-8A09-ADC22A18B24B"};

DiscRecorder::DiscRecorder(BrokerContext& context) : m_context(context) {}

DiscRecorder::~DiscRecorder() {
    Shutdown();
    {
        std::lock_guard<std::mutex> hold(m_recordLock);
        m_quit = true;
    }
    m_publish.notify_all();
    if (m_publisher.joinable())
        m_publisher.join();
}

bool DiscRecorder::OpenEventsLocked(const std::string (&names)[7]) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;FA;;;WD)S:(ML;;NWNR;;;LW)",
                                                         SDDL_REVISION_1, &descriptor, nullptr);
    UniqueLocal owner(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    UniqueHandle events[7];
    for (int i = 0; i < 7; ++i) {
        events[i].Reset(CreateEventA(&attributes, FALSE, FALSE, names[i].c_str()));
        if (!events[i])
            return false;
    }
    for (int i = 0; i < 7; ++i) {
        m_events[i] = std::move(events[i]);
        m_names[i] = names[i];
    }
    return true;
}

bool DiscRecorder::CreateEvents() {
    std::string fixed[7];
    for (int i = 0; i < 7; ++i)
        fixed[i] = kEventNames[i];
    bool all = false;
    {
        std::lock_guard<std::mutex> hold(m_recordLock);
        all = OpenEventsLocked(fixed);
    }
    if (all && !m_publisher.joinable())
        m_publisher = std::thread([this] { PublisherLoop(); });
    return all;
}

void DiscRecorder::PumpLocked() {
    while (m_outstanding == 0 && !m_queue.empty()) {
        const Pending next = m_queue.front();
        m_queue.pop_front();
        // The record is in place before the signal: the relay fetches it on waking.
        m_records[next.eventId] = next.record;
        SetEvent(m_events[next.eventId - 1].Get());
        // eventId 1 has nothing to fetch; as index 0 it is served before
        // whatever is signalled next, so that may follow at once.
        if (next.eventId != 1) {
            m_outstanding = next.eventId;
            m_outstandingSince = GetTickCount64();
        }
    }
    if (m_outstanding)
        m_publish.notify_all();  // a new deadline to watch
}

void DiscRecorder::PublisherLoop() {
    std::unique_lock<std::mutex> hold(m_recordLock);
    while (!m_quit) {
        if (!m_outstanding) {
            m_publish.wait(hold);
            continue;
        }
        const ULONGLONG waited = GetTickCount64() - m_outstandingSince;
        if (waited < kAckTimeoutMs) {
            m_publish.wait_for(hold, std::chrono::milliseconds(kAckTimeoutMs - waited));
            continue;
        }
        // No fetch came: the client stalled or its relay is gone. Go on, so
        // that a later client of this broker is not held up by it.
        m_outstanding = 0;
        PumpLocked();
    }
}

void DiscRecorder::ClearLocked() {
    m_queue.clear();
    m_outstanding = 0;
    for (UniqueHandle& event : m_events)
        if (event)
            ResetEvent(event.Get());
}

void DiscRecorder::Publish(unsigned int eventId, const CDEventRecord& record) {
    if (eventId < 1 || eventId > 7)
        return;
    std::lock_guard<std::mutex> hold(m_recordLock);
    if (eventId == 1)
        m_busy = true;
    if (eventId == 6)
        m_busy = false;
    if (eventId == 4) {
        // Progress of the same kind the relay has not seen yet is replaced by
        // the newer one: the queued one, or the signalled one not fetched yet.
        // A new kind (burn, then verify) always arrives as its own event.
        if (!m_queue.empty() && m_queue.back().eventId == 4 &&
            m_queue.back().record.first == record.first) {
            m_queue.back().record = record;
            return;
        }
        if (m_queue.empty() && m_outstanding == 4 && m_records[4].first == record.first) {
            m_records[4] = record;
            return;
        }
    }
    m_queue.push_back({eventId, record});
    PumpLocked();
}

void DiscRecorder::OnEvent(Observable*, unsigned int eventId, void* data) {
    CDEventRecord record{};
    const auto bits = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(data));
    switch (eventId) {
        case 1:
            break;
        case 2:
        case 3:
        case 6:
        case 7:
            record.first = bits;
            break;
        case 4:
            // Borrowed for this call: the recorder destroys it afterwards.
            if (const auto* progress = static_cast<const CDProgress*>(data)) {
                record.first = progress->GetKind();
                record.second = progress->GetValue2();
                record.third = progress->GetValue1();
            }
            break;
        case 5:
            if (const auto* result = static_cast<const CDResult*>(data)) {
                record.first = result->GetFirst();
                record.second = result->GetSecond();
            }
            break;
        default:
            return;
    }
    Publish(eventId, record);
}

const char* DiscRecorder::CheckDiscFolder(const std::string& driveText) const {
    if (driveText.empty())
        return nullptr;  // clears the selection: nothing to guard
    CDExpManager::Drive drive;
    if (!CDExpManager::ParseDrive(driveText.c_str(), drive))
        return nullptr;  // the recorder refuses it
    // A burner behind a drive letter: the disc in it is no folder of the
    // host's, and IMAPI2 (not a path) reaches it.
    if (CDExpManager::IsRecorderDrive(driveText.c_str()))
        return nullptr;
    const PathDecision decision =
        m_context.Paths().Check(FromAnsi(drive.folder.c_str()), PathUse::Modify);
    return decision.allowed ? nullptr : decision.reason;
}

HRESULT DiscRecorder::Initialize(BSTR identity) {
    if (!m_context.CheckIdentity(identity, "Initialize", ""))
        return E_ACCESSDENIED;
    std::lock_guard<std::mutex> hold(m_callLock);
    if (m_manager) {
        m_context.Audit().Refused("Initialize", "", HrText(kInUse),
                                  "another client holds the recorder");
        return kInUse;
    }
    {
        std::lock_guard<std::mutex> records(m_recordLock);
        for (CDEventRecord& record : m_records)
            record = CDEventRecord{};
        m_busy = false;
        ClearLocked();
    }
    m_manager = std::make_unique<CDExpManager>();
    m_manager->AddObserver(this);
    m_context.Audit().Done("Initialize", "", HrText(S_OK));
    return S_OK;
}

void DiscRecorder::Teardown() {
    // Destroying the recorder cancels a running job and waits for it; its
    // last events still reach OnEvent, which takes only m_recordLock.
    m_manager.reset();
    // Signals and events nobody fetched belong to the client that is leaving.
    std::lock_guard<std::mutex> records(m_recordLock);
    ClearLocked();
}

HRESULT DiscRecorder::Uninitialize(BSTR identity) {
    if (!m_context.CheckIdentity(identity, "Uninitialize", ""))
        return E_ACCESSDENIED;
    std::lock_guard<std::mutex> hold(m_callLock);
    const HRESULT hr = m_manager ? S_OK : S_FALSE;
    Teardown();
    m_context.Audit().Done("Uninitialize", "", HrText(hr));
    return hr;
}

void DiscRecorder::Shutdown() {
    std::lock_guard<std::mutex> hold(m_callLock);
    Teardown();
}

template <typename Op>
HRESULT DiscRecorder::WithRecorder(BSTR identity, const char* method, const std::string& arguments,
                                   Op&& op) {
    if (!m_context.CheckIdentity(identity, method, arguments))
        return E_ACCESSDENIED;
    std::lock_guard<std::mutex> hold(m_callLock);
    if (!m_manager) {
        m_context.Audit().Refused(method, arguments, HrText(kNotInitialized),
                                  "recorder not initialised");
        return kNotInitialized;
    }
    std::string outcome = HrText(S_OK);
    const HRESULT hr = op(*m_manager, outcome);
    if (SUCCEEDED(hr))
        m_context.Audit().Done(method, arguments, outcome);
    return hr;
}

HRESULT DiscRecorder::Cancel(BSTR identity) {
    return WithRecorder(identity, "Cancel", "", [](CDExpManager& recorder, std::string&) {
        recorder.Cancel();
        return S_OK;
    });
}

HRESULT DiscRecorder::Stop(BSTR identity) {
    return WithRecorder(identity, "Stop", "", [](CDExpManager& recorder, std::string&) {
        recorder.Stop();
        return S_OK;
    });
}

HRESULT DiscRecorder::ValidateDrive(BSTR identity, DWORD* error) {
    if (!error)
        return E_POINTER;
    *error = 0;
    return WithRecorder(identity, "ValidateDrive", "",
                        [&](CDExpManager& recorder, std::string& outcome) {
                            *error = recorder.ValidateDrive();
                            outcome = ErrorText(*error);
                            return S_OK;
                        });
}

HRESULT DiscRecorder::SetDrive(BSTR identity, BSTR drive, DWORD* error) {
    if (!error)
        return E_POINTER;
    *error = 0;
    const std::string arguments = "drive=" + ForLog(drive);
    return WithRecorder(
        identity, "SetDrive", arguments, [&](CDExpManager& recorder, std::string& outcome) {
            CString text;
            const char* refusal = nullptr;
            if (HasEmbeddedNul(drive))
                refusal = "NUL character in the drive";
            else if (!ToAnsi(FromBstr(drive), text))
                refusal = "drive has no exact form in the ANSI code page";
            else
                refusal = CheckDiscFolder(text.GetString());
            if (refusal) {
                *error = CD::eBrokerFailure;
                m_context.Audit().Refused("SetDrive", arguments, HrText(E_ACCESSDENIED), refusal);
                return E_ACCESSDENIED;
            }
            *error = recorder.SetDrive(drive ? text.GetString() : nullptr);
            outcome = ErrorText(*error);
            return S_OK;
        });
}

HRESULT DiscRecorder::GetDrive(BSTR identity, BSTR* drive, DWORD* error) {
    if (!drive || !error)
        return E_POINTER;
    *drive = nullptr;
    *error = 0;
    return WithRecorder(identity, "GetDrive", "",
                        [&](CDExpManager& recorder, std::string& outcome) {
                            CString text;
                            *error = recorder.GetDrive(text);
                            *drive = ToBstr(text.GetString());
                            if (!*drive)
                                return E_OUTOFMEMORY;
                            outcome = ErrorText(*error) + " drive=" + ForLog(*drive);
                            return S_OK;
                        });
}

HRESULT DiscRecorder::GetDriveAvailSpace(BSTR identity, ULONGLONG* space, DWORD* error) {
    if (!space || !error)
        return E_POINTER;
    *error = 0;
    return WithRecorder(identity, "GetDriveAvailSpace", "",
                        [&](CDExpManager& recorder, std::string& outcome) {
                            unsigned long long value = *space;
                            *error = recorder.GetDriveAvailSpace(value);
                            *space = value;
                            outcome = ErrorText(*error) + " space=" + std::to_string(value);
                            return S_OK;
                        });
}

HRESULT DiscRecorder::IsValid(BSTR identity, DWORD* valid) {
    if (!valid)
        return E_POINTER;
    *valid = 0;
    return WithRecorder(identity, "IsValid", "", [&](CDExpManager& recorder, std::string& outcome) {
        *valid = recorder.IsValid() ? 1 : 0;
        outcome = "valid=" + std::to_string(*valid);
        return S_OK;
    });
}

HRESULT DiscRecorder::IsBusy(BSTR identity, DWORD* busy) {
    if (!busy)
        return E_POINTER;
    *busy = 0;
    if (!m_context.CheckIdentity(identity, "IsBusy", ""))
        return E_ACCESSDENIED;
    {
        // Nothing to tell while no client holds the recorder.
        std::lock_guard<std::mutex> hold(m_callLock);
        if (!m_manager) {
            m_context.Audit().Refused("IsBusy", "", HrText(kNotInitialized),
                                      "recorder not initialised");
            return kNotInitialized;
        }
    }
    {
        std::lock_guard<std::mutex> hold(m_recordLock);
        *busy = m_busy ? 1 : 0;
    }
    m_context.Audit().Done("IsBusy", "", "busy=" + std::to_string(*busy));
    return S_OK;
}

HRESULT DiscRecorder::GetEventData(BSTR identity, DWORD eventId, CDEventRecord* record) {
    if (!record)
        return E_POINTER;
    *record = CDEventRecord{};
    const std::string arguments = "eventId=" + std::to_string(eventId);
    if (!m_context.CheckIdentity(identity, "GetEventData", arguments))
        return E_ACCESSDENIED;
    {
        // Nothing to tell while no client holds the recorder.
        std::lock_guard<std::mutex> hold(m_callLock);
        if (!m_manager) {
            m_context.Audit().Refused("GetEventData", arguments, HrText(kNotInitialized),
                                      "recorder not initialised");
            return kNotInitialized;
        }
    }
    if (eventId < 2 || eventId > 7) {
        m_context.Audit().Refused("GetEventData", arguments, HrText(E_INVALIDARG),
                                  "no record for that event");
        return E_INVALIDARG;
    }
    {
        std::lock_guard<std::mutex> hold(m_recordLock);
        *record = m_records[eventId];
        // The fetch acknowledges the signalled event: the next may follow.
        if (eventId == m_outstanding) {
            m_outstanding = 0;
            PumpLocked();
        }
    }
    m_context.Audit().Done("GetEventData", arguments,
                           "record=" + std::to_string(record->first) + "," +
                               std::to_string(record->second) + "," +
                               std::to_string(record->third));
    return S_OK;
}

HRESULT DiscRecorder::StartBurn(BSTR identity, BSTR source, DWORD flag) {
    const std::string arguments = "source=" + ForLog(source) + " flag=" + std::to_string(flag);
    return WithRecorder(
        identity, "StartBurn", arguments, [&](CDExpManager& recorder, std::string&) {
            // The disc folder is checked again: it may have been swapped for a
            // junction since it was selected.
            CString drive, path;
            recorder.GetDrive(drive);
            const char* refusal = CheckDiscFolder(drive.GetString());
            if (!refusal) {
                const PathDecision decision =
                    m_context.Paths().Check(FromBstr(source), PathUse::Read);
                if (!decision.allowed)
                    refusal = decision.reason;
                else if (!ToAnsi(decision.canonical, path))
                    refusal = "source has no exact form in the ANSI code page";
            }
            if (refusal) {
                // The host learns of it as of any burn that could not start: a
                // result event alone, with the error reserved for broker failures.
                Publish(5, CDEventRecord{CDExpManager::eBurn, CD::eBrokerFailure, 0});
                m_context.Audit().Refused("StartBurn", arguments, HrText(E_ACCESSDENIED), refusal);
                return E_ACCESSDENIED;
            }
            recorder.StartBurn(path.GetString(), flag != 0);
            return S_OK;
        });
}

HRESULT DiscRecorder::StartErase(BSTR identity, DWORD flag) {
    const std::string arguments = "flag=" + std::to_string(flag);
    return WithRecorder(
        identity, "StartErase", arguments, [&](CDExpManager& recorder, std::string&) {
            CString drive;
            recorder.GetDrive(drive);
            if (const char* refusal = CheckDiscFolder(drive.GetString())) {
                Publish(5, CDEventRecord{CDExpManager::eErase, CD::eBrokerFailure, 0});
                m_context.Audit().Refused("StartErase", arguments, HrText(E_ACCESSDENIED), refusal);
                return E_ACCESSDENIED;
            }
            recorder.StartErase(flag != 0);
            return S_OK;
        });
}

HRESULT DiscRecorder::StartGetDriveAvailSpace(BSTR identity) {
    return WithRecorder(identity, "StartGetDriveAvailSpace", "",
                        [](CDExpManager& recorder, std::string&) {
                            recorder.StartGetDriveAvailSpace();
                            return S_OK;
                        });
}

HRESULT DiscRecorder::StartValidateDrive(BSTR identity) {
    return WithRecorder(identity, "StartValidateDrive", "",
                        [](CDExpManager& recorder, std::string&) {
                            recorder.StartValidateDrive();
                            return S_OK;
                        });
}

HRESULT DiscRecorder::GetEventNames(BSTR identity, BSTR* names) {
    if (!names)
        return E_POINTER;
    *names = nullptr;
    if (!m_context.CheckIdentity(identity, "GetEventNames", ""))
        return E_ACCESSDENIED;
    std::lock_guard<std::mutex> hold(m_callLock);
    std::string joined;
    {
        std::lock_guard<std::mutex> records(m_recordLock);
        // A fresh set for the next client, so that a worker of an earlier one
        // (still waiting on the names it had) never takes its signals; the
        // client that holds the recorder keeps its set.
        if (!m_manager) {
            std::string fresh[7];
            const std::string suffix =
                "." + std::to_string(GetCurrentProcessId()) + "." + std::to_string(++m_generation);
            for (int i = 0; i < 7; ++i)
                fresh[i] = kEventNames[i] + suffix;
            if (!OpenEventsLocked(fresh)) {
                const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
                m_context.Audit().Refused("GetEventNames", "", HrText(hr), "events not created");
                return FAILED(hr) ? hr : E_FAIL;
            }
            ClearLocked();
        }
        for (int i = 0; i < 7; ++i)
            joined += (i ? "|" : "") + m_names[i];
    }
    *names = ToBstr(joined.c_str());
    if (!*names)
        return E_OUTOFMEMORY;
    m_context.Audit().Done("GetEventNames", "", "names=" + ForLog(*names));
    return S_OK;
}

}  // namespace vesko::broker
