// The broker's disc methods: one virtual recorder driven across the process
// boundary, its events seen here on the seven named events the broker names
// for this client (ICDWrite2::GetEventNames) and the records fetched with
// GetEventData, as the library's relay does.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "brokersession.h"
#include "cdprogress.h"

namespace vesko::test {
namespace {

class BrokerDisc : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(disc);
        ASSERT_EQ(S_OK, disc.As(&disc2)) << "a broker of contract version 2";
        const std::vector<std::string> names = EventNames();
        ASSERT_EQ(names.size(), 7u);
        for (int i = 0; i < 7; ++i) {
            events[i].Reset(OpenEventA(SYNCHRONIZE, FALSE, names[i].c_str()));
            ASSERT_TRUE(events[i]) << names[i] << ": " << Describe(GetLastError());
            handles[i] = events[i].Get();
        }
        ASSERT_EQ(S_OK, disc->Initialize(id.Get()));
    }
    // The names GetEventNames gives now, split at '|'.
    std::vector<std::string> EventNames() {
        UniqueBstr joined;
        std::vector<std::string> names;
        if (disc2->GetEventNames(id.Get(), joined.Receive()) != S_OK)
            return names;
        std::string text = Text(joined.Get());
        for (size_t start = 0;;) {
            const size_t bar = text.find('|', start);
            names.push_back(text.substr(start, bar - start));
            if (bar == std::string::npos)
                break;
            start = bar + 1;
        }
        return names;
    }
    void TearDown() override {
        if (disc)
            disc->Uninitialize(id.Get());
    }

    // Relays like the library (the lowest signalled index first) until
    // eventId last arrives or nothing comes within timeoutMs, as
    // "1 4(first,second,third) ... 6(first,second,third)".
    std::string RunUntil(DWORD last, DWORD timeoutMs = 10000, const HANDLE* on = nullptr) {
        std::string seen;
        for (DWORD eventId = 0; eventId != last;) {
            const DWORD woke = WaitForMultipleObjects(7, on ? on : handles, FALSE, timeoutMs);
            if (woke >= WAIT_OBJECT_0 + 7)
                return seen + " (time-out)";
            eventId = woke - WAIT_OBJECT_0 + 1;
            seen += (seen.empty() ? "" : " ") + std::to_string(eventId);
            CDEventRecord r{};
            if (eventId > 1 && disc->GetEventData(id.Get(), eventId, &r) != S_OK)
                seen += "(failed)";
            else if (eventId > 1)
                seen += "(" + std::to_string(r.first) + "," + std::to_string(r.second) + "," +
                        std::to_string(r.third) + ")";
        }
        return seen;
    }
    // "<SetDrive hr>/<error> <IsValid> <GetDrive error>:<as set?> <space error>:<space>".
    std::string SetDrive(const std::string& text) {
        DWORD errors[3] = {99, 99, 99}, valid = 99;
        ULONGLONG space = 0;
        BSTR drive = nullptr;
        const HRESULT hr = disc->SetDrive(id.Get(), Bstr(text).Get(), &errors[0]);
        disc->IsValid(id.Get(), &valid);
        disc->GetDrive(id.Get(), &drive, &errors[1]);
        const bool asSet = Text(UniqueBstr(drive).Get()) == text;
        disc->GetDriveAvailSpace(id.Get(), &space, &errors[2]);
        return std::to_string(hr) + "/" + std::to_string(errors[0]) + " " + std::to_string(valid) +
               " " + std::to_string(errors[1]) + (asSet ? ":<as set> " : ":<other> ") +
               std::to_string(errors[2]) + ":" + std::to_string(space);
    }

    ComPtr<ICDWrite> disc = Shared().Get<ICDWrite>();
    ComPtr<ICDWrite2> disc2;
    UniqueBstr id = Bstr(Identity());
    UniqueHandle events[7];
    HANDLE handles[7] = {};
};

