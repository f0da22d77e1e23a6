// The disc event relay of the broker-backed disc export service: the worker
// waits on the seven named events the broker shares, fetches each event's
// record from ICDWrite and posts the Observable events the host sees in
// direct mode. The real broker cannot be made to hold the worker inside a
// fetch or to signal on cue, so ICDWrite is served here by an in-process
// object, registered in the Global Interface Table like the broker's.
#include <gtest/gtest.h>

#include <veskobroker.h>
#include <vesko/raii.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "cdwriteprotected.h"
#include "protectedtestsupport.h"

using namespace vesko::test;

namespace {

// Serves GetEventData from records set per eventId; while its gate is
// closed a fetch waits inside the call, so that a test can signal events
// while the worker is busy.
class FakeCDWrite final : public ICDWrite {
  public:
    CDEventRecord records[8] = {};
    std::atomic<int> dataCalls[8] = {};
    std::function<void()> onUninitialize;  // what a leaving broker does

    void CloseGate() { ResetEvent(m_gate.Get()); }
    void OpenGate() { SetEvent(m_gate.Get()); }
    bool WaitEntered() { return WaitForSingleObject(m_entered.Get(), 5000) == WAIT_OBJECT_0; }
    ULONG Refs() const { return m_refs; }
    // CDWriteProtected::Init only asks its broker for ICDWrite.
    IBroker* AsBroker() { return reinterpret_cast<IBroker*>(static_cast<IUnknown*>(this)); }

    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --m_refs;
        if (left == 0)
            delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IDispatch && riid != IID_ICDWrite)
            return E_NOINTERFACE;
        *ppv = static_cast<ICDWrite*>(this);
        AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE Initialize(BSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Uninitialize(BSTR) override {
        if (onUninitialize)
            onUninitialize();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetEventData(BSTR, DWORD eventId, CDEventRecord* record) override {
        if (eventId >= 8)
            return E_INVALIDARG;
        ++dataCalls[eventId];
        SetEvent(m_entered.Get());
        WaitForSingleObject(m_gate.Get(), INFINITE);
        *record = records[eventId];
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Cancel(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Stop(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ValidateDrive(BSTR, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE StartBurn(BSTR, BSTR, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetDrive(BSTR, BSTR, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDriveAvailSpace(BSTR, ULONGLONG*, DWORD*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE IsBusy(BSTR, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsValid(BSTR, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDrive(BSTR, BSTR*, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE StartGetDriveAvailSpace(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE StartValidateDrive(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE StartErase(BSTR, DWORD) override { return E_NOTIMPL; }

  private:
    ~FakeCDWrite() = default;
    std::atomic<ULONG> m_refs{1};
    vesko::UniqueHandle m_gate{CreateEventW(nullptr, TRUE, TRUE, nullptr)};
    vesko::UniqueHandle m_entered{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
};

class RelayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        service->AddObserver(&events);
        ASSERT_TRUE(service->Init(fake->AsBroker(), &Attrs()));
    }
    void TearDown() override {
        service.reset();
        fake->OpenGate();
        fake->Release();
    }
    void Signal(int index) {
        vesko::UniqueHandle event(
            OpenEventA(EVENT_MODIFY_STATE, FALSE, CDWriteProtected::kEventNames[index]));
        ASSERT_TRUE(event && SetEvent(event.Get())) << "named event " << index;
    }
    // Signals index and waits until the worker sits in that event's fetch.
    void HoldWorkerIn(int index) {
        fake->CloseGate();
        Signal(index);
        ASSERT_TRUE(fake->WaitEntered()) << "the worker fetches the record of index " << index;
    }
    FakeCDWrite* fake = new FakeCDWrite();
    DiscEventLog events;
    std::unique_ptr<CDWriteProtected> service = std::make_unique<CDWriteProtected>();
};

TEST_F(RelayTest, EachNamedEventBecomesItsEventWithTheRecordsData) {
    const struct {
        CDEventRecord record;
        const char* expected;
    } rows[] = {
        {{9, 9, 9}, "1:0"},  // a record it must not fetch: null data
        {{7, 0, 0}, "2:7"},         {{123456, 0, 0}, "3:123456"},
        {{2, 10, 20}, "4:2,20,10"},  // kind, KiB done (third), KiB total (second)
        {{1, 8, 99}, "5:1,8"},      {{4, 0, 0}, "6:4"},
        {{1, 0, 0}, "7:1"},
    };
    std::string expected;
    for (int index = 0; index < 7; ++index) {
        fake->records[index + 1] = rows[index].record;
        Signal(index);
        expected += (index ? " " : "") + std::string(rows[index].expected);
        EXPECT_EQ(events.Wait(index + 1), expected) << "index " << index;
    }
    EXPECT_EQ(fake->dataCalls[1].load(), 0) << "eventId 1 fetches no record";
}

TEST_F(RelayTest, PendingEventsAreServedByIndexAndADoubleSignalOnce) {
    HoldWorkerIn(1);
    Signal(5);
    Signal(2);
    Signal(2);
    fake->OpenGate();
    events.Wait(3);
    Sleep(300);  // room for a wrongly relayed fourth event
    EXPECT_EQ(events.Wait(0), "2:0 3:0 6:0") << "index 2 before index 5, the double signal once";
    EXPECT_EQ(fake->dataCalls[3].load(), 1) << "two signals, one fetch";
}

TEST_F(RelayTest, NamedEventsSignalledWithTheStopEventAreRelayedFirst) {
    fake->records[7] = {2, 0, 0};
    HoldWorkerIn(1);
    std::thread opener;
    // Leaving, the broker reports the cancelled job; the worker is still busy
    // when the destructor signals stop, so both wait for it together.
    fake->onUninitialize = [&] {
        Signal(6);
        opener = std::thread([this] {
            Sleep(20);
            fake->OpenGate();
        });
    };
    service.reset();
    opener.join();
    EXPECT_EQ(events.Wait(0), "2:0 7:2") << "the named event is relayed before the worker stops";
}

TEST_F(RelayTest, AWorkerOutlivingTheDestructorTouchesNothing) {
    fake->records[4] = {1, 50, 25};
    HoldWorkerIn(3);
    const ULONGLONG start = GetTickCount64();
    service.reset();  // waits 100 ms for a worker that cannot end yet
    EXPECT_LT(GetTickCount64() - start, 2000u) << "the destructor waits a bounded time";
    fake->OpenGate();  // the worker now holds a record for an object that is gone
    // The worker ends (stop was signalled) and lets go of its reference.
    for (ULONGLONG until = GetTickCount64() + 5000; fake->Refs() > 1 && GetTickCount64() < until;)
        Sleep(10);
    EXPECT_EQ(fake->Refs(), 1u) << "references left on the broker";
    EXPECT_EQ(events.Wait(0), "");
}

}  // namespace
