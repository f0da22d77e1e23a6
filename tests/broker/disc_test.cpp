// The broker's disc methods: one virtual recorder driven across the process
// boundary, its events seen here on the seven named events, and the records
// fetched with GetEventData, as the library's relay does.
#include <gtest/gtest.h>

#include "brokersession.h"
#include "cdprogress.h"

namespace vesko::test {
namespace {

const char* const kNames[7] = {
    "C59DA682-1DA9-4d58-AA40-751BFCBDF8E1", "D6A1C2BF-CF8A-4796-B8B8-2DF8D1CF03DD",
    "0B6B84E3-785B-4731-9C75-A5743CACCC09", "630A0305-0041-4dc5-9719-AA9797769F6B",
    "99F98F35-B401-4d6d-A40C-360C9E599C24", "6232A8C7-9548-447c-B261-8EEBD014531A",
    "F27CEF48-2DC9-4b08-8A09-ADC22A18B24B"};

class BrokerDisc : public testing::Test {
  protected:
    void SetUp() override {
        disc = Shared().Session().Get<ICDWrite>();
        ASSERT_TRUE(disc);
        for (int i = 0; i < 7; ++i) {
            events[i].Reset(OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, kNames[i]));
            ASSERT_TRUE(events[i])
                << "the broker has not created " << kNames[i] << ": " << Describe(GetLastError());
            handles[i] = events[i].Get();
        }
        const HRESULT hr = disc->Initialize(id.Get());
        ASSERT_EQ(S_OK, hr) << Describe(static_cast<DWORD>(hr));
    }
    void TearDown() override {
        if (disc)
            disc->Uninitialize(id.Get());
    }

    // Relays like the library, the lowest signalled index first, until
    // eventId last arrives or nothing comes within timeoutMs. Returns the
    // events as "1 4(kind,KiB in all,KiB done) 5(first,second) 6(first)";
    // the progress records go to progress.
    std::string RunUntil(DWORD last, DWORD timeoutMs = 10000,
                         std::vector<CDEventRecord>* progress = nullptr) {
        std::string seen;
        for (DWORD eventId = 0; eventId != last;) {
            const DWORD woke = WaitForMultipleObjects(7, handles, FALSE, timeoutMs);
            if (woke >= WAIT_OBJECT_0 + 7)
                return seen + " (time-out)";
            eventId = woke - WAIT_OBJECT_0 + 1;
            CDEventRecord r{};
            EXPECT_EQ(S_OK, eventId > 1 ? disc->GetEventData(id.Get(), eventId, &r) : S_OK)
                << eventId;
            if (eventId == 4 && progress)
                progress->push_back(r);
            std::string fields = "(" + std::to_string(r.first);
            if (eventId == 4 || eventId == 5)
                fields += "," + std::to_string(r.second);
            if (eventId == 4)
                fields += "," + std::to_string(r.third);
            seen += (seen.empty() ? "" : " ") + std::to_string(eventId) +
                    (eventId > 1 ? fields + ")" : "");
        }
        return seen;
    }
    // SetDrive's HRESULT and error, then "valid drive space" as the broker
    // reports them.
    std::string SetDrive(const std::string& text) {
        DWORD error = 99, valid = 99;
        const HRESULT hr = disc->SetDrive(id.Get(), Bstr(text).Get(), &error);
        std::string out = std::to_string(hr) + "/" + std::to_string(error) + " ";
        BSTR drive = nullptr;
        ULONGLONG space = 0;
        disc->IsValid(id.Get(), &valid);
        disc->GetDrive(id.Get(), &drive, &error);
        UniqueBstr owned(drive);
        out += std::to_string(valid) + " " + std::to_string(error) + ":" +
               (drive && Wide(text) == drive ? "<as set>" : "<other>");
        disc->GetDriveAvailSpace(id.Get(), &space, &error);
        return out + " " + std::to_string(error) + ":" + std::to_string(space);
    }

