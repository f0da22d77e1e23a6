// The connection point of a format of the double: keeps the sinks advised
// for one event interface and raises Update on them the way IMAPI2 does,
// through IDispatch::Invoke. The point holds its container alive; the sink
// list is shared between the container and every point it hands out.
#pragma once

#include "comdouble.h"

#include <ocidl.h>
#include <olectl.h>

#include <map>
#include <memory>
#include <mutex>

#include <vesko/raii.h>

class EventPoint final : public IConnectionPoint, public RefCounted<EventPoint> {
  public:
    class Sinks {
      public:
        explicit Sinks(REFIID events) : m_events(events) {}
        // Invokes DISPID 0x200 on every sink with the arguments in call
        // order; the number of sinks called.
        int Fire(VARIANT* arguments, UINT count);
        REFIID Events() const { return m_events; }

      private:
        friend class EventPoint;
        IID m_events;
        std::mutex m_mutex;
        DWORD m_next = 1;
        std::map<DWORD, vesko::ComPtr<IDispatch>> m_sinks;
    };

    static vesko::ComPtr<IConnectionPoint> Create(IConnectionPointContainer* owner,
                                                  std::shared_ptr<Sinks> sinks);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
    HRESULT STDMETHODCALLTYPE
    GetConnectionPointContainer(IConnectionPointContainer** container) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** connections) override;

  private:
    friend class RefCounted<EventPoint>;
    EventPoint(IConnectionPointContainer* owner, std::shared_ptr<Sinks> sinks);
    ~EventPoint() = default;
    vesko::ComPtr<IConnectionPointContainer> m_owner;
    std::shared_ptr<Sinks> m_sinks;
};
