// MsftDiscFormat2Erase of the double: blanks a rewritable medium of the
// scenario, raising Update (elapsed, estimated seconds) once per step, and
// refuses write-once media as IMAPI2 does. Like IMAPI2 it offers no way to
// stop an erase that has begun.
#pragma once

#include "comdouble.h"
#include "eventpoint.h"
#include "imapi2/imapi2defs.h"

#include <memory>
#include <string>

class DiscFormat2EraseDouble final : public DispatchStub<IDiscFormat2Erase>,
                                     public IConnectionPointContainer,
                                     public RefCounted<DiscFormat2EraseDouble> {
  public:
    DiscFormat2EraseDouble();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    HRESULT STDMETHODCALLTYPE IsRecorderSupported(IDiscRecorder2* recorder,
                                                  VARIANT_BOOL* value) override;
    HRESULT STDMETHODCALLTYPE IsCurrentMediaSupported(IDiscRecorder2* recorder,
                                                      VARIANT_BOOL* value) override;
    HRESULT STDMETHODCALLTYPE get_MediaPhysicallyBlank(VARIANT_BOOL* value) override;
    HRESULT STDMETHODCALLTYPE get_MediaHeuristicallyBlank(VARIANT_BOOL* value) override;
    HRESULT STDMETHODCALLTYPE get_SupportedMediaTypes(SAFEARRAY** value) override;
    HRESULT STDMETHODCALLTYPE put_Recorder(IDiscRecorder2* value) override;
    HRESULT STDMETHODCALLTYPE get_Recorder(IDiscRecorder2** value) override;
    HRESULT STDMETHODCALLTYPE put_FullErase(VARIANT_BOOL value) override;
    HRESULT STDMETHODCALLTYPE get_FullErase(VARIANT_BOOL* value) override;
    HRESULT STDMETHODCALLTYPE
    get_CurrentPhysicalMediaType(IMAPI_MEDIA_PHYSICAL_TYPE* value) override;
    HRESULT STDMETHODCALLTYPE put_ClientName(BSTR value) override;
    HRESULT STDMETHODCALLTYPE get_ClientName(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE EraseMedia() override;
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** points) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;

  private:
    vesko::ComPtr<IDiscRecorder2> m_recorder;
    wchar_t m_letter = 0;
    bool m_full = false;
    std::wstring m_clientName;
    std::shared_ptr<EventPoint::Sinks> m_sinks;
};
