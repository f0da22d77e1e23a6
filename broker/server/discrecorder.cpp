#include "discrecorder.h"

#include <sddl.h>

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
}

bool DiscRecorder::CreateEvents() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;FA;;;WD)S:(ML;;NWNR;;;LW)",
                                                         SDDL_REVISION_1, &descriptor, nullptr);
    UniqueLocal owner(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    bool all = true;
    for (int i = 0; i < 7; ++i) {
        m_events[i].Reset(CreateEventA(&attributes, FALSE, FALSE, kEventNames[i]));
        all = all && m_events[i];
    }
    return all;
}

void DiscRecorder::Publish(unsigned int eventId, const CDEventRecord& record) {
    if (eventId < 1 || eventId > 7)
        return;
    {
        std::lock_guard<std::mutex> hold(m_recordLock);
        m_records[eventId] = record;
        if (eventId == 1)
            m_busy = true;
        if (eventId == 6)
            m_busy = false;
    }
    // Signalled after the record is in place: the relay fetches it on waking.
    SetEvent(m_events[eventId - 1].Get());
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
        case 4: {
            std::unique_ptr<CDProgress> progress(static_cast<CDProgress*>(data));
            if (progress) {
                record.first = progress->GetKind();
                record.second = progress->GetValue2();
                record.third = progress->GetValue1();
            }
            break;
        }
        case 5: {
            std::unique_ptr<CDResult> result(static_cast<CDResult*>(data));
            if (result) {
                record.first = result->GetFirst();
                record.second = result->GetSecond();
            }
            break;
        }
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
    // Signals nobody consumed belong to the client that is leaving.
    for (UniqueHandle& event : m_events)
        if (event)
            ResetEvent(event.Get());
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

}  // namespace vesko::broker
