// The broker's disc methods: one virtual recorder driven across the process
// boundary, its events seen here on the seven named events, and the records
// fetched with GetEventData, as the library's relay does.
#include <gtest/gtest.h>

#include "cdprogress.h"
#include "sharedbroker.h"

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
        id = Bstr(Identity());
        for (int i = 0; i < 7; ++i) {
            events[i].Reset(OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, kNames[i]));
            ASSERT_TRUE(events[i])
                << "the broker has not created " << kNames[i] << ": " << Describe(GetLastError());
        }
        const HRESULT hr = disc->Initialize(id.Get());
        ASSERT_EQ(S_OK, hr) << Describe(hr);
    }
    void TearDown() override {
        if (disc)
            disc->Uninitialize(id.Get());
    }

    // Waits like the relay: the lowest signalled index first. Returns the
    // eventId (1 to 7) or 0 on time-out, and the record fetched for it.
    DWORD Next(CDEventRecord& record, DWORD timeoutMs = 10000) {
        HANDLE handles[7];
        for (int i = 0; i < 7; ++i)
            handles[i] = events[i].Get();
        const DWORD woke = WaitForMultipleObjects(7, handles, FALSE, timeoutMs);
        if (woke >= WAIT_OBJECT_0 + 7)
            return 0;
        const DWORD eventId = woke - WAIT_OBJECT_0 + 1;
        record = CDEventRecord{};
        if (eventId > 1) {
            EXPECT_EQ(S_OK, disc->GetEventData(id.Get(), eventId, &record));
        }
        return eventId;
    }
    // Relays until eventId `last` arrives; returns the ids seen in order.
    std::vector<DWORD> RunUntil(DWORD last, std::vector<CDEventRecord>* records = nullptr) {
        std::vector<DWORD> seen;
        for (int i = 0; i < 10000; ++i) {
            CDEventRecord record{};
            const DWORD eventId = Next(record);
            if (eventId == 0)
                break;
            seen.push_back(eventId);
            if (records)
                records->push_back(record);
            if (eventId == last)
                break;
        }
        return seen;
    }
    ComPtr<ICDWrite> disc;
    UniqueBstr id;
    UniqueHandle events[7];
};

TEST_F(BrokerDisc, BurnRelaysProgressAndResultRecords) {
    const std::string drive = Shared().PolicyRoot() + "\\disc";
    ASSERT_TRUE(CreateDirectoryA(drive.c_str(), nullptr));
    const std::string source = Shared().WellKnown() + "\\burn-source.bin";
    ASSERT_TRUE(WriteFileText(source, std::string(600 * 1024, 'v')));
    DWORD error = 99;
    ASSERT_EQ(S_OK, disc->SetDrive(id.Get(), Bstr(drive + "?size=10000000").Get(), &error));
    EXPECT_EQ(0u, error);
    DWORD valid = 0;
    EXPECT_EQ(S_OK, disc->IsValid(id.Get(), &valid));
    EXPECT_EQ(1u, valid);
    BSTR text = nullptr;
    EXPECT_EQ(S_OK, disc->GetDrive(id.Get(), &text, &error));
    UniqueBstr owned(text);
    EXPECT_EQ(Wide(drive + "?size=10000000"), std::wstring(text ? text : L""));
    ULONGLONG space = 0;
    EXPECT_EQ(S_OK, disc->GetDriveAvailSpace(id.Get(), &space, &error));
    EXPECT_EQ(0u, error);
    EXPECT_EQ(10000000ull, space);

    ASSERT_EQ(S_OK, disc->StartBurn(id.Get(), Bstr(source).Get(), 1));
    std::vector<CDEventRecord> records;
    const std::vector<DWORD> seen = RunUntil(6, &records);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(1u, seen.front());
    EXPECT_EQ(6u, seen.back());
    EXPECT_EQ(1u, records.back().first) << "event 6 of a burn carries operation 1";
    bool sawBurn = false, sawVerify = false, sawResult = false;
    for (size_t i = 0; i < seen.size(); ++i) {
        const CDEventRecord& r = records[i];
        if (seen[i] == 4) {
            // first = kind, second = KiB in all, third = KiB done.
            EXPECT_TRUE(r.first == CD::eProgressBurn || r.first == CD::eProgressVerify) << r.first;
            EXPECT_EQ(600u, r.second) << "total KiB";
            EXPECT_LE(r.third, r.second) << "done " << r.third << " of " << r.second;
            sawBurn = sawBurn || r.first == CD::eProgressBurn;
            sawVerify = sawVerify || r.first == CD::eProgressVerify;
        }
        if (seen[i] == 5) {
            EXPECT_EQ(1u, r.first) << "operation";
            EXPECT_EQ(0u, r.second) << "CD::EError of the burn";
            sawResult = true;
        }
    }
    EXPECT_TRUE(sawBurn);
    EXPECT_TRUE(sawVerify);
    EXPECT_TRUE(sawResult);
    EXPECT_EQ(std::string(600 * 1024, 'v'), ReadFileText(drive + "\\burn-source.bin"));
    DWORD busy = 1;
    EXPECT_EQ(S_OK, disc->IsBusy(id.Get(), &busy));
    EXPECT_EQ(0u, busy);

    // Erase: the disc folder empties, the result says operation 2.
    ASSERT_EQ(S_OK, disc->StartErase(id.Get(), 0));
    records.clear();
    const std::vector<DWORD> erase = RunUntil(6, &records);
    ASSERT_FALSE(erase.empty());
    EXPECT_EQ(2u, records.back().first);
    EXPECT_FALSE(Exists(drive + "\\burn-source.bin"));
}

