// The broker one test program shares between its tests: activated once (a
// broker start costs about a second under Wine), with a policy file that
// names one scratch folder as an extra root, and the dialog doubles pointed
// at a scratch folder of their own.
#pragma once

#include <memory>
#include <string>

#include "brokersession.h"
#include "dialogdouble.h"
#include "testsupport.h"

namespace vesko::test {

class SharedBroker {
  public:
    SharedBroker();
    ~SharedBroker();

    // Activates the broker; false (with the HRESULT in the failure) when it
    // cannot be reached.
    HRESULT Open();

    BrokerSession& Session() { return m_session; }
    // A folder the policy file names as a root.
    const std::string& PolicyRoot() const { return m_policyRoot.Path(); }
    // A folder no rule allows.
    const std::string& Outside() const { return m_outside.Path(); }
    // A fresh folder below the folder table's writable folder.
    const std::string& WellKnown() const { return m_wellKnown; }
    // Extra registry key the policy file allows (below HKCU).
    static const char* PolicyKey() { return "Software\\VeskoBrokerTestKeys"; }
    const DialogDouble& Dialogs() const { return *m_dialogs; }
    const std::string& DialogDir() const { return m_dialogDir.Path(); }

  private:
    ScratchDir m_policyRoot{"broker-root"};
    ScratchDir m_outside{"broker-outside"};
    ScratchDir m_dialogDir{"broker-dialogs"};
    std::string m_wellKnown;
    std::string m_policyFile;
    std::unique_ptr<DialogDouble> m_dialogs;
    BrokerSession m_session;
};

// The program's shared broker (set up by main).
SharedBroker& Shared();

}  // namespace vesko::test
