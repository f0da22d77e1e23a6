// Helpers for the tests that drive the real broker process over COM.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include <vesko/raii.h>

#include "dialogdouble.h"
#include "testsupport.h"
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
    ~BrokerSession() { Close(); }
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

// The broker one test program shares between its tests (a broker start
// costs about a second under Wine), started with a policy file that names
// one scratch folder as an extra root and one extra registry key, and with
// the dialog doubles pointed at a scratch folder of their own.
class SharedBroker {
  public:
    SharedBroker();
    ~SharedBroker();
    HRESULT Open();

    BrokerSession& Session() { return m_session; }
    // A folder the policy file names as a root.
    const std::string& PolicyRoot() const { return m_policyRoot.Path(); }
    // A folder no rule allows.
    const std::string& Outside() const { return m_outside.Path(); }
    // A fresh folder below the folder table's writable folder.
    const std::string& WellKnown() const { return m_wellKnown; }
    // The registry key (below HKCU) the policy file adds.
    static const char* PolicyKey() { return "Software\\VeskoBrokerTestKeys"; }
    const DialogDouble& Dialogs() const { return *m_dialogs; }

  private:
    ScratchDir m_policyRoot{"broker-root"}, m_outside{"broker-outside"},
        m_dialogDir{"broker-dialogs"};
    std::string m_wellKnown, m_policyFile;
    std::unique_ptr<DialogDouble> m_dialogs;
    BrokerSession m_session;
};

// The program's shared broker (set up by main).
SharedBroker& Shared();

// Reads what the broker appended to its audit log since the cursor was made
// (or last read).
class AuditCursor {
  public:
    AuditCursor();
    std::vector<std::string> NewLines();

  private:
    size_t m_offset = 0;
};

// The folder table's writable folder and log folder, as the worker resolves
// them; the audit log is "VeskoBroker.log" in the log folder.
std::string WritableDir();
std::string LogDir();
std::string AuditLogPath();

// The process is gone within timeoutMs; elapsed receives how long it took.
bool WaitForExit(DWORD processId, DWORD timeoutMs, DWORD* elapsed = nullptr);
bool ProcessAlive(DWORD processId);
// Starts a program (program, or the first word of command); false when it
// cannot (the reason is in GetLastError).
bool Start(std::string command, UniqueHandle& process, DWORD* processId = nullptr,
           const char* program = nullptr);
// The folder of this program, which holds the broker and the doubles too.
std::string ExecutableFolder();

// Creates a symbolic link to a folder through the host's own `ln` (Wine has
// no junction support; it reports host symbolic links as reparse points).
// Returns false, with the reason, when that is not possible.
bool MakeFolderLink(const std::string& link, const std::string& target, std::string& why);
// Removes such a link (not what it points to).
void RemoveFolderLink(const std::string& link);

}  // namespace vesko::test
