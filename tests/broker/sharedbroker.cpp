#include "sharedbroker.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace vesko::test {

namespace {

SharedBroker* g_shared = nullptr;

std::string ExecutableFolder() {
    char module[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, module, MAX_PATH);
    std::string path = module;
    return path.substr(0, path.find_last_of("\\/"));
}

}  // namespace

SharedBroker& Shared() {
    return *g_shared;
}

SharedBroker::SharedBroker() {
    g_shared = this;
    m_wellKnown = WritableDir() + "\\broker-test-" + std::to_string(GetCurrentProcessId());
    RemoveTree(m_wellKnown);
    CreateDirectoryA(m_wellKnown.c_str(), nullptr);
    m_dialogs = std::make_unique<DialogDouble>(m_dialogDir.Path());
    // The broker reads its policy file when it starts: beside the broker
    // that this program's folder holds.
    m_policyFile = ExecutableFolder() + "\\veskobroker.policy";
    WriteFileText(m_policyFile,
                  "# written by the broker tests\n"
                  "root = " +
                      m_policyRoot.Path() +
                      "\n"
                      "registry = " +
                      std::string(PolicyKey()) +
                      "\n"
                      "nonsense line\n");
}

SharedBroker::~SharedBroker() {
    m_session.Close();
    DeleteFileA(m_policyFile.c_str());
    RemoveTree(m_wellKnown);
    g_shared = nullptr;
}

HRESULT SharedBroker::Open() {
    const HRESULT hr = m_session.Open();
    // Only this program's broker reads the policy file: remove it at once.
    DeleteFileA(m_policyFile.c_str());
    return hr;
}

}  // namespace vesko::test
