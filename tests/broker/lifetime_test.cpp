// How a broker process ends: after its client's last release, with its
// client's death, and not at all when nobody activated it; and how
// activation fails when the class is not registered.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "brokersession.h"

namespace vesko::test {
namespace {

constexpr const char* kClsidKey =
    "Software\\Classes\\CLSID\\{2068FDF2-0BE6-47E8-B5C9-CCE78A2FCA9D}\\LocalServer32";

HRESULT Activate(ComPtr<IBroker>& broker) {
    return CoCreateInstance(CLSID_Broker, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&broker));
}

TEST(BrokerLifetime, EndsAfterTheClientsLastRelease) {
    DWORD pid = 0;
    {
        ComPtr<IBroker> broker;
        const HRESULT hr = Activate(broker);
        ASSERT_EQ(S_OK, hr) << Describe(static_cast<DWORD>(hr));
        DWORD version = 0;
        ASSERT_EQ(S_OK, broker->GetBrokerInfo(&pid, &version));
        ComPtr<IFileIOBroker> files;
        ASSERT_EQ(S_OK, broker.As(&files));
        DWORD code = 0;
        EXPECT_EQ(S_OK, files->IsDestinationWritable(Bstr(Identity()).Get(),
                                                     Bstr(WritableDir()).Get(), &code));
        EXPECT_TRUE(ProcessAlive(pid)) << "the broker ended while in use";
    }
    DWORD elapsed = 0;
    EXPECT_TRUE(WaitForExit(pid, 5000, &elapsed)) << "broker " << pid << " still runs";
    std::printf("broker ended %lu ms after the last release\n", elapsed);
}

TEST(BrokerLifetime, EndsWithinASecondOfItsClientsDeath) {
    // A child client activates a broker the way the library does (through
    // the Global Interface Table, whose reference Wine never gives back),
    // reports the broker's process id and waits to be killed.
    ScratchDir scratch("broker-child");
    const std::string report = scratch.Path() + "\\pid.txt";
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    UniqueHandle child;
    ASSERT_TRUE(Start(std::string("\"") + self + "\" --child-client \"" + report + "\"", child))
        << Describe(GetLastError());
    DWORD brokerPid = 0;
    for (int i = 0; i < 200 && !brokerPid; ++i) {
        Sleep(50);
        brokerPid = std::strtoul(ReadFileText(report).c_str(), nullptr, 10);
    }
    ASSERT_NE(0u, brokerPid) << "the child reported no broker";
    ASSERT_TRUE(ProcessAlive(brokerPid));
    ASSERT_TRUE(TerminateProcess(child.Get(), 9));
    WaitForSingleObject(child.Get(), 5000);
    DWORD elapsed = 0;
    const bool gone = WaitForExit(brokerPid, 3000, &elapsed);
    EXPECT_TRUE(gone) << "broker " << brokerPid << " outlived its client";
    EXPECT_LE(elapsed, 1000u) << "the broker took " << elapsed << " ms to end";
    std::printf("broker ended %lu ms after its client was killed\n", elapsed);
}

TEST(BrokerLifetime, ABrokerNobodyActivatedEndsAtOnce) {
    UniqueHandle handle;
    ASSERT_TRUE(Start("\"" + ExecutableFolder() + "\\veskobroker.exe\"", handle))
        << Describe(GetLastError());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(handle.Get(), 5000));
    DWORD exitCode = 0;
    GetExitCodeProcess(handle.Get(), &exitCode);
    EXPECT_EQ(2u, exitCode);
}

// Removes the class's LocalServer32 registration for one scope and puts the
// same value back afterwards, whatever the test does in between.
class Unregistered {
  public:
    Unregistered() {
        char value[1024] = {};
        DWORD size = sizeof value;
        m_had = RegGetValueA(HKEY_LOCAL_MACHINE, kClsidKey, nullptr, RRF_RT_REG_SZ, nullptr, value,
                             &size) == ERROR_SUCCESS;
        m_value = value;
        if (m_had)
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, kClsidKey);
    }
    ~Unregistered() {
        if (!m_had)
            return;
        UniqueHKey key;
        if (RegCreateKeyA(HKEY_LOCAL_MACHINE, kClsidKey, key.Receive()) == ERROR_SUCCESS)
            RegSetValueExA(key.Get(), nullptr, 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(m_value.c_str()),
                           static_cast<DWORD>(m_value.size() + 1));
    }
    bool Had() const { return m_had; }

  private:
    bool m_had = false;
    std::string m_value;
};

TEST(BrokerLifetime, ActivationFailsWhenTheClassIsNotRegistered) {
    {
        Unregistered gone;
        ASSERT_TRUE(gone.Had()) << "the broker was not registered to begin with";
        ComPtr<IBroker> broker;
        const HRESULT hr = Activate(broker);
        EXPECT_EQ(REGDB_E_CLASSNOTREG, hr) << Describe(static_cast<DWORD>(hr));
    }
    // Registered again: activation works.
    ComPtr<IBroker> broker;
    const HRESULT hr = Activate(broker);
    EXPECT_EQ(S_OK, hr) << Describe(static_cast<DWORD>(hr));
}

}  // namespace

// The child client of EndsWithinASecondOfItsClientsDeath.
int ChildClient(const char* report) {
    ComApartment apartment(COINIT_MULTITHREADED);
    BrokerSession session;
    if (FAILED(session.Open()))
        return 3;
    ComPtr<IFileIOBroker> files = session.Get<IFileIOBroker>();
    DWORD code = 0;
    if (!files || FAILED(files->IsDestinationWritable(Bstr(Identity()).Get(),
                                                      Bstr(WritableDir()).Get(), &code)))
        return 4;
    WriteFileText(report, std::to_string(session.ProcessId()));
    Sleep(60 * 1000);
    return 0;
}

}  // namespace vesko::test

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--child-client") == 0)
        return vesko::test::ChildClient(argv[2]);
    testing::InitGoogleTest(&argc, argv);
    vesko::ComApartment apartment(COINIT_MULTITHREADED);
    return RUN_ALL_TESTS();
}
