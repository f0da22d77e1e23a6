// Helpers for the tests that drive the real broker process over COM.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include <vesko/raii.h>

#include "veskobroker.h"

namespace vesko::test {

// The library's identity string, which the broker expects first.
std::wstring Identity();
UniqueBstr Bstr(const std::wstring& text);
UniqueBstr Bstr(const std::string& text);
std::wstring Wide(const std::string& text);

// One broker activated the way the library does it: CoCreateInstance with
// CLSCTX_LOCAL_SERVER, then every interface registered in the process's
// Global Interface Table, from which each use fetches its own reference.
class BrokerSession {
  public:
    BrokerSession() = default;
    ~BrokerSession();
    BrokerSession(const BrokerSession&) = delete;
    BrokerSession& operator=(const BrokerSession&) = delete;

    HRESULT Open();
    // Revokes the registrations (Wine keeps a reference regardless).
    void Close();

    template <typename I>
    ComPtr<I> Get() const {
        ComPtr<I> out;
        FetchRaw(__uuidof(I), reinterpret_cast<void**>(out.GetAddressOf()));
        return out;
    }
    DWORD ProcessId() const { return m_processId; }

  private:
    HRESULT FetchRaw(REFIID iid, void** out) const;

    DWORD m_cookies[4] = {};
    DWORD m_processId = 0;
};

// Reads what the broker appended to its audit log since the cursor was made
// (or last advanced).
class AuditCursor {
  public:
    explicit AuditCursor(std::string path);
    std::vector<std::string> NewLines();

  private:
    std::string m_path;
    size_t m_offset = 0;
};

// The audit log: "VeskoBroker.log" in the log folder of the folder table.
std::string AuditLogPath();
// The folder table's writable folder and log folder, as the worker resolves them.
std::string WritableDir();
std::string LogDir();

// The process is gone within timeoutMs; elapsed receives how long it took.
bool WaitForExit(DWORD processId, DWORD timeoutMs, DWORD* elapsed = nullptr);
bool ProcessAlive(DWORD processId);

// Creates a symbolic link to a folder through the host's own `ln` (Wine has
// no junction support; it reports host symbolic links as reparse points).
// Returns false, with the reason, when that is not possible.
bool MakeFolderLink(const std::string& link, const std::string& target, std::string& why);
// Removes such a link (not what it points to).
void RemoveFolderLink(const std::string& link);

}  // namespace vesko::test
