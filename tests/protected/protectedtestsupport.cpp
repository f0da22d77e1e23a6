// The protected-mode test programs run on an MTA thread, as a host in
// protected mode is in a COM apartment before it calls the library.
#include "protectedtestsupport.h"

#include <gtest/gtest.h>
#include <objidl.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <vesko/raii.h>

#include <cdprogress.h>
#include <cdresult.h>

#include <algorithm>
#include <chrono>
#include <memory>

#ifdef VESKOLIB_STATIC  // the library's classes linked in: veskolib.dll's application object
#include "cveskolibapp.h"
CVeskoLibApp theApp;
#endif

int main(int argc, char** argv) {
    vesko::ComApartment apartment(COINIT_MULTITHREADED);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

namespace vesko::test {

VeskoSecurityAttributes& Attrs() {
    static VeskoSecurityAttributes attrs;
    [[maybe_unused]] static const bool initialised = (attrs.Init(), true);
    return attrs;
}

void ChooseMode(bool bProtected) {
    SetEnvironmentVariableA("VESKO_IEFRAME_ANSWER", bProtected ? "protected" : "direct");
}

HRESULT LookupFailureFor(REFIID riid) {
    ComPtr<IGlobalInterfaceTable> git;
    HRESULT hr =
        CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                         IID_IGlobalInterfaceTable, reinterpret_cast<void**>(git.GetAddressOf()));
    if (FAILED(hr))
        return hr;
    ComPtr<IUnknown> nothing;
    return git->GetInterfaceFromGlobal(0, riid, reinterpret_cast<void**>(nothing.GetAddressOf()));
}

std::vector<DWORD> BrokerProcesses() {
    std::vector<DWORD> pids;
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));  // none when it fails
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot.Get(), &entry); more;
         more = Process32Next(snapshot.Get(), &entry)) {
        if (lstrcmpiA(entry.szExeFile, "veskobroker.exe") == 0)
            pids.push_back(entry.th32ProcessID);
    }
    return pids;
}

DWORD NewBroker(const std::vector<DWORD>& before) {
    std::vector<DWORD> fresh;
    for (DWORD pid : BrokerProcesses()) {
        if (std::find(before.begin(), before.end(), pid) == before.end())
            fresh.push_back(pid);
    }
    return fresh.size() == 1 ? fresh[0] : 0;
}

bool Kill(DWORD processId) {
    UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    return process && TerminateProcess(process.Get(), 9) &&
           WaitForSingleObject(process.Get(), 5000) == WAIT_OBJECT_0;
}

void ExpectNoBrokerServices(const void* fileIO, const void* fileDlg, CDExpService* cd) {
    EXPECT_EQ(fileIO, nullptr);
    EXPECT_EQ(fileDlg, nullptr);
    ASSERT_NE(cd, nullptr) << "the disc service is made all the same";
    EXPECT_FALSE(cd->IsValid());
    EXPECT_EQ(cd->ValidateDrive(), CD::eBrokerFailure);
}

DWORD HandleCountOf(DWORD processId) {
    std::vector<BYTE> buffer(1 << 20);
    for (int attempt = 0; attempt < 8; ++attempt) {
        ULONG needed = 0;
        if (NT_SUCCESS(NtQuerySystemInformation(SystemHandleInformation, buffer.data(),
                                                static_cast<ULONG>(buffer.size()), &needed))) {
            const auto* table = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
            return static_cast<DWORD>(std::count_if(
                table->Handle, table->Handle + table->Count,
                [&](const SYSTEM_HANDLE_ENTRY& e) { return e.OwnerPid == processId; }));
        }
        buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
    }
    return 0;
}

void DiscEventLog::OnEvent(Observable*, unsigned int eventId, void* data) {
    std::string text = std::to_string(eventId) + ":";
    // The records are borrowed: read here, destroyed by the service.
    if (eventId == 4) {
        const auto* p = static_cast<const CDProgress*>(data);
        text += std::to_string(p->GetKind()) + "," + std::to_string(p->GetValue1()) + "," +
                std::to_string(p->GetValue2());
    } else if (eventId == 5) {
        const auto* r = static_cast<const CDResult*>(data);
        text += std::to_string(r->GetFirst()) + "," + std::to_string(r->GetSecond());
    } else {
        text += std::to_string(reinterpret_cast<ULONG_PTR>(data));
    }
    std::lock_guard<std::mutex> hold(m_lock);
    m_events.push_back(text);
    m_arrived.notify_all();
}

std::string DiscEventLog::Wait(size_t n) {
    std::unique_lock<std::mutex> hold(m_lock);
    m_arrived.wait_for(hold, std::chrono::seconds(5), [&] { return m_events.size() >= n; });
    return Text(false);
}

std::string DiscEventLog::WaitFinished() {
    std::unique_lock<std::mutex> hold(m_lock);
    m_arrived.wait_for(hold, std::chrono::seconds(30),
                       [&] { return !m_events.empty() && m_events.back()[0] == '6'; });
    return Text(true);
}

std::string DiscEventLog::Text(bool runs) const {
    std::string text;
    for (size_t i = 0; i < m_events.size(); ++i) {
        if (!runs || i + 1 == m_events.size() || m_events[i][0] != m_events[i + 1][0])
            text += (text.empty() ? "" : " ") + m_events[i];
    }
    return text;
}

}  // namespace vesko::test
