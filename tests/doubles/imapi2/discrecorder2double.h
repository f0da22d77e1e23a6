// MsftDiscRecorder2 of the double: one recorder of the scenario, found by
// the unique id the master gives it. Exclusive access is counted per object;
// the scenario's Busy names another program that holds the recorder.
#pragma once

#include "comdouble.h"
#include "imapi2/imapi2defs.h"

class DiscRecorder2Double final : public DispatchStub<IDiscRecorder2>,
                                  public RefCounted<DiscRecorder2Double> {
  public:
    ~DiscRecorder2Double();
    // True when another program holds the recorder (the scenario's Busy).
    static bool HeldByOther();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    HRESULT STDMETHODCALLTYPE EjectMedia() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CloseTray() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AcquireExclusiveAccess(VARIANT_BOOL force, BSTR clientName) override;
    HRESULT STDMETHODCALLTYPE ReleaseExclusiveAccess() override;
    HRESULT STDMETHODCALLTYPE DisableMcn() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnableMcn() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE InitializeDiscRecorder(BSTR recorderUniqueId) override;
    HRESULT STDMETHODCALLTYPE get_ActiveDiscRecorder(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE get_VendorId(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE get_ProductId(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE get_ProductRevision(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE get_VolumeName(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE get_VolumePathNames(SAFEARRAY** value) override;
    HRESULT STDMETHODCALLTYPE get_DeviceCanLoadMedia(VARIANT_BOOL* value) override;
    HRESULT STDMETHODCALLTYPE get_LegacyDeviceNumber(LONG* legacyDeviceNumber) override;
    HRESULT STDMETHODCALLTYPE get_SupportedFeaturePages(SAFEARRAY** value) override;
    HRESULT STDMETHODCALLTYPE get_CurrentFeaturePages(SAFEARRAY** value) override;
    HRESULT STDMETHODCALLTYPE get_SupportedProfiles(SAFEARRAY** value) override;
    HRESULT STDMETHODCALLTYPE get_CurrentProfiles(SAFEARRAY** value) override;
    HRESULT STDMETHODCALLTYPE get_SupportedModePages(SAFEARRAY** value) override;
    HRESULT STDMETHODCALLTYPE get_ExclusiveAccessOwner(BSTR* value) override;

    wchar_t Letter() const { return m_letter; }

  private:
    wchar_t m_letter = 0;
    long m_locks = 0;
};
