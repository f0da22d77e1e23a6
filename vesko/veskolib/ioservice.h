// The service set: owns the host's file I/O service, dialog service and, on
// demand, one disc export service. IONonProtected acts in the host's own
// process; IOProtected goes through the broker.
#pragma once

#include "veskolibdef.h"

class VeskoSecurityAttributes;
class FileIOService;
class FileDlgService;
class CDExpService;

class IOService {
  public:
    VESKOLIB_API IOService();
    // Runs Release once more. The owner has normally released the set
    // already; a set still holding a disc export service must be released
    // first, since only the derived class can destroy that.
    VESKOLIB_API virtual ~IOService();
    IOService(const IOService&) = delete;
    IOService& operator=(const IOService&) = delete;

    // Keeps the shared security attributes (not owned); derived sets create
    // their services here.
    virtual bool Init(VeskoSecurityAttributes* pSecurityAttr);
    // Destroys the file I/O service, then the dialog service, then the disc
    // export service. The security attributes are left alone.
    virtual void Release();
    // Replaces the disc export service with a new one and returns it; the
    // object an earlier call returned is destroyed first.
    virtual CDExpService* CreateCDExpService() = 0;
    // Destroys the disc export service, if any.
    virtual void ReleaseCDExpService() = 0;

    VESKOLIB_API FileIOService* GetFileIOService() const;
    VESKOLIB_API FileDlgService* GetFileDlgService() const;

  protected:
    // The current disc export service; creates nothing.
    VESKOLIB_API CDExpService* GetCDExpService() const;
    // The setters only store: whoever replaces a service owns the old one.
    VESKOLIB_API void SetFileIOService(FileIOService* pService);
    VESKOLIB_API void SetFileDlgService(FileDlgService* pService);
    VESKOLIB_API void SetCDExpService(CDExpService* pService);

    VeskoSecurityAttributes* m_pSecurityAttr;
    FileIOService* m_pFileIOService;
    FileDlgService* m_pFileDlgService;
    CDExpService* m_pCDExpService;
};
