// How a broker process ends: after its client's last release, with its
// client's death, at once when nobody activated it; and how activation fails
// when the class is not registered.
#include <gtest/gtest.h>

#include <cstdio>

#include "brokersession.h"

namespace vesko::test {
namespace {

HRESULT Activate(ComPtr<IBroker>& broker) {
    return CoCreateInstance(CLSID_Broker, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&broker));
}

// How long the process took to end, MAXDWORD when it still runs after timeoutMs.
DWORD MsToExit(DWORD processId, DWORD timeoutMs) {
    const ULONGLONG start = GetTickCount64();
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (process && WaitForSingleObject(process.Get(), timeoutMs) != WAIT_OBJECT_0)
        return MAXDWORD;
    return static_cast<DWORD>(GetTickCount64() - start);
}

TEST(BrokerLifetime, EndsAfterTheClientsLastRelease) {
    DWORD pid = 0, version = 0, code = 0;
    {
        ComPtr<IBroker> broker;
        ComPtr<IFileIOBroker> files;
        ASSERT_EQ(S_OK, Activate(broker));
        ASSERT_EQ(S_OK, broker->GetBrokerInfo(&pid, &version));
        ASSERT_EQ(S_OK, broker.As(&files));
        EXPECT_EQ(S_OK, files->IsDestinationWritable(Bstr(Identity()).Get(),
                                                     Bstr(Known::Writable()).Get(), &code));
        EXPECT_EQ(MAXDWORD, MsToExit(pid, 0)) << "the broker ended while in use";
    }
    const DWORD ms = MsToExit(pid, 5000);
    EXPECT_NE(MAXDWORD, ms) << "broker " << pid << " still runs";
    std::printf("broker ended %lu ms after the last release\n", ms);
}

TEST(BrokerLifetime, EndsWithinASecondOfItsClientsDeath) {
    // A child client activates a broker as the library does (through the
    // Global Interface Table, whose reference Wine never gives back) and
    // reports the broker's process id.
    ScratchDir scratch("broker-child");
    const UniqueHandle child =
        StartProcess("\"" + ProgramFolder() + "\\broker_lifetime.exe\" --child-client \"" +
                     scratch / "pid" + "\"");
    ASSERT_TRUE(child) << Describe(GetLastError());
    DWORD brokerPid = 0;
    for (int i = 0; i < 200 && !brokerPid; ++i, Sleep(50))
        brokerPid = std::strtoul(ReadFileText(scratch / "pid").c_str(), nullptr, 10);
    ASSERT_NE(0u, brokerPid) << "the child reported no broker";
    ASSERT_EQ(MAXDWORD, MsToExit(brokerPid, 0));
    ASSERT_TRUE(TerminateProcess(child.Get(), 9));
    WaitForSingleObject(child.Get(), 5000);
    const DWORD ms = MsToExit(brokerPid, 3000);
    EXPECT_LE(ms, 1000u) << "broker " << brokerPid << " outlived its client by " << ms << " ms";
    std::printf("broker ended %lu ms after its client was killed\n", ms);
}

TEST(BrokerLifetime, ABrokerNobodyActivatedEndsAtOnce) {
    const UniqueHandle broker = StartProcess("\"" + ProgramFolder() + "\\veskobroker.exe\"");
    DWORD exitCode = 0;
    ASSERT_TRUE(broker) << Describe(GetLastError());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(broker.Get(), 5000));
    EXPECT_TRUE(GetExitCodeProcess(broker.Get(), &exitCode));
    EXPECT_EQ(2u, exitCode);
}

TEST(BrokerLifetime, ActivationFailsWhenTheClassIsNotRegistered) {
    ComPtr<IBroker> broker;
    {
        BrokerUnregistered gone;
        ASSERT_TRUE(gone.ok) << "the broker is registered to begin with";
        // Windows and 64-bit Wine say the class is not registered; Wine's
        // WoW64 mode, for a 32-bit client, that its server key is missing.
        const HRESULT hr = Activate(broker);
        EXPECT_TRUE(hr == REGDB_E_CLASSNOTREG || hr == REGDB_E_KEYMISSING) << Describe(hr);
    }
    EXPECT_EQ(S_OK, Activate(broker)) << "registered again";
}

}  // namespace
}  // namespace vesko::test
