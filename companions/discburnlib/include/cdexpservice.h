// The disc export interface: selects and checks a recordable drive, reports
// its free space, burns and erases. Short questions are answered at once;
// the Start operations return at once and report through events posted to
// the observers (see cdexpmanager.h for the events).
//
// Records. The CDProgress of event 4 and the CDResult of event 5 belong to
// the service's delivery of that event: each observer only borrows the
// record while its OnEvent runs (copy what is needed later), and the
// service destroys it once every observer has returned. Both
// implementations (CDExpManager, and the broker-backed one of protected
// mode) deliver the same events in the same order, and either may be
// released or replaced from inside one of its own event callbacks.
#pragma once

#include "discburnlibdef.h"

#include <afxstr.h>

#include "observable.h"

namespace CD {
enum EError : unsigned int {
    eOK = 0,
    eBrokerFailure = 1,   // reserved: a call through the broker did not succeed
    eNoDrive = 2,         // no drive selected
    eInvalidDrive = 3,    // the selected drive is not usable, or a drive text is malformed
    eDriveBusy = 4,       // another job is running
    eNoSpace = 5,         // the data does not fit on the disc
    eSourceNotFound = 6,  // what should be burned does not exist
    eWriteFailed = 7,     // writing, verifying or erasing failed
    eCancelled = 8,       // the job was cancelled
    eStopped = 9,         // the job was stopped
    eNotSupported = 10,   // the request cannot be carried out on this drive or medium
    eNoMedia = 11,        // the drive holds no disc, or one it cannot write
    eMediaNotBlank = 12,  // the disc already holds a closed session: a write-once disc
                          // takes no second burn, a rewritable one must be erased first
};
}  // namespace CD

// Observable is the first base, so a pointer to the service is also the
// pointer to the Observable the events are posted on.
class DISCBURNLIB_API CDExpService : public Observable {
  public:
    explicit CDExpService(const char* name);
    virtual ~CDExpService();

    // The implementation's name ("CDExpManager").
    const char* GetName() const;

    virtual bool IsValid() const = 0;
    virtual CD::EError SetDrive(const char* drive) = 0;
    virtual CD::EError GetDrive(CString& drive) = 0;
    virtual CD::EError GetDriveAvailSpace(unsigned long long& space) = 0;
    virtual CD::EError ValidateDrive() = 0;
    virtual void StartGetDriveAvailSpace() = 0;
    virtual void StartValidateDrive() = 0;
    virtual void StartBurn(const char* source, bool flag) = 0;
    virtual void StartErase(bool flag) = 0;
    virtual void Cancel() = 0;
    virtual void Stop() = 0;

  private:
    CString m_strName;
};
