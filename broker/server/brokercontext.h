// Everything one broker process shares between its calls: the folder table
// the worker resolves, the security attributes, the path and registry
// policies, the audit log and the identity the callers must present.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <string>

#include "sfileio.h"
#include "veskosecurityattributes.h"

#include "auditlog.h"
#include "pathpolicy.h"
#include "registrypolicy.h"

namespace vesko::broker {

class BrokerContext {
  public:
    BrokerContext();
    ~BrokerContext();
    BrokerContext(const BrokerContext&) = delete;
    BrokerContext& operator=(const BrokerContext&) = delete;

    // Resolves the folder table (creating its folders), opens the audit log,
    // sets up the policies (the policy file included). False, with the reason,
    // when the broker cannot serve safely: without a folder table it would
    // have neither allowed folders nor an audit log.
    bool Start(std::string& failure);

    // True when identity is exactly the library's identity string. A refusal
    // is audited as operation(arguments).
    bool CheckIdentity(BSTR identity, const char* operation, const std::string& arguments);

    AuditLog& Audit() { return m_audit; }
    PathPolicy& Paths() { return m_paths; }
    RegistryPolicy& Registry() { return m_registry; }
    PSECURITY_DESCRIPTOR LowSD() const { return m_security.m_pLowSD; }

    void SetLanguage(DWORD languageId) { m_language = languageId; }
    DWORD Language() const { return m_language; }

  private:
    void ReserveSystemFolders();
    void AddWellKnownRoots();
    void ApplyPolicyFile();

    AuditLog m_audit;
    VeskoSecurityAttributes m_security;
    SFileIO m_folders;
    PathPolicy m_paths;
    RegistryPolicy m_registry;
    std::wstring m_identity;
    std::atomic<DWORD> m_language{0};
};

}  // namespace vesko::broker
