#include "protectedtestsupport.h"

#include <objidl.h>
#include <tlhelp32.h>

#include <vesko/raii.h>

#include <algorithm>

namespace vesko::test {

VeskoSecurityAttributes& Attrs() {
    static VeskoSecurityAttributes attrs;
    static const bool initialised = (attrs.Init(), true);
    (void)initialised;
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
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot || snapshot.Get() == INVALID_HANDLE_VALUE)
        return pids;
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

namespace {

// The system's handle table, as NtQuerySystemInformation(SystemHandleInformation)
// returns it. Wine answers GetProcessHandleCount with 0 but keeps this table.
struct HandleEntry {
    ULONG ProcessId;
    UCHAR ObjectTypeNumber;
    UCHAR Flags;
    USHORT Handle;
    PVOID Object;
    ACCESS_MASK GrantedAccess;
};
struct HandleTable {
    ULONG Count;
    HandleEntry Handles[1];
};
using NtQuerySystemInformationFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

DWORD CountInSystemTable(DWORD processId) {
    const auto query = reinterpret_cast<NtQuerySystemInformationFn>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation"));
    if (!query)
        return 0;
    std::vector<BYTE> buffer(1 << 20);
    for (int attempt = 0; attempt < 8; ++attempt) {
        ULONG needed = 0;
        if (query(16 /* SystemHandleInformation */, buffer.data(),
                  static_cast<ULONG>(buffer.size()), &needed) == 0) {
            const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
            return static_cast<DWORD>(
                std::count_if(table->Handles, table->Handles + table->Count,
                              [&](const HandleEntry& e) { return e.ProcessId == processId; }));
        }
        buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
    }
    return 0;
}

}  // namespace

DWORD HandleCountOf(DWORD processId) {
    UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId));
    DWORD count = 0;
    if (process && GetProcessHandleCount(process.Get(), &count) && count != 0)
        return count;
    return CountInSystemTable(processId);
}

}  // namespace vesko::test
