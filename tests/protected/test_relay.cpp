// The disc event relay of the broker-backed disc export service: the worker
// waits on the seven named events the broker shares, fetches each event's
// record from ICDWrite and posts the Observable events the host sees in
// direct mode. ICDWrite is served here by an in-process object registered in
// the Global Interface Table like the broker's, so that the tests decide
// when the worker is busy and what each record holds.
#include <gtest/gtest.h>

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Callback.h>
#include <ace/Log_Record.h>

#include <cdprogress.h>
#include <cdresult.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "brokerfakes.h"
#include "cdwriteprotected.h"
#include "protectedtestsupport.h"

using namespace vesko::test;

namespace {

struct Seen {
    unsigned int eventId;
    ULONG_PTR value;  // data bits for 1, 2, 3, 6, 7
    unsigned int kind;
    unsigned long first;   // CDProgress value1 / CDResult first
    unsigned long second;  // CDProgress value2 / CDResult second
};

std::string Describe(const std::vector<Seen>& seen) {
    std::string text;
    for (const Seen& s : seen)
        text += std::to_string(s.eventId) + " ";
    return "[" + text + "]";
}

// Records every event and, as the consumer, frees the records of 4 and 5.
class Recorder : public Observer {
  public:
    Recorder() : m_hArrived(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~Recorder() override { CloseHandle(m_hArrived); }

    void OnEvent(Observable*, unsigned int eventId, void* data) override {
        Seen seen = {eventId, reinterpret_cast<ULONG_PTR>(data), 0, 0, 0};
        if (eventId == 4) {
            std::unique_ptr<CDProgress> progress(static_cast<CDProgress*>(data));
            seen.kind = progress->GetKind();
            seen.first = progress->GetValue1();
            seen.second = progress->GetValue2();
        } else if (eventId == 5) {
            std::unique_ptr<CDResult> result(static_cast<CDResult*>(data));
            seen.first = result->GetFirst();
            seen.second = result->GetSecond();
        }
        std::lock_guard<std::mutex> hold(m_lock);
        m_seen.push_back(seen);
        SetEvent(m_hArrived);
    }

    // Waits until at least n events have arrived.
    bool WaitFor(size_t n, DWORD ms = 5000) {
        const ULONGLONG until = GetTickCount64() + ms;
        for (;;) {
            if (Count() >= n)
                return true;
            const ULONGLONG now = GetTickCount64();
            if (now >= until)
                return false;
            WaitForSingleObject(m_hArrived, static_cast<DWORD>(until - now));
        }
    }
    size_t Count() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_seen.size();
    }
    std::vector<Seen> Events() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_seen;
    }

  private:
    std::mutex m_lock;
    std::vector<Seen> m_seen;
    HANDLE m_hArrived;
};

class RelayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake = new FakeCDWrite();
        service = std::make_unique<CDWriteProtected>();
        service->AddObserver(&recorder);
        ASSERT_TRUE(service->Init(fake->AsBrokerPtr(), &Attrs()))
            << "Init with a broker that answers every call";
    }
    void TearDown() override {
        service.reset();
        if (fake) {
            fake->OpenGate();
            fake->Release();
        }
    }
    void Signal(int index) {
        ASSERT_TRUE(SignalNamed(CDWriteProtected::kEventNames[index]))
            << "named event " << index << " is open while the service lives";
    }

    FakeCDWrite* fake = nullptr;
    Recorder recorder;
    std::unique_ptr<CDWriteProtected> service;
};

