// The service set of a host that runs in the browser's protected mode. It
// starts the medium-integrity broker once, tells it the host's language and
// gives each service its own Global Interface Table registration of the
// broker interface that service needs.
#pragma once

#include <afxmt.h>

#include "ioservice.h"

struct IBroker;

class IOProtected : public IOService {
  public:
    IOProtected();
    ~IOProtected() override;
    IOProtected(const IOProtected&) = delete;
    IOProtected& operator=(const IOProtected&) = delete;

    bool Init(VeskoSecurityAttributes* pAttr) override;
    void Release() override;
    CDExpService* CreateCDExpService() override;
    void ReleaseCDExpService() override;

    // The registration of the broker's IBroker (0 = none). It outlives
    // Release and goes with the destructor.
    DWORD GetBrokerCookie() const { return m_dwBrokerCookie; }

  private:
    bool EnsureBroker();
    HRESULT GetBroker(IBroker** ppBroker);

    CCriticalSection m_csBroker;
    DWORD m_dwBrokerCookie;
};
