// Imapi2EventSink: the object a burn or erase hands to an IMAPI2 format's
// connection point. IMAPI2 raises Update through IDispatch::Invoke on the
// event dispinterface (DDiscFormat2DataEvents, DDiscFormat2EraseEvents); the
// sink passes Update's arguments to its handler and answers nothing else.
// Reference counted: the connection point holds it while advised.
#pragma once

#include <oaidl.h>

#include <atomic>
#include <functional>

#include <vesko/raii.h>

class Imapi2EventSink final : public IDispatch {
  public:
    // Update's arguments in call order (Invoke hands them in reverse).
    using Handler = std::function<void(const VARIANT* arguments, UINT count)>;
    // events: the dispinterface the connection point asks the sink for.
    static vesko::ComPtr<IDispatch> Create(REFIID events, Handler handler);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags,
                                     DISPPARAMS* parameters, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argumentError) override;

  private:
    Imapi2EventSink(REFIID events, Handler handler);
    ~Imapi2EventSink() = default;

    std::atomic<ULONG> m_refs{1};
    IID m_events;
    Handler m_handler;
};