TEST_F(RelayTest, EachNamedEventBecomesItsEventWithTheRecordsData) {
    fake->records[2] = {7, 0, 0};
    fake->records[3] = {123456, 0, 0};
    fake->records[4] = {2, 10, 20};  // kind, KiB total, KiB done
    fake->records[5] = {1, 8, 99};
    fake->records[6] = {4, 0, 0};
    fake->records[7] = {1, 0, 0};
    for (int index = 0; index < 7; ++index) {
        Signal(index);
        ASSERT_TRUE(recorder.WaitFor(index + 1))
            << "after signalling index " << index << " saw " << Describe(recorder.Events());
    }
    const std::vector<Seen> seen = recorder.Events();
    ASSERT_EQ(seen.size(), 7u) << Describe(seen);
    for (int index = 0; index < 7; ++index) {
        EXPECT_EQ(seen[index].eventId, static_cast<unsigned>(index + 1)) << Describe(seen);
    }
    EXPECT_EQ(seen[0].value, 0u) << "eventId 1 carries null data";
    EXPECT_EQ(fake->dataCalls[1].load(), 0) << "eventId 1 fetches no record";
    EXPECT_EQ(seen[1].value, 7u);
    EXPECT_EQ(seen[2].value, 123456u);
    EXPECT_EQ(seen[3].kind, 2u);
    EXPECT_EQ(seen[3].first, 20u) << "CDProgress value1 is the record's third value";
    EXPECT_EQ(seen[3].second, 10u) << "CDProgress value2 is the record's second value";
    EXPECT_EQ(seen[4].first, 1u) << "CDResult first";
    EXPECT_EQ(seen[4].second, 8u) << "CDResult second";
    EXPECT_EQ(seen[5].value, 4u);
    EXPECT_EQ(seen[6].value, 1u);
    EXPECT_EQ(fake->initializeCalls.load(), 1);
    const CString identity(fake->initializeIdentity.c_str());
    EXPECT_EQ(identity, Attrs().m_strIdentity) << "Initialize got " << identity.GetString();
}

TEST_F(RelayTest, PendingEventsAreServedByIndexAndADoubleSignalOnce) {
    fake->CloseGate();
    Signal(1);  // the worker now sits in GetEventData for eventId 2
    ASSERT_TRUE(fake->WaitEntered(5000)) << "the worker fetches the record of eventId 2";
    Signal(5);
    Signal(2);
    Signal(2);
    fake->OpenGate();
    ASSERT_TRUE(recorder.WaitFor(3)) << Describe(recorder.Events());
    Sleep(300);  // room for a wrongly relayed fourth event
    const std::vector<Seen> seen = recorder.Events();
    ASSERT_EQ(seen.size(), 3u) << Describe(seen);
    EXPECT_EQ(seen[0].eventId, 2u) << Describe(seen);
    EXPECT_EQ(seen[1].eventId, 3u) << "index 2 before index 5: " << Describe(seen);
    EXPECT_EQ(seen[2].eventId, 6u) << Describe(seen);
    EXPECT_EQ(fake->dataCalls[3].load(), 1) << "two signals, one fetch";
}

TEST_F(RelayTest, NamedEventsSignalledWithTheStopEventAreRelayedFirst) {
    fake->records[7] = {2, 0, 0};
    fake->CloseGate();
    Signal(1);
    ASSERT_TRUE(fake->WaitEntered(5000));
    std::thread opener;
    // Leaving, the broker reports the cancelled job; the worker is still busy
    // when the destructor signals stop, so both wait for it together.
    fake->onUninitialize = [&] {
        SignalNamed(CDWriteProtected::kEventNames[6]);
        opener = std::thread([this] {
            Sleep(20);
            fake->OpenGate();
        });
    };
    service.reset();
    opener.join();
    const std::vector<Seen> seen = recorder.Events();
    ASSERT_EQ(seen.size(), 2u) << Describe(seen);
    EXPECT_EQ(seen[0].eventId, 2u);
    EXPECT_EQ(seen[1].eventId, 7u) << "the named event is relayed before the worker stops";
    EXPECT_EQ(seen[1].value, 2u);
    EXPECT_EQ(fake->uninitializeCalls.load(), 1);
}

TEST_F(RelayTest, AWorkerOutlivingTheDestructorTouchesNothing) {
    fake->records[4] = {1, 50, 25};
    fake->CloseGate();
    Signal(3);
    ASSERT_TRUE(fake->WaitEntered(5000));
    const ULONGLONG start = GetTickCount64();
    service.reset();  // waits 100 ms for a worker that cannot end yet
    const ULONGLONG took = GetTickCount64() - start;
    EXPECT_LT(took, 2000u) << "the destructor waits a bounded time";
    fake->OpenGate();  // the worker now builds a CDProgress for an object that is gone
    // The worker ends (stop was signalled) and lets go of its reference.
    const ULONGLONG until = GetTickCount64() + 5000;
    while (fake->Refs() > 1 && GetTickCount64() < until)
        Sleep(10);
    EXPECT_EQ(fake->Refs(), 1u) << "references left on the broker after the worker ended";
    EXPECT_EQ(recorder.Count(), 0u) << Describe(recorder.Events());
}

