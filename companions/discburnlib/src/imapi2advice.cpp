#include "imapi2advice.h"

Imapi2Advice::Imapi2Advice(IUnknown* source, REFIID events, IDispatch* sink) {
    vesko::ComPtr<IConnectionPointContainer> container;
    m_hr = source->QueryInterface(IID_IConnectionPointContainer,
                                  reinterpret_cast<void**>(container.GetAddressOf()));
    if (SUCCEEDED(m_hr))
        m_hr = container->FindConnectionPoint(events, m_point.GetAddressOf());
    if (SUCCEEDED(m_hr))
        m_hr = m_point->Advise(sink, &m_cookie);
    if (FAILED(m_hr))
        m_point.Reset();
}

Imapi2Advice::~Imapi2Advice() {
    if (m_point)
        m_point->Unadvise(m_cookie);
}