    ComPtr<ICDWrite> disc;
    UniqueBstr id = Bstr(Identity());
    UniqueHandle events[7];
    HANDLE handles[7] = {};
};

TEST_F(BrokerDisc, BurnAndEraseRelayProgressAndResultRecords) {
    const std::string drive = Shared().PolicyRoot() + "\\disc";
    ASSERT_TRUE(CreateDirectoryA(drive.c_str(), nullptr));
    const std::string source = Shared().WellKnown() + "\\burn-source.bin";
    ASSERT_TRUE(WriteFileText(source, std::string(600 * 1024, 'v')));
    EXPECT_EQ("0/0 1 0:<as set> 0:10000000", SetDrive(drive + "?size=10000000"));

    ASSERT_EQ(S_OK, disc->StartBurn(id.Get(), Bstr(source).Get(), 1));
    std::vector<CDEventRecord> progress;
    const std::string burn = RunUntil(6, 10000, &progress);
    EXPECT_EQ("1 ", burn.substr(0, 2)) << burn;
    const std::string end = " 5(1,0) 6(1)";  // burn, CD::eOK; operation 1
    EXPECT_EQ(end, burn.substr(burn.size() - std::min(burn.size(), end.size()))) << burn;
    // Burn and verify progress, each of the 600 KiB in all.
    std::string kinds;
    for (const CDEventRecord& r : progress) {
        EXPECT_TRUE(r.second == 600 && r.third <= 600) << burn;
        if (kinds.find(std::to_string(r.first)) == std::string::npos)
            kinds += std::to_string(r.first);
    }
    EXPECT_EQ(std::to_string(CD::eProgressBurn) + std::to_string(CD::eProgressVerify), kinds)
        << burn;
    EXPECT_EQ(std::string(600 * 1024, 'v'), ReadFileText(drive + "\\burn-source.bin"));
    DWORD busy = 1;
    EXPECT_EQ(S_OK, disc->IsBusy(id.Get(), &busy));
    EXPECT_EQ(0u, busy);

    ASSERT_EQ(S_OK, disc->StartErase(id.Get(), 0));
    EXPECT_EQ("1 5(2,0) 6(2)", RunUntil(6));
    EXPECT_FALSE(Exists(drive + "\\burn-source.bin"));
}

TEST_F(BrokerDisc, TwoSignalsBeforeOneWaitAreRelayedOnceWithTheLatestRecord) {
    const std::string drive = Shared().PolicyRoot() + "\\disc2";
    ASSERT_TRUE(CreateDirectoryA(drive.c_str(), nullptr));
    DWORD error = 0;
    ASSERT_EQ(S_OK, disc->SetDrive(id.Get(), Bstr(drive + "?size=4194304").Get(), &error));
    // Two space queries, the second after a file went onto the disc; nobody
    // waits in between.
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
    // The jobs' own start and end signals are not this test's subject.
    ResetEvent(handles[0]);
    ResetEvent(handles[5]);
}

TEST_F(BrokerDisc, RefusesDiscFoldersAndSourcesOutsideThePolicy) {
    // Refused with the error reserved for a broker failure; no drive selected.
    const std::string none = std::to_string(E_ACCESSDENIED) + "/1 0 2:<other> 2:0";
    EXPECT_EQ(none, SetDrive(Shared().Outside() + "?cd"));
    EXPECT_EQ(none, SetDrive("C:\\windows"));

    const std::string drive = Shared().PolicyRoot() + "\\disc3";
    ASSERT_TRUE(CreateDirectoryA(drive.c_str(), nullptr));
    EXPECT_EQ("0/0 1 0:<as set> 0:734003200", SetDrive(drive));
    const std::string secret = Shared().Outside() + "\\secret.txt";
    ASSERT_TRUE(WriteFileText(secret, "secret"));
    EXPECT_EQ(E_ACCESSDENIED, disc->StartBurn(id.Get(), Bstr(secret).Get(), 0));
    // A refused burn still reports its result: burn, broker failure.
    EXPECT_EQ("5(1,1)", RunUntil(5, 2000));
    EXPECT_FALSE(Exists(drive + "\\secret.txt"));
}

TEST_F(BrokerDisc, InitializeBracketsOneClient) {
    const HRESULT second = disc->Initialize(id.Get());
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_BUSY), second) << Describe(static_cast<DWORD>(second));
    EXPECT_EQ(S_OK, disc->Uninitialize(id.Get()));
    DWORD valid = 5;
    EXPECT_EQ(E_UNEXPECTED, disc->IsValid(id.Get(), &valid)) << "no client holds the recorder";
    EXPECT_EQ(S_FALSE, disc->Uninitialize(id.Get()));
    EXPECT_EQ(S_OK, disc->Initialize(id.Get()));
    // A new client starts without a drive.
    EXPECT_EQ(S_OK, disc->ValidateDrive(id.Get(), &valid));
    EXPECT_EQ(2u, valid) << "CD::eNoDrive";
}

TEST_F(BrokerDisc, ValidationRunsAsAJobWithItsEvents) {
    DWORD error = 0;
    ASSERT_EQ(S_OK, disc->SetDrive(id.Get(), Bstr(Shared().PolicyRoot() + "\\missing-disc").Get(),
                                   &error));
    ASSERT_EQ(S_OK, disc->StartValidateDrive(id.Get()));
    // CD::eInvalidDrive for a missing folder; operation 4, validation.
    EXPECT_EQ("1 2(3) 6(4)", RunUntil(6));
}

TEST_F(BrokerDisc, WrongIdentityIsRefused) {
    UniqueBstr wrong = Bstr(std::string("{11111111-2222-3333-4444-555555555555}"));
    DWORD value = 7;
    EXPECT_EQ(E_ACCESSDENIED, disc->IsValid(wrong.Get(), &value));
    EXPECT_EQ(E_ACCESSDENIED, disc->StartErase(wrong.Get(), 1));
    CDEventRecord record{};
    EXPECT_EQ(E_ACCESSDENIED, disc->GetEventData(wrong.Get(), 3, &record));
    EXPECT_EQ(E_ACCESSDENIED, disc->Initialize(wrong.Get()));
    EXPECT_EQ(E_INVALIDARG, disc->GetEventData(id.Get(), 1, &record));
}

}  // namespace
}  // namespace vesko::test
