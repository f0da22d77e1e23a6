// The service set of a host that runs in the browser's protected mode. It
// starts the medium-integrity broker once, tells it the host's language and
// gives each service its own Global Interface Table registration of the
// broker interface that service needs.
#pragma once

#include <afxmt.h>

#include <vesko/raii.h>

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
    void ReleaseMtaBroker();

    CCriticalSection m_csBroker;
    DWORD m_dwBrokerCookie;
    // The broker as created, kept (only when it was created in the
    // multithreaded apartment) so that the process's MTA always holds a proxy
    // to it: see EnsureBroker. Never called through; released by the
    // destructor.
    vesko::ComPtr<IBroker> m_pMtaBroker;
};
