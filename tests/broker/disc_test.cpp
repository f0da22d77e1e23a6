// The broker's disc methods: one virtual recorder driven across the process
// boundary, its events seen here on the seven named events and the records
// fetched with GetEventData, as the library's relay does.
#include <gtest/gtest.h>

#include <regex>

#include "brokersession.h"
#include "cdprogress.h"

namespace vesko::test {
namespace {

class BrokerDisc : public testing::Test {
  protected:
    void SetUp() override {
        const char* const names[7] = {
            "C59DA682-1DA9-4d58-AA40-751BFCBDF8E1", "D6A1C2BF-CF8A-4796-B8B8-2DF8D1CF03DD",
            "0B6B84E3-785B-4731-9C75-A5743CACCC09", "630A0305-0041-4dc5-9719-AA9797769F6B",
            "99F98F35-B401-4d6d-A40C-360C9E599C24", "6232A8C7-9548-447c-B261-8EEBD014531A",
            "F27CEF48-2DC9-4b08-8A09-ADC22A18B24B"};
        for (int i = 0; i < 7; ++i) {
            events[i].Reset(OpenEventA(SYNCHRONIZE, FALSE, names[i]));
            ASSERT_TRUE(events[i]) << names[i] << ": " << Describe(GetLastError());
            handles[i] = events[i].Get();
        }
        ASSERT_TRUE(disc);
        ASSERT_EQ(S_OK, disc->Initialize(id.Get()));
    }
    void TearDown() override {
        if (disc)
            disc->Uninitialize(id.Get());
    }

    // Relays like the library (the lowest signalled index first) until
    // eventId last arrives or nothing comes within timeoutMs, as
    // "1 4(first,second,third) ... 6(first,second,third)".
    std::string RunUntil(DWORD last, DWORD timeoutMs = 10000) {
        std::string seen;
        for (DWORD eventId = 0; eventId != last;) {
            const DWORD woke = WaitForMultipleObjects(7, handles, FALSE, timeoutMs);
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

TEST_F(BrokerDisc, TwoSignalsBeforeOneWaitAreRelayedOnceWithTheLatestRecord) {
    const std::string drive = Shared().root / "disc2";
    ASSERT_TRUE(CreateDirectoryA(drive.c_str(), nullptr));
    ASSERT_EQ("0/0 1 0:<as set> 0:4194304", SetDrive(drive + "?size=4194304"));
    // Two space queries, the second after 1 MiB went onto the disc; nobody waits in between.
    for (int query = 0; query < 2; ++query) {
        ASSERT_TRUE(query == 0 ||
                    WriteFileText(drive + "\\on-disc.bin", std::string(1 << 20, 'd')));
        ASSERT_EQ(S_OK, disc->StartGetDriveAvailSpace(id.Get()));
        DWORD busy = 1;
        for (int i = 0; i < 500 && busy; ++i, Sleep(10))
            disc->IsBusy(id.Get(), &busy);
        ASSERT_EQ(0u, busy) << "the space query did not end";
    }
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(handles[2], 0)) << "eventId 3 not signalled";
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(handles[2], 0))
        << "an auto-reset event wakes one wait";
    CDEventRecord record{};
    EXPECT_EQ(S_OK, disc->GetEventData(id.Get(), 3, &record));
    EXPECT_EQ(3072u, record.first) << "free KiB after the second query";
    // The jobs' start and end signals nobody waited for go with the client.
    EXPECT_EQ(S_OK, disc->Uninitialize(id.Get()));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForMultipleObjects(7, handles, FALSE, 0));
    EXPECT_EQ(S_OK, disc->Initialize(id.Get()));
}

TEST_F(BrokerDisc, RefusesDiscFoldersAndSourcesOutsideThePolicy) {
    // Refused with the error reserved for a broker failure; no drive selected.
    const std::string none = std::to_string(E_ACCESSDENIED) + "/1 0 2:<other> 2:0";
    EXPECT_EQ(none, SetDrive(Shared().outside.Path() + "?cd"));
    EXPECT_EQ(none, SetDrive("C:\\windows"));
    const std::string drive = Shared().root / "disc3", secret = Shared().outside / "secret.txt";
    ASSERT_TRUE(CreateDirectoryA(drive.c_str(), nullptr));
    EXPECT_EQ("0/0 1 0:<as set> 0:734003200", SetDrive(drive));
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