TEST_F(RelayTest, DestructionTellsTheBrokerAndDropsEveryReference) {
    EXPECT_GT(fake->Refs(), 1u) << "the GIT registration and the worker hold references";
    service.reset();
    EXPECT_EQ(fake->uninitializeCalls.load(), 1);
    const CString identity(fake->uninitializeIdentity.c_str());
    EXPECT_EQ(identity, Attrs().m_strIdentity);
    const ULONGLONG until = GetTickCount64() + 5000;
    while (fake->Refs() > 1 && GetTickCount64() < until)
        Sleep(10);
    EXPECT_EQ(fake->Refs(), 1u);
    if (BrokerProcesses().empty()) {
        EXPECT_FALSE(SignalNamed(CDWriteProtected::kEventNames[0]))
            << "no one holds the named events once the service is gone";
    }
}

TEST_F(RelayTest, SynchronousQueriesForwardAndOnlySOkCounts) {
    fake->driveError = 3;
    EXPECT_EQ(service->SetDrive("x"), 3u);
    EXPECT_EQ(service->ValidateDrive(), 3u);
    CString drive;
    EXPECT_EQ(service->GetDrive(drive), 3u);
    EXPECT_EQ(drive, "fake");
    unsigned long long space = 0;
    EXPECT_EQ(service->GetDriveAvailSpace(space), 3u);
    EXPECT_EQ(space, 4242u);
    EXPECT_TRUE(service->IsValid());
    fake->validHr = S_FALSE;
    EXPECT_FALSE(service->IsValid()) << "S_FALSE with a non-zero flag";
}

// Collects the ACE records made on this thread.
class AceCapture : public ACE_Log_Msg_Callback {
  public:
    AceCapture() {
        ACE_Log_Msg* log = ACE_Log_Msg::instance();
        m_previous = log->msg_callback(this);
        m_flags = log->flags();
        log->set_flags(ACE_Log_Msg::MSG_CALLBACK);
        log->clr_flags(ACE_Log_Msg::STDERR);
    }
    ~AceCapture() override {
        ACE_Log_Msg* log = ACE_Log_Msg::instance();
        log->msg_callback(m_previous);
        log->clr_flags(ACE_Log_Msg::MSG_CALLBACK);
        log->set_flags(m_flags);
    }
    void log(ACE_Log_Record& record) override {
        texts.push_back(record.msg_data());
        priorities.push_back(record.type());
        files.push_back(ACE_Log_Msg::instance()->file());
    }
    std::vector<std::string> texts, files;
    std::vector<unsigned long> priorities;

  private:
    ACE_Log_Msg_Callback* m_previous;
    unsigned long m_flags;
};

TEST(RelayWithoutBroker, EveryOperationFailsAndTheLookupIsLogged) {
    Recorder recorder;
    CDWriteProtected service;
    service.AddObserver(&recorder);
    EXPECT_FALSE(service.Init(nullptr, &Attrs()));

    AceCapture capture;
    CString drive = "left over";
    EXPECT_EQ(service.GetDrive(drive), CD::eBrokerFailure);
    EXPECT_TRUE(drive.IsEmpty()) << "got " << drive.GetString();
    ASSERT_EQ(capture.texts.size(), 1u);
    EXPECT_EQ(capture.texts[0],
              " CDWriteProtected::GetICDWrite : CopyTo() Function returned NULL output");
    EXPECT_EQ(capture.priorities[0], static_cast<unsigned long>(LM_INFO));
    EXPECT_EQ(capture.files[0], "cdwriteprotected");

    unsigned long long space = 77;
    EXPECT_EQ(service.GetDriveAvailSpace(space), CD::eBrokerFailure);
    EXPECT_EQ(space, 77u) << "the caller's variable is left alone";
    EXPECT_EQ(service.ValidateDrive(), CD::eBrokerFailure);
    EXPECT_EQ(service.SetDrive("C:\\"), CD::eBrokerFailure);
    EXPECT_FALSE(service.IsValid());
    service.StartBurn("C:\\nothing", true);
    service.StartErase(false);
    service.Cancel();
    service.Stop();
    EXPECT_EQ(recorder.Count(), 0u) << "no worker, no event";
}

}  // namespace
