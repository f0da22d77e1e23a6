#include "cdwriteprotected.h"

#include <ace/Log_Msg.h>

#include <cdprogress.h>
#include <cdresult.h>
#include <veskobroker.h>

#include <atomic>
#include <vector>

#include "globalinterfacetable.h"
#include "librarylog.h"
#include "multibytetobstr.h"
#include "veskosecurityattributes.h"

using vesko::ComPtr;
using vesko::MakeBstr;
using vesko::UniqueBstr;
using vesko::UniqueHandle;

namespace {

constexpr DWORD kWaitCount = 8;
constexpr DWORD kStopIndex = 7;
constexpr DWORD kWorkerGraceMs = 100;

// The one result value this service gives a meaning of its own: the broker
// call did not succeed.
constexpr CD::EError kBrokerFailure = CD::eBrokerFailure;

CD::EError ResultOf(HRESULT hr, DWORD dwError) {
    return hr != S_OK ? kBrokerFailure : static_cast<CD::EError>(dwError);
}

// The identity for calls made where no exception may leave (the worker, the
// destructor): a failed conversion sends a null identity, which the broker
// refuses like any other it does not know.
UniqueBstr IdentityNoThrow(const CString& strIdentity) {
    return UniqueBstr(MultiByteToBSTR(strIdentity));
}

// The identity every operation sends first; no attributes, no identity.
UniqueBstr IdentityOf(const VeskoSecurityAttributes* pAttr) {
    return MakeBstr(pAttr ? pAttr->m_strIdentity.GetString() : nullptr);
}

}  // namespace

const char* const CDWriteProtected::kEventNames[7] = {
    "C59DA682-1DA9-4d58-AA40-751BFCBDF8E1", "D6A1C2BF-CF8A-4796-B8B8-2DF8D1CF03DD",
    "0B6B84E3-785B-4731-9C75-A5743CACCC09", "630A0305-0041-4dc5-9719-AA9797769F6B",
    "99F98F35-B401-4d6d-A40C-360C9E599C24", "6232A8C7-9548-447c-B261-8EEBD014531A",
    "F27CEF48-2DC9-4b08-8A09-ADC22A18B24B",
};

struct CDWriteProtected::Relay {
    Observable::Channel channel;  // drops posts once the service is gone
    DWORD dwCookie = 0;
    CString strIdentity;
    UniqueHandle handles[kWaitCount];
    HMODULE hModule = nullptr;  // the library, kept loaded while the worker runs
    // Set when the destructor has given up on the worker: a late worker that
    // wakes for a named event hands the signal back (it may belong to the
    // next service, when the broker uses the fixed names) and ends.
    std::atomic<bool> bAbandoned{false};
};

CDWriteProtected::CDWriteProtected()
    : CDExpService("CDExpManager"),
      m_pSecurityAttr(nullptr),
      m_dwBrokerCookie(0),
      m_hEvents{},
      m_hStopEvent(nullptr),
      m_hThread(nullptr) {}

CDWriteProtected::~CDWriteProtected() {
    ComPtr<ICDWrite> cdwrite;
    GetICDWrite(cdwrite.GetAddressOf());
    // Released or replaced from inside one of its own event callbacks: the
    // worker is this thread and cannot end while we wait for it. It ends once
    // the delivery unwinds, as the stop event says.
    const bool bOnWorker = m_hThread && GetThreadId(m_hThread) == GetCurrentThreadId();
    if (cdwrite) {
        UniqueBstr identity =
            IdentityNoThrow(m_pSecurityAttr ? m_pSecurityAttr->m_strIdentity : CString());
        cdwrite->Uninitialize(identity.Get());
        SetEvent(m_hStopEvent);
        if (!bOnWorker)
            WaitForSingleObject(m_hThread, kWorkerGraceMs);
    } else if (m_hThread && m_hStopEvent) {
        // The broker is gone, so nothing will ever signal the named events
        // again: without the stop event the worker would wait for ever.
        SetEvent(m_hStopEvent);
    }
    // From here on a worker that is still running (inside a broker call, or
    // inside an observer) reaches no observer and hands back what it wakes for.
    if (m_pRelay)
        m_pRelay->bAbandoned = true;
    Close();
    m_pRelay.reset();

    m_pSecurityAttr = nullptr;
    for (HANDLE& hEvent : m_hEvents) {
        if (hEvent)
            CloseHandle(hEvent);
        hEvent = nullptr;
    }
    if (m_hStopEvent)
        CloseHandle(m_hStopEvent);
    m_hStopEvent = nullptr;
    if (m_hThread)
        CloseHandle(m_hThread);
    m_hThread = nullptr;
    cdwrite.Reset();
    GlobalInterfaceTable::Revoke(m_dwBrokerCookie);
}