TEST_F(BrokerDisc, BurnAndEraseRelayProgressAndResultRecords) {
    const std::string drive = Shared().root / "disc", source = Shared().wellKnown + "\\source.bin";
    ASSERT_TRUE(CreateDirectoryA(drive.c_str(), nullptr));
    ASSERT_TRUE(WriteFileText(source, std::string(600 * 1024, 'v')));
    EXPECT_EQ("0/0 1 0:<as set> 0:10000000", SetDrive(drive + "?size=10000000"));

    ASSERT_EQ(S_OK, disc->StartBurn(id.Get(), Bstr(source).Get(), 1));
    // Burn progress, then verify progress, each of the 600 KiB in all and at most 600 done;
    // then the result (burn, CD::eOK) and the end of operation 1.
    const std::string kiB = ",600,(600|[1-5]?[0-9]?[0-9])\\)";
    const std::string burn = RunUntil(6);
    EXPECT_TRUE(std::regex_match(
        burn,
        std::regex("1( 4\\(" + std::to_string(CD::eProgressBurn) + kiB + ")+( 4\\(" +
                   std::to_string(CD::eProgressVerify) + kiB + ")+ 5\\(1,0,0\\) 6\\(1,0,0\\)")))
        << burn;
    EXPECT_EQ(std::string(600 * 1024, 'v'), ReadFileText(drive + "\\source.bin"));
    DWORD busy = 1;
    EXPECT_EQ(S_OK, disc->IsBusy(id.Get(), &busy));
    EXPECT_EQ(0u, busy);

    ASSERT_EQ(S_OK, disc->StartErase(id.Get(), 0));
    EXPECT_EQ("1 5(2,0,0) 6(2,0,0)", RunUntil(6));
    EXPECT_FALSE(Exists(drive + "\\source.bin"));
}

// Events are published in the recorder's order, one at a time: the next only once the relay
// fetched the one before. Two jobs that ran while nobody fetched arrive whole, neither merged
// into the other.
TEST_F(BrokerDisc, TwoJobsBeforeAnyFetchArriveInOrderAndUnmerged) {
    const std::string drive = Shared().root / "disc2";
    ASSERT_TRUE(CreateDirectoryA(drive.c_str(), nullptr));
    ASSERT_EQ("0/0 1 0:<as set> 0:4194304", SetDrive(drive + "?size=4194304"));
    const auto query = [&] {
        ASSERT_EQ(S_OK, disc->StartGetDriveAvailSpace(id.Get()));
        DWORD busy = 1;
        for (int i = 0; i < 500 && busy; ++i, Sleep(10))
            disc->IsBusy(id.Get(), &busy);
        ASSERT_EQ(0u, busy) << "the space query did not end";
    };
    // Two space queries, the second after 1 MiB went onto the disc; nobody fetches in between.
    query();
    ASSERT_TRUE(WriteFileText(drive + "\\on-disc.bin", std::string(1 << 20, 'd')));
    query();
    // Signalled so far: the first job's start and its result, which waits for its fetch.
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(handles[5], 0))
        << "eventId 6 signalled before eventId 3 was fetched";
    EXPECT_EQ("1 3(4096,0,0) 6(3,0,0)", RunUntil(6));
    EXPECT_EQ("1 3(3072,0,0) 6(3,0,0)", RunUntil(6));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForMultipleObjects(7, handles, FALSE, 0));
    // Signals and events nobody fetched go with the client.
    query();
    EXPECT_EQ(S_OK, disc->Uninitialize(id.Get()));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForMultipleObjects(7, handles, FALSE, 0));
    EXPECT_EQ(S_OK, disc->Initialize(id.Get()));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForMultipleObjects(7, handles, FALSE, 100));
}

// Each client is handed names of its own, of this broker process; the client that holds the
// recorder keeps its set, and only the set handed out last is signalled.
TEST_F(BrokerDisc, EachClientGetsItsOwnEventNamesAndOnlyThoseAreSignalled) {
    const std::vector<std::string> held = EventNames();
    ASSERT_EQ(S_OK, disc->Uninitialize(id.Get()));
    const std::vector<std::string> next = EventNames(), last = EventNames();
    ASSERT_EQ(next.size(), 7u);
    ASSERT_EQ(last.size(), 7u);
    const std::string pid = "." + std::to_string(Shared().ProcessId()) + ".";
    for (int i = 0; i < 7; ++i) {
        EXPECT_NE(held[i], next[i]);
        EXPECT_NE(next[i], last[i]);
        EXPECT_NE(last[i].find(pid), std::string::npos) << last[i];
    }
    ASSERT_EQ(S_OK, disc->Initialize(id.Get()));
    EXPECT_EQ(EventNames(), last) << "the client holding the recorder keeps its set";
    UniqueBstr none;
    EXPECT_EQ(
        E_ACCESSDENIED,
        disc2->GetEventNames(Bstr("{11111111-2222-3333-4444-555555555555}").Get(), none.Receive()));
    // The fixture's set (held) is no longer signalled; last is.
    UniqueHandle fresh[7];
    HANDLE freshHandles[7] = {};
    for (int i = 0; i < 7; ++i) {
        fresh[i].Reset(OpenEventA(SYNCHRONIZE, FALSE, last[i].c_str()));
        freshHandles[i] = fresh[i].Get();
    }
    ASSERT_EQ(S_OK, disc->StartValidateDrive(id.Get()));
    EXPECT_EQ("1 2(2,0,0) 6(4,0,0)", RunUntil(6, 5000, freshHandles));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForMultipleObjects(7, handles, FALSE, 0));
}

