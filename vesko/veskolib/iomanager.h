// The library's entry object: a process-wide singleton that decides once
// whether the host runs in the browser's protected mode and builds the
// matching service set.
#pragma once

#include "veskolibdef.h"

class IOService;
class VeskoSecurityAttributes;
class FileIOService;
class FileDlgService;
class CDExpService;

class VESKOLIB_API IOManager {
  public:
    // Builds the manager on the first call; later calls return the same one.
    // Call it first, and ReleaseIOManager, while no other thread uses the
    // library. In protected mode the calling thread must be in a COM
    // apartment: the broker is created on it.
    static IOManager& GetIOManager();
    // Destroys the manager and every service; does nothing without one.
    static void ReleaseIOManager();

    bool IsIEProtectedMode() const;
    // Valid until ReleaseIOManager. Null only when the broker-backed set
    // could not reach its broker.
    FileIOService* GetFileIOService() const;
    FileDlgService* GetFileDlgService() const;
    // A new disc export service on every call: the one an earlier call
    // returned is destroyed first. Valid until the next call,
    // ReleaseCDExpService or ReleaseIOManager.
    CDExpService* GetCDExpService() const;
    void ReleaseCDExpService();

    IOManager(const IOManager&) = delete;
    IOManager& operator=(const IOManager&) = delete;

  private:
    IOManager();
    virtual ~IOManager();
    bool Init();
    void CheckProtectedMode();
    // Releases and deletes the set, then the security attributes.
    void Teardown();

    static IOManager* m_pIOMgr;

    bool m_bIEProtectedMode;
    IOService* m_pIOService;
    VeskoSecurityAttributes* m_pSecurityAttr;
};