void CDWriteProtected::ChooseEventNames(ICDWrite* pCDWrite, VeskoSecurityAttributes* pAttr) {
    for (size_t i = 0; i < 7; ++i)
        m_strEventNames[i] = kEventNames[i];
    ComPtr<ICDWrite2> v2;
    if (FAILED(
            pCDWrite->QueryInterface(IID_ICDWrite2, reinterpret_cast<void**>(v2.GetAddressOf()))))
        return;  // a version 1 broker signals the fixed names
    UniqueBstr identity = IdentityOf(pAttr);
    UniqueBstr joined;
    if (v2->GetEventNames(identity.Get(), joined.Receive()) != S_OK || !joined)
        return;
    // Seven plain names: anything else is not a set this service can use.
    std::vector<std::string> names(1);
    for (const wchar_t* p = joined.Get(); *p; ++p) {
        if (*p == L'|')
            names.emplace_back();
        else if (*p > L' ' && *p < 0x7F && *p != L'\\')
            names.back() += static_cast<char>(*p);
        else
            return;
    }
    if (names.size() != 7)
        return;
    for (const std::string& name : names)
        if (name.empty() || name.size() >= MAX_PATH)
            return;
    for (size_t i = 0; i < 7; ++i)
        m_strEventNames[i] = names[i];
}

bool CDWriteProtected::Init(IBroker* pBroker, VeskoSecurityAttributes* pAttr) {
    m_pSecurityAttr = pAttr;

    // A set without a broker (it could not start one, or the one it had is
    // gone) hands in null: the service then exists, and every operation
    // reports the failure of its lookup.
    if (!pBroker)
        return false;
    {
        ComPtr<ICDWrite> queried;
        if (FAILED(pBroker->QueryInterface(IID_ICDWrite,
                                           reinterpret_cast<void**>(queried.GetAddressOf())))) {
            return false;
        }
        if (FAILED(GlobalInterfaceTable::Register(queried.Get(), IID_ICDWrite, m_dwBrokerCookie))) {
            return false;
        }
        // Asked before Initialize: the broker signals the names it hands out
        // from the next client on, and this worker waits before it tells.
        ChooseEventNames(queried.Get(), pAttr);
    }

    SECURITY_ATTRIBUTES sa = {};
    sa.nLength = sizeof(sa);
    sa.lpSecurityDescriptor = pAttr ? pAttr->m_pLowSD : nullptr;
    sa.bInheritHandle = FALSE;
    // An event the broker created first is opened with its own settings.
    for (size_t i = 0; i < 7; ++i)
        m_hEvents[i] = CreateEventA(&sa, FALSE, FALSE, m_strEventNames[i].c_str());
    m_hStopEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);

    ComPtr<ICDWrite> cdwrite;
    if (GetICDWrite(cdwrite.GetAddressOf()) != S_OK || !cdwrite)
        return false;

    auto relay = std::make_shared<Relay>();
    relay->channel = GetChannel();
    relay->dwCookie = m_dwBrokerCookie;
    relay->strIdentity = pAttr ? pAttr->m_strIdentity : CString();
    const HANDLE process = GetCurrentProcess();
    for (DWORD i = 0; i < kWaitCount; ++i) {
        const HANDLE source = i < kStopIndex ? m_hEvents[i] : m_hStopEvent;
        // A missing event stays null, so the worker's first wait fails and
        // it ends at once, as it would on the original array.
        if (source) {
            DuplicateHandle(process, source, process, relay->handles[i].Receive(), 0, FALSE,
                            DUPLICATE_SAME_ACCESS);
        }
    }
    // The worker may outlive this object and the host may unload the library
    // right after releasing the service: the worker holds the library until
    // it has left its code (FreeLibraryAndExitThread).
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCSTR>(&CDWriteProtected::ThreadProc), &relay->hModule);
    m_pRelay = relay;
    auto workerRef = std::make_unique<std::shared_ptr<Relay>>(std::move(relay));
    m_hThread = CreateThread(nullptr, 0, ThreadProc, workerRef.get(), 0, nullptr);
    if (m_hThread) {
        workerRef.release();  // the worker owns it now
    } else if (m_pRelay->hModule) {
        FreeLibrary(m_pRelay->hModule);
        m_pRelay->hModule = nullptr;
    }

    UniqueBstr identity = IdentityOf(pAttr);
    return cdwrite->Initialize(identity.Get()) == S_OK;
}

