// MsftDiscFormat2Data of the double: answers the medium's state from the
// scenario and writes a stream the way IMAPI2's data writer takes it: the
// size from Stat, a look at the end, then every sector read in order, with
// Update events (real IDiscFormat2DataEventArgs) after each group of
// sectors, CancelWrite honoured at the next group (also from inside Update),
// a verification pass that reads the stream again when one is asked for, and
// IMAPI2's own results. CancelWrite may come from any thread, also while the
// drive is between two Update events (PaceMs). What it was given goes to the scenario's Seen key;
// the stream's bytes go to the scenario's Dump file.
#pragma once

#include "comdouble.h"
#include "eventpoint.h"
#include "imapi2/imapi2defs.h"

#include <atomic>
#include <memory>
#include <string>

class DiscFormat2DataDouble final : public DispatchStub<IDiscFormat2Data>,
                                    public IBurnVerification,
                                    public IConnectionPointContainer,
                                    public RefCounted<DiscFormat2DataDouble> {
  public:
    DiscFormat2DataDouble();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    // IDiscFormat2
    HRESULT STDMETHODCALLTYPE IsRecorderSupported(IDiscRecorder2* recorder,
                                                  VARIANT_BOOL* value) override;
    HRESULT STDMETHODCALLTYPE IsCurrentMediaSupported(IDiscRecorder2* recorder,
                                                      VARIANT_BOOL* value) override;
    HRESULT STDMETHODCALLTYPE get_MediaPhysicallyBlank(VARIANT_BOOL* value) override;
    HRESULT STDMETHODCALLTYPE get_MediaHeuristicallyBlank(VARIANT_BOOL* value) override;
    HRESULT STDMETHODCALLTYPE get_SupportedMediaTypes(SAFEARRAY** value) override;
    // IDiscFormat2Data
    HRESULT STDMETHODCALLTYPE put_Recorder(IDiscRecorder2* value) override;
    HRESULT STDMETHODCALLTYPE get_Recorder(IDiscRecorder2** value) override;
    HRESULT STDMETHODCALLTYPE put_BufferUnderrunFreeDisabled(VARIANT_BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE get_BufferUnderrunFreeDisabled(VARIANT_BOOL* value) override;
    HRESULT STDMETHODCALLTYPE put_PostgapAlreadyInImage(VARIANT_BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE get_PostgapAlreadyInImage(VARIANT_BOOL* value) override;
    HRESULT STDMETHODCALLTYPE
    get_CurrentMediaStatus(IMAPI_FORMAT2_DATA_MEDIA_STATE* value) override;
    HRESULT STDMETHODCALLTYPE
    get_WriteProtectStatus(IMAPI_MEDIA_WRITE_PROTECT_STATE* value) override;
    HRESULT STDMETHODCALLTYPE get_TotalSectorsOnMedia(LONG* value) override;
    HRESULT STDMETHODCALLTYPE get_FreeSectorsOnMedia(LONG* value) override;
    HRESULT STDMETHODCALLTYPE get_NextWritableAddress(LONG* value) override;
    HRESULT STDMETHODCALLTYPE get_StartAddressOfPreviousSession(LONG* value) override;
    HRESULT STDMETHODCALLTYPE get_LastWrittenAddressOfPreviousSession(LONG* value) override;
    HRESULT STDMETHODCALLTYPE put_ForceMediaToBeClosed(VARIANT_BOOL value) override;
    HRESULT STDMETHODCALLTYPE get_ForceMediaToBeClosed(VARIANT_BOOL* value) override;
    HRESULT STDMETHODCALLTYPE put_DisableConsumerDvdCompatibilityMode(VARIANT_BOOL) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_DisableConsumerDvdCompatibilityMode(VARIANT_BOOL* value) override;
    HRESULT STDMETHODCALLTYPE
    get_CurrentPhysicalMediaType(IMAPI_MEDIA_PHYSICAL_TYPE* value) override;
    HRESULT STDMETHODCALLTYPE put_ClientName(BSTR value) override;
    HRESULT STDMETHODCALLTYPE get_ClientName(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE get_RequestedWriteSpeed(LONG* value) override;
    HRESULT STDMETHODCALLTYPE get_RequestedRotationTypeIsPureCAV(VARIANT_BOOL* value) override;
    HRESULT STDMETHODCALLTYPE get_CurrentWriteSpeed(LONG* value) override;
    HRESULT STDMETHODCALLTYPE get_CurrentRotationTypeIsPureCAV(VARIANT_BOOL* value) override;
    HRESULT STDMETHODCALLTYPE get_SupportedWriteSpeeds(SAFEARRAY** supportedSpeeds) override;
    HRESULT STDMETHODCALLTYPE
    get_SupportedWriteSpeedDescriptors(SAFEARRAY** supportedSpeedDescriptors) override;
    HRESULT STDMETHODCALLTYPE put_ForceOverwrite(VARIANT_BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE get_ForceOverwrite(VARIANT_BOOL* value) override;
    HRESULT STDMETHODCALLTYPE get_MultisessionInterfaces(SAFEARRAY** value) override;
    HRESULT STDMETHODCALLTYPE Write(IStream* data) override;
    HRESULT STDMETHODCALLTYPE CancelWrite() override;
    HRESULT STDMETHODCALLTYPE SetWriteSpeed(LONG, VARIANT_BOOL) override { return S_OK; }
    // IBurnVerification
    HRESULT STDMETHODCALLTYPE
    put_BurnVerificationLevel(IMAPI_BURN_VERIFICATION_LEVEL value) override;
    HRESULT STDMETHODCALLTYPE
    get_BurnVerificationLevel(IMAPI_BURN_VERIFICATION_LEVEL* value) override;
    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** points) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;

  private:
    // The checks every question about the medium makes first.
    HRESULT Ready() const;
    HRESULT WriteStream(IStream* data);
    // Sleeps while the drive would be writing; ends early on CancelWrite.
    void Pace(DWORD milliseconds) const;
    // Raises Update with a snapshot of the write.
    void Fire(IMAPI_FORMAT2_DATA_WRITE_ACTION action, LONG sectors, LONG written, LONG elapsed,
              LONG total);

    vesko::ComPtr<IDiscRecorder2> m_recorder;
    wchar_t m_letter = 0;
    std::wstring m_clientName;
    bool m_forceClose = false;
    IMAPI_BURN_VERIFICATION_LEVEL m_verification = IMAPI_BURN_VERIFICATION_QUICK;
    std::atomic<bool> m_writing{false};
    std::atomic<bool> m_cancel{false};
    std::shared_ptr<EventPoint::Sinks> m_sinks;
};
