#include "eventpoint.h"

#include "imapi2/imapi2defs.h"

#include <algorithm>
#include <vector>

int EventPoint::Sinks::Fire(VARIANT* arguments, UINT count) {
    std::vector<vesko::ComPtr<IDispatch>> sinks;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& entry : m_sinks)
            sinks.push_back(entry.second);
    }
    // Invoke takes the arguments last first.
    std::vector<VARIANT> reversed(arguments, arguments + count);
    std::reverse(reversed.begin(), reversed.end());
    DISPPARAMS parameters{reversed.data(), nullptr, count, 0};
    for (const auto& sink : sinks) {
        VARIANT result;
        VariantInit(&result);
        sink->Invoke(DISPID_DDISCFORMAT2DATAEVENTS_UPDATE, IID_NULL, LOCALE_USER_DEFAULT,
                     DISPATCH_METHOD, &parameters, &result, nullptr, nullptr);
        VariantClear(&result);
    }
    return static_cast<int>(sinks.size());
}

vesko::ComPtr<IConnectionPoint> EventPoint::Create(IConnectionPointContainer* owner,
                                                   std::shared_ptr<Sinks> sinks) {
    vesko::ComPtr<IConnectionPoint> point;
    *point.ReleaseAndGetAddressOf() = new EventPoint(owner, std::move(sinks));
    return point;
}

EventPoint::EventPoint(IConnectionPointContainer* owner, std::shared_ptr<Sinks> sinks)
    : m_owner(owner), m_sinks(std::move(sinks)) {}

HRESULT EventPoint::QueryInterface(REFIID iid, void** object) {
    if (!object)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
        *object = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT EventPoint::GetConnectionInterface(IID* iid) {
    if (!iid)
        return E_POINTER;
    *iid = m_sinks->Events();
    return S_OK;
}

HRESULT EventPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
    if (!container)
        return E_POINTER;
    *container = m_owner.Get();
    (*container)->AddRef();
    return S_OK;
}

HRESULT EventPoint::Advise(IUnknown* sink, DWORD* cookie) {
    if (!sink || !cookie)
        return E_POINTER;
    *cookie = 0;
    // As ATL's connection points do: the sink must be the event interface.
    vesko::ComPtr<IDispatch> events;
    if (FAILED(sink->QueryInterface(m_sinks->Events(),
                                    reinterpret_cast<void**>(events.GetAddressOf()))))
        return CONNECT_E_CANNOTCONNECT;
    std::lock_guard<std::mutex> lock(m_sinks->m_mutex);
    *cookie = m_sinks->m_next++;
    m_sinks->m_sinks[*cookie] = events;
    return S_OK;
}

HRESULT EventPoint::Unadvise(DWORD cookie) {
    std::lock_guard<std::mutex> lock(m_sinks->m_mutex);
    return m_sinks->m_sinks.erase(cookie) ? S_OK : CONNECT_E_NOCONNECTION;
}

HRESULT EventPoint::EnumConnections(IEnumConnections** connections) {
    if (connections)
        *connections = nullptr;
    return E_NOTIMPL;
}
