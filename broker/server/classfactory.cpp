#include "classfactory.h"

#include "brokerobject.h"
#include "clientwatch.h"
#include "serverlifetime.h"

namespace vesko::broker {

ClassFactory::ClassFactory(BrokerObject& broker, ServerLifetime& lifetime, ClientWatch& watch)
    : m_broker(broker), m_lifetime(lifetime), m_watch(watch) {}

STDMETHODIMP ClassFactory::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
        *ppv = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    // The activating call comes from the client: watch it as well (on
    // Windows the parent process is the DCOM launcher, not the client).
    m_watch.WatchCaller();
    return m_broker.QueryInterface(riid, ppv);
}

STDMETHODIMP ClassFactory::LockServer(BOOL lock) {
    if (lock)
        m_lifetime.AddRef();
    else
        m_lifetime.Release();
    return S_OK;
}

}  // namespace vesko::broker
