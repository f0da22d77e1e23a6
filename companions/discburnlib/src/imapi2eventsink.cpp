#include "imapi2eventsink.h"

#include "imapi2/imapi2defs.h"

#include <ocidl.h>

#include <vector>

vesko::ComPtr<IDispatch> Imapi2EventSink::Create(REFIID events, Handler handler) {
    vesko::ComPtr<IDispatch> sink;
    // Handed over through the address: mingw-w64's ComPtr::Attach adds a
    // reference, which would keep the sink (and the job it reports to) alive.
    *sink.ReleaseAndGetAddressOf() = new Imapi2EventSink(events, std::move(handler));
    return sink;
}

Imapi2EventSink::Imapi2EventSink(REFIID events, Handler handler)
    : m_events(events), m_handler(std::move(handler)) {}

HRESULT Imapi2EventSink::QueryInterface(REFIID iid, void** object) {
    if (!object)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == m_events) {
        *object = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG Imapi2EventSink::AddRef() {
    return ++m_refs;
}

ULONG Imapi2EventSink::Release() {
    const ULONG left = --m_refs;
    if (left == 0)
        delete this;  // the last reference owns the sink (COM reference counting)
    return left;
}

HRESULT Imapi2EventSink::GetTypeInfoCount(UINT* count) {
    if (!count)
        return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT Imapi2EventSink::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info)
        *info = nullptr;
    return E_NOTIMPL;
}

HRESULT Imapi2EventSink::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
    return E_NOTIMPL;
}

HRESULT Imapi2EventSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* parameters, VARIANT*,
                                EXCEPINFO*, UINT*) {
    // Both event interfaces have Update as their only method.
    if (id != DISPID_DDISCFORMAT2DATAEVENTS_UPDATE)
        return DISP_E_MEMBERNOTFOUND;
    if (!parameters || (parameters->cArgs && !parameters->rgvarg))
        return E_INVALIDARG;
    std::vector<VARIANT> arguments(parameters->rgvarg, parameters->rgvarg + parameters->cArgs);
    std::vector<VARIANT> ordered(arguments.rbegin(), arguments.rend());
    m_handler(ordered.data(), parameters->cArgs);
    return S_OK;
}
