#include "clientwatch.h"

#include <tlhelp32.h>
#include <rpc.h>
#include <rpcdcep.h>

#include "serverlifetime.h"

namespace vesko::broker {

namespace {

ULONGLONG CreationTime(HANDLE process) {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

DWORD ParentProcessId() {
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot || snapshot.Get() == INVALID_HANDLE_VALUE)
        return 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
         more = Process32NextW(snapshot.Get(), &entry)) {
        if (entry.th32ProcessID == self)
            return entry.th32ParentProcessID;
    }
    return 0;
}

}  // namespace

ClientWatch::ClientWatch(ServerLifetime& lifetime)
    : m_lifetime(lifetime),
      m_changed(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_stop(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

ClientWatch::~ClientWatch() {
    SetEvent(m_stop.Get());
    if (m_thread.joinable())
        m_thread.join();
}

bool ClientWatch::WatchParent() {
    return Watch(ParentProcessId());
}

void ClientWatch::WatchCaller() {
    unsigned long caller = 0;
    if (I_RpcBindingInqLocalClientPID(nullptr, &caller) != RPC_S_OK)
        return;
    if (caller == GetCurrentProcessId())
        return;
    Watch(caller);
}

DWORD ClientWatch::ClientProcessId() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_ids[0];
}

bool ClientWatch::Watch(DWORD processId) {
    if (processId == 0)
        return false;
    UniqueHandle process(
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process)
        return false;
    // A process id is reused once its owner is gone: a process that started
    // after this one cannot be the one that started it.
    UniqueHandle self(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, GetCurrentProcessId()));
    const ULONGLONG ours = self ? CreationTime(self.Get()) : 0;
    const ULONGLONG theirs = CreationTime(process.Get());
    if (ours != 0 && theirs > ours)
        return false;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        int slot = -1;
        for (int i = 0; i < 2; ++i) {
            if (m_ids[i] == processId)
                return true;
            if (slot < 0 && m_ids[i] == 0)
                slot = i;
        }
        if (slot < 0)
            return false;
        m_ids[slot] = processId;
        m_processes[slot] = std::move(process);
    }
    if (!m_thread.joinable())
        m_thread = std::thread([this] { Run(); });
    else
        SetEvent(m_changed.Get());
    return true;
}

void ClientWatch::Run() {
    for (;;) {
        // Duplicates, so that the handles waited on stay valid whatever the
        // other threads do with the members.
        UniqueHandle watched[2];
        HANDLE handles[4] = {m_stop.Get(), m_changed.Get()};
        DWORD count = 2;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            for (int i = 0; i < 2; ++i) {
                HANDLE copy = nullptr;
                if (m_processes[i] &&
                    DuplicateHandle(GetCurrentProcess(), m_processes[i].Get(), GetCurrentProcess(),
                                    &copy, SYNCHRONIZE, FALSE, 0)) {
                    watched[i].Reset(copy);
                    handles[count++] = copy;
                }
            }
        }
        const DWORD woke = WaitForMultipleObjects(count, handles, FALSE, INFINITE);
        if (woke == WAIT_OBJECT_0)
            return;
        if (woke == WAIT_OBJECT_0 + 1)
            continue;
        m_lifetime.RequestShutdown("the client process is gone");
        return;
    }
}

}  // namespace vesko::broker
