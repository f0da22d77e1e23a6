// The disc export service of a host that runs in the browser's protected
// mode. Every operation is one call on the broker's ICDWrite; the broker
// announces disc events through seven named kernel events, which a worker
// thread of this object turns back into the Observable events the host
// receives in direct mode. A broker of contract version 2 names the events
// for this client (ICDWrite2::GetEventNames); with a version 1 broker the
// fixed names below are used.
//
// The records of events 4 and 5 are the worker's: observers borrow them for
// their OnEvent, and the worker destroys each after every observer returned.
// The host may release or replace the service from inside an event callback;
// the destructor then does not wait for the worker it runs on. Otherwise it
// waits at most 100 ms for the worker, whatever an observer does; a worker
// that outlives it touches nothing of the object (its state is shared and
// reference-counted, its posts reach nobody) and keeps the library loaded
// until it has left it.
#pragma once

#include <afxmt.h>

#include <memory>
#include <string>

#include <cdexpservice.h>

struct IBroker;
struct ICDWrite;
class VeskoSecurityAttributes;

class CDWriteProtected : public CDExpService {
  public:
    // The names both sides of the broker contract open, index 0 to 6 of the
    // worker's wait array; eventId = index + 1.
    static const char* const kEventNames[7];

    CDWriteProtected();
    ~CDWriteProtected() override;
    CDWriteProtected(const CDWriteProtected&) = delete;
    CDWriteProtected& operator=(const CDWriteProtected&) = delete;

    // Queries pBroker for ICDWrite and keeps it only as a Global Interface
    // Table registration, opens the events, starts the worker and tells the
    // broker about this client. True only when every step succeeded.
    bool Init(IBroker* pBroker, VeskoSecurityAttributes* pAttr);

    // This thread's own reference to the registered ICDWrite; *ppCDWrite
    // (null on entry) stays null on failure, which is logged.
    HRESULT GetICDWrite(ICDWrite** ppCDWrite) const;

    bool IsValid() const override;
    CD::EError SetDrive(const char* drive) override;
    CD::EError GetDrive(CString& drive) override;
    CD::EError GetDriveAvailSpace(unsigned long long& space) override;
    CD::EError ValidateDrive() override;
    void StartGetDriveAvailSpace() override;
    void StartValidateDrive() override;
    void StartBurn(const char* source, bool flag) override;
    void StartErase(bool flag) override;
    void Cancel() override;
    void Stop() override;

    // The names this service waits on, index 0 to 6 (after Init).
    const std::string& EventName(size_t index) const { return m_strEventNames[index]; }

  private:
    // What the worker shares with the object. The worker never holds the
    // object itself: it owns duplicates of the eight handles, its own copy of
    // the cookie and identity, and reaches the observers only through the
    // Observable's channel, which the destructor closes. A worker that
    // outlives the destructor's wait therefore finds no object and no closed
    // handle.
    struct Relay;

    // The worker's entry; lpParameter carries its reference to the Relay.
    static DWORD WINAPI ThreadProc(LPVOID lpParameter);
    static void RelayLoop(Relay& relay);
    static HRESULT FetchICDWrite(DWORD dwCookie, ICDWrite** ppCDWrite);
    // The broker's names for this client when it speaks version 2; the fixed
    // names otherwise.
    void ChooseEventNames(ICDWrite* pCDWrite, VeskoSecurityAttributes* pAttr);

    VeskoSecurityAttributes* m_pSecurityAttr;
    CCriticalSection m_cs;  // set up with the object; no operation takes it
    DWORD m_dwBrokerCookie;
    HANDLE m_hEvents[7];
    HANDLE m_hStopEvent;
    HANDLE m_hThread;
    std::string m_strEventNames[7];
    std::shared_ptr<Relay> m_pRelay;
};