TEST_F(BrokerDisc, TwoSignalsBeforeOneWaitAreRelayedOnceWithTheLatestRecord) {
    const std::string drive = Shared().PolicyRoot() + "\\disc2";
    ASSERT_TRUE(CreateDirectoryA(drive.c_str(), nullptr));
    DWORD error = 0;
    ASSERT_EQ(S_OK, disc->SetDrive(id.Get(), Bstr(drive + "?size=4194304").Get(), &error));
    // Two space queries, the second after a file went onto the disc; nobody
    // waits in between.
    auto query = [&] {
        ASSERT_EQ(S_OK, disc->StartGetDriveAvailSpace(id.Get()));
        DWORD busy = 1;
        for (int i = 0; i < 500 && busy; ++i) {
            Sleep(10);
            disc->IsBusy(id.Get(), &busy);
        }
        ASSERT_EQ(0u, busy) << "the space query did not end";
    };
    query();
    ASSERT_TRUE(WriteFileText(drive + "\\on-disc.bin", std::string(1024 * 1024, 'd')));
    query();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(events[2].Get(), 0)) << "eventId 3 not signalled";
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(events[2].Get(), 0))
        << "an auto-reset event wakes one wait";
    CDEventRecord record{};
    EXPECT_EQ(S_OK, disc->GetEventData(id.Get(), 3, &record));
    EXPECT_EQ(3072u, record.first) << "free KiB after the second query";
    // The jobs' own start and end signals are not this test's subject.
    for (HANDLE e : {events[0].Get(), events[5].Get()})
        ResetEvent(e);
}

TEST_F(BrokerDisc, RefusesDiscFoldersAndSourcesOutsideThePolicy) {
    DWORD error = 0;
    EXPECT_EQ(E_ACCESSDENIED,
              disc->SetDrive(id.Get(), Bstr(Shared().Outside() + "?cd").Get(), &error));
    EXPECT_EQ(1u, error) << "the error reserved for a broker failure";
    EXPECT_EQ(E_ACCESSDENIED,
              disc->SetDrive(id.Get(), Bstr(std::string("C:\\windows")).Get(), &error));
    BSTR text = nullptr;
    EXPECT_EQ(S_OK, disc->GetDrive(id.Get(), &text, &error));
    UniqueBstr owned(text);
    EXPECT_EQ(2u, error) << "no drive was selected";

    const std::string drive = Shared().PolicyRoot() + "\\disc3";
    ASSERT_TRUE(CreateDirectoryA(drive.c_str(), nullptr));
    ASSERT_EQ(S_OK, disc->SetDrive(id.Get(), Bstr(drive).Get(), &error));
    const std::string secret = Shared().Outside() + "\\secret.txt";
    ASSERT_TRUE(WriteFileText(secret, "secret"));
    EXPECT_EQ(E_ACCESSDENIED, disc->StartBurn(id.Get(), Bstr(secret).Get(), 0));
    CDEventRecord record{};
    ASSERT_EQ(5u, Next(record, 2000)) << "a refused burn reports its result";
    EXPECT_EQ(1u, record.first);
    EXPECT_EQ(1u, record.second);
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
    std::vector<CDEventRecord> records;
    const std::vector<DWORD> seen = RunUntil(6, &records);
    ASSERT_EQ((std::vector<DWORD>{1, 2, 6}), seen);
    EXPECT_EQ(3u, records[1].first) << "CD::eInvalidDrive for a missing folder";
    EXPECT_EQ(4u, records[2].first) << "operation 4, validation";
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
