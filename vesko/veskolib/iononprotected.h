// The service set of a host that does not run in protected mode: every
// service acts directly in the host's process.
#pragma once

#include "ioservice.h"

class IONonProtected : public IOService {
  public:
    IONonProtected();
    ~IONonProtected() override;

    // Creates the direct file I/O service (resolving the well-known folders)
    // and the direct dialog service. Returns whether the folder table was
    // resolved; both services exist either way.
    bool Init(VeskoSecurityAttributes* pSecurityAttr) override;
    // A new CDExpManager; the previous disc export service is destroyed
    // before it is made.
    CDExpService* CreateCDExpService() override;
    void ReleaseCDExpService() override;
};