HRESULT CDWriteProtected::FetchICDWrite(DWORD dwCookie, ICDWrite** ppCDWrite) {
    const HRESULT hr =
        GlobalInterfaceTable::Fetch(dwCookie, IID_ICDWrite, reinterpret_cast<void**>(ppCDWrite));
    if (!*ppCDWrite) {
        ACE_Log_Msg* log = LibraryLog::Instance();
        log->conditional_set("cdwriteprotected", __LINE__, 0, ACE_Log_Msg::last_error_adapter());
        log->log(LM_INFO,
                 " CDWriteProtected::GetICDWrite : CopyTo() Function returned NULL output");
    }
    return hr;
}

HRESULT CDWriteProtected::GetICDWrite(ICDWrite** ppCDWrite) const {
    return FetchICDWrite(m_dwBrokerCookie, ppCDWrite);
}

DWORD WINAPI CDWriteProtected::ThreadProc(LPVOID lpParameter) {
    HMODULE hModule = nullptr;
    {
        std::shared_ptr<Relay> relay;
        {
            std::unique_ptr<std::shared_ptr<Relay>> ref(
                static_cast<std::shared_ptr<Relay>*>(lpParameter));
            relay = std::move(*ref);
        }
        hModule = relay->hModule;
        vesko::ComApartment apartment(COINIT_MULTITHREADED);
        RelayLoop(*relay);
    }  // apartment left and the shared state let go before the library is
    if (hModule)
        FreeLibraryAndExitThread(hModule, 0);
    return 0;
}

void CDWriteProtected::RelayLoop(Relay& relay) {
    HANDLE handles[kWaitCount];
    for (DWORD i = 0; i < kWaitCount; ++i)
        handles[i] = relay.handles[i].Get();
    UniqueBstr identity = IdentityNoThrow(relay.strIdentity);
    ComPtr<ICDWrite> cdwrite;
    FetchICDWrite(relay.dwCookie, cdwrite.GetAddressOf());

    for (;;) {
        // With several events signalled the lowest index wins, so named
        // events are served before the stop event.
        const DWORD wait = WaitForMultipleObjects(kWaitCount, handles, FALSE, INFINITE);
        if (wait == WAIT_FAILED)
            break;
        const DWORD index = wait - WAIT_OBJECT_0;
        if (index >= kWaitCount)
            continue;
        if (index == kStopIndex)
            break;
        if (relay.bAbandoned) {
            SetEvent(handles[index]);
            break;
        }
        if (index == 0) {
            relay.channel.PostEvent(1, nullptr);
            continue;
        }
        if (!cdwrite)
            continue;

        // The events are auto-reset and the record is fetched after waking:
        // two signals before the fetch give one event with the latest data.
        // The fetch also tells the broker that it may signal its next event.
        CDEventRecord record = {};
        const unsigned int eventId = index + 1;
        cdwrite->GetEventData(identity.Get(), eventId, &record);
        switch (index) {
            case 3: {
                // The broker sends the total second and the amount done third.
                // The record lives until every observer has returned.
                const auto progress = std::make_unique<CDProgress>(
                    static_cast<CD::EProgressType>(record.first), record.third, record.second);
                relay.channel.PostEvent(eventId, progress.get());
                break;
            }
            case 4: {
                const auto result = std::make_unique<CDResult>(record.first, record.second);
                relay.channel.PostEvent(eventId, result.get());
                break;
            }
            default:
                // The value travels in the pointer's own bits; it is no address.
                relay.channel.PostEvent(
                    eventId, reinterpret_cast<void*>(static_cast<ULONG_PTR>(record.first)));
                break;
        }
    }
}

bool CDWriteProtected::IsValid() const {
    ComPtr<ICDWrite> cdwrite;
    GetICDWrite(cdwrite.GetAddressOf());
    UniqueBstr identity = IdentityOf(m_pSecurityAttr);
    if (!cdwrite)
        return false;
    DWORD dwValid = 0;
    return cdwrite->IsValid(identity.Get(), &dwValid) == S_OK && dwValid != 0;
}