TEST_F(BrokerDisc, RefusesDiscFoldersAndSourcesOutsideThePolicy) {
    // Refused with the error reserved for a broker failure; no drive selected.
    const std::string none = std::to_string(E_ACCESSDENIED) + "/1 0 2:<other> 2:0";
    EXPECT_EQ(none, SetDrive(Shared().outside.Path() + "?cd"));
    EXPECT_EQ(none, SetDrive("C:\\windows"));
    const std::string drive = Shared().root / "disc3", secret = Shared().outside / "secret.txt";
    ASSERT_TRUE(CreateDirectoryA(drive.c_str(), nullptr));
    EXPECT_EQ("0/0 1 0:<as set> 0:737280000", SetDrive(drive));
    ASSERT_TRUE(WriteFileText(secret, "secret"));
    EXPECT_EQ(E_ACCESSDENIED, disc->StartBurn(id.Get(), Bstr(secret).Get(), 0));
    EXPECT_EQ("5(1,1,0)", RunUntil(5, 2000)) << "a refused burn reports burn, broker failure";
    EXPECT_FALSE(Exists(drive + "\\secret.txt"));
}

TEST_F(BrokerDisc, InitializeBracketsOneClientThatShowsTheIdentityAndValidatesAsAJob) {
    UniqueBstr wrong = Bstr("{11111111-2222-3333-4444-555555555555}");
    DWORD value = 7;
    CDEventRecord record{};
    EXPECT_EQ(E_ACCESSDENIED, disc->IsValid(wrong.Get(), &value));
    EXPECT_EQ(E_ACCESSDENIED, disc->StartErase(wrong.Get(), 1));
    EXPECT_EQ(E_ACCESSDENIED, disc->GetEventData(wrong.Get(), 3, &record));
    EXPECT_EQ(E_ACCESSDENIED, disc->Initialize(wrong.Get()));
    EXPECT_EQ(E_INVALIDARG, disc->GetEventData(id.Get(), 1, &record));
    EXPECT_EQ(E_INVALIDARG, disc->GetEventData(id.Get(), 8, &record));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_BUSY), disc->Initialize(id.Get()));
    EXPECT_EQ(S_OK, disc->Uninitialize(id.Get()));
    // No client holds the recorder now.
    EXPECT_EQ(E_UNEXPECTED, disc->IsValid(id.Get(), &value));
    EXPECT_EQ(E_UNEXPECTED, disc->Cancel(id.Get()));
    EXPECT_EQ(E_UNEXPECTED, disc->Stop(id.Get()));
    EXPECT_EQ(S_FALSE, disc->Uninitialize(id.Get()));
    EXPECT_EQ(S_OK, disc->Initialize(id.Get()));
    EXPECT_EQ(S_OK, disc->ValidateDrive(id.Get(), &value));
    EXPECT_EQ(2u, value) << "a new client starts without a drive (CD::eNoDrive)";
    // Validation runs as a job: CD::eInvalidDrive for a missing folder, operation 4.
    EXPECT_EQ(S_OK, disc->SetDrive(id.Get(), Bstr(Shared().root / "missing").Get(), &value));
    ASSERT_EQ(S_OK, disc->StartValidateDrive(id.Get()));
    EXPECT_EQ("1 2(3,0,0) 6(4,0,0)", RunUntil(6));
}

}  // namespace
}  // namespace vesko::test
