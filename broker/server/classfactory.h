// The class object registered for CLSID_Broker (REGCLS_SINGLEUSE: one broker
// process per activation). It hands out the process's one Broker object.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace vesko::broker {

class BrokerObject;
class ClientWatch;
class ServerLifetime;

class ClassFactory : public IClassFactory {
  public:
    ClassFactory(BrokerObject& broker, ServerLifetime& lifetime, ClientWatch& watch);

    // Lives on main's stack for the whole process: the reference count only
    // satisfies COM, and the class object's references never keep the
    // server alive (COM's rule for local servers).
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL lock) override;

  private:
    BrokerObject& m_broker;
    ServerLifetime& m_lifetime;
    ClientWatch& m_watch;
};

}  // namespace vesko::broker