CD::EError CDWriteProtected::SetDrive(const char* drive) {
    ComPtr<ICDWrite> cdwrite;
    GetICDWrite(cdwrite.GetAddressOf());
    UniqueBstr identity = IdentityOf(m_pSecurityAttr);
    UniqueBstr bstrDrive = MakeBstr(drive);
    // Without an interface no drive was selected: report it like every other
    // query that could not reach the broker rather than as a success.
    if (!cdwrite)
        return kBrokerFailure;
    DWORD dwError = 0;
    const HRESULT hr = cdwrite->SetDrive(identity.Get(), bstrDrive.Get(), &dwError);
    return ResultOf(hr, dwError);
}

CD::EError CDWriteProtected::GetDrive(CString& drive) {
    ComPtr<ICDWrite> cdwrite;
    HRESULT hr = GetICDWrite(cdwrite.GetAddressOf());
    UniqueBstr identity = IdentityOf(m_pSecurityAttr);
    UniqueBstr bstrDrive;
    DWORD dwError = 0;
    if (cdwrite)
        hr = cdwrite->GetDrive(identity.Get(), bstrDrive.Receive(), &dwError);
    else if (hr == S_OK)
        hr = E_POINTER;
    drive = static_cast<const wchar_t*>(bstrDrive.Get());
    return ResultOf(hr, dwError);
}

CD::EError CDWriteProtected::GetDriveAvailSpace(unsigned long long& space) {
    ComPtr<ICDWrite> cdwrite;
    HRESULT hr = GetICDWrite(cdwrite.GetAddressOf());
    UniqueBstr identity = IdentityOf(m_pSecurityAttr);
    DWORD dwError = 0;
    if (cdwrite) {
        ULONGLONG value = space;
        hr = cdwrite->GetDriveAvailSpace(identity.Get(), &value, &dwError);
        space = value;
    } else if (hr == S_OK) {
        hr = E_POINTER;
    }
    return ResultOf(hr, dwError);
}

CD::EError CDWriteProtected::ValidateDrive() {
    ComPtr<ICDWrite> cdwrite;
    HRESULT hr = GetICDWrite(cdwrite.GetAddressOf());
    UniqueBstr identity = IdentityOf(m_pSecurityAttr);
    DWORD dwError = 0;
    if (cdwrite)
        hr = cdwrite->ValidateDrive(identity.Get(), &dwError);
    else if (hr == S_OK)
        hr = E_POINTER;
    return ResultOf(hr, dwError);
}

void CDWriteProtected::StartGetDriveAvailSpace() {
    ComPtr<ICDWrite> cdwrite;
    GetICDWrite(cdwrite.GetAddressOf());
    UniqueBstr identity = IdentityOf(m_pSecurityAttr);
    if (cdwrite)
        cdwrite->StartGetDriveAvailSpace(identity.Get());
}

void CDWriteProtected::StartValidateDrive() {
    ComPtr<ICDWrite> cdwrite;
    GetICDWrite(cdwrite.GetAddressOf());
    UniqueBstr identity = IdentityOf(m_pSecurityAttr);
    if (cdwrite)
        cdwrite->StartValidateDrive(identity.Get());
}

void CDWriteProtected::StartBurn(const char* source, bool flag) {
    ComPtr<ICDWrite> cdwrite;
    GetICDWrite(cdwrite.GetAddressOf());
    UniqueBstr identity = IdentityOf(m_pSecurityAttr);
    UniqueBstr bstrSource = MakeBstr(source);
    if (cdwrite)
        cdwrite->StartBurn(identity.Get(), bstrSource.Get(), flag ? 1 : 0);
}

void CDWriteProtected::StartErase(bool flag) {
    ComPtr<ICDWrite> cdwrite;
    GetICDWrite(cdwrite.GetAddressOf());
    UniqueBstr identity = IdentityOf(m_pSecurityAttr);
    if (cdwrite)
        cdwrite->StartErase(identity.Get(), flag ? 1 : 0);
}

void CDWriteProtected::Cancel() {
    ComPtr<ICDWrite> cdwrite;
    GetICDWrite(cdwrite.GetAddressOf());
    UniqueBstr identity = IdentityOf(m_pSecurityAttr);
    if (cdwrite)
        cdwrite->Cancel(identity.Get());
}

void CDWriteProtected::Stop() {
    ComPtr<ICDWrite> cdwrite;
    GetICDWrite(cdwrite.GetAddressOf());
    UniqueBstr identity = IdentityOf(m_pSecurityAttr);
    if (cdwrite)
        cdwrite->Stop(identity.Get());
}
