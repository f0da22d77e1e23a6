#include "discrecorder2double.h"

#include "discmaster2double.h"
#include "scenario.h"

#include <string>

namespace {

HRESULT Text(BSTR* value, const std::wstring& text) {
    if (!value)
        return E_POINTER;
    *value = SysAllocString(text.c_str());
    return *value ? S_OK : E_OUTOFMEMORY;
}

HRESULT Nothing(SAFEARRAY** value) {
    if (value)
        *value = nullptr;
    return E_NOTIMPL;
}

}  // namespace

DiscRecorder2Double::~DiscRecorder2Double() {
    // A client that forgets to release leaves the count behind, as a real
    // recorder would stay locked; the Seen counters show it.
    if (m_locks > 0)
        Scenario::See(L"LeftLocked", static_cast<DWORD>(m_locks));
}

bool DiscRecorder2Double::HeldByOther() {
    return !Scenario::Text(L"Busy").empty();
}

HRESULT DiscRecorder2Double::QueryInterface(REFIID iid, void** object) {
    if (!object)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == __uuidof(IDiscRecorder2)) {
        *object = static_cast<IDiscRecorder2*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT DiscRecorder2Double::AcquireExclusiveAccess(VARIANT_BOOL, BSTR clientName) {
    if (!m_letter)
        return E_IMAPI_RECORDER_REQUIRED;
    if (!clientName || !SysStringLen(clientName))
        return E_INVALIDARG;
    if (HeldByOther())
        return E_IMAPI_RECORDER_LOCKED;
    ++m_locks;
    Scenario::See(L"Owner", std::wstring(clientName));
    Scenario::Count(L"Acquired");
    return S_OK;
}

HRESULT DiscRecorder2Double::ReleaseExclusiveAccess() {
    if (m_locks == 0)
        return E_FAIL;
    if (--m_locks == 0)
        Scenario::See(L"Owner", std::wstring());
    Scenario::Count(L"Released");
    return S_OK;
}

HRESULT DiscRecorder2Double::InitializeDiscRecorder(BSTR recorderUniqueId) {
    if (m_letter)
        return E_FAIL;  // IMAPI2 initialises a recorder object once
    const wchar_t letter = DiscMaster2Double::LetterOf(recorderUniqueId);
    if (!letter)
        return E_INVALIDARG;
    m_letter = letter;
    return S_OK;
}

HRESULT DiscRecorder2Double::get_ActiveDiscRecorder(BSTR* value) {
    if (!m_letter)
        return E_IMAPI_RECORDER_REQUIRED;
    return Text(value, DiscMaster2Double::IdFor(m_letter));
}

HRESULT DiscRecorder2Double::get_VendorId(BSTR* value) {
    return Text(value, L"VESKO");
}

HRESULT DiscRecorder2Double::get_ProductId(BSTR* value) {
    return Text(value, L"IMAPI2 DOUBLE");
}

HRESULT DiscRecorder2Double::get_ProductRevision(BSTR* value) {
    return Text(value, L"1.0");
}

HRESULT DiscRecorder2Double::get_VolumeName(BSTR* value) {
    if (!m_letter)
        return E_IMAPI_RECORDER_REQUIRED;
    return Text(value, std::wstring(L"\\\\?\\Volume{vesko-double-") + m_letter + L"}\\");
}

HRESULT DiscRecorder2Double::get_VolumePathNames(SAFEARRAY** value) {
    if (!value)
        return E_POINTER;
    *value = nullptr;
    if (!m_letter)
        return E_IMAPI_RECORDER_REQUIRED;
    SAFEARRAY* paths = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    if (!paths)
        return E_OUTOFMEMORY;
    VARIANT path;
    VariantInit(&path);
    path.vt = VT_BSTR;
    const wchar_t text[] = {m_letter, L':', L'\\', 0};
    path.bstrVal = SysAllocString(text);
    LONG index = 0;
    const HRESULT hr = SafeArrayPutElement(paths, &index, &path);
    VariantClear(&path);
    if (FAILED(hr)) {
        SafeArrayDestroy(paths);
        return hr;
    }
    *value = paths;
    return S_OK;
}

HRESULT DiscRecorder2Double::get_DeviceCanLoadMedia(VARIANT_BOOL* value) {
    if (!value)
        return E_POINTER;
    *value = VARIANT_TRUE;
    return S_OK;
}

HRESULT DiscRecorder2Double::get_LegacyDeviceNumber(LONG* legacyDeviceNumber) {
    if (!legacyDeviceNumber)
        return E_POINTER;
    *legacyDeviceNumber = m_letter ? m_letter - L'A' : -1;
    return S_OK;
}

HRESULT DiscRecorder2Double::get_SupportedFeaturePages(SAFEARRAY** value) {
    return Nothing(value);
}
HRESULT DiscRecorder2Double::get_CurrentFeaturePages(SAFEARRAY** value) {
    return Nothing(value);
}
HRESULT DiscRecorder2Double::get_SupportedProfiles(SAFEARRAY** value) {
    return Nothing(value);
}
HRESULT DiscRecorder2Double::get_CurrentProfiles(SAFEARRAY** value) {
    return Nothing(value);
}
HRESULT DiscRecorder2Double::get_SupportedModePages(SAFEARRAY** value) {
    return Nothing(value);
}

HRESULT DiscRecorder2Double::get_ExclusiveAccessOwner(BSTR* value) {
    if (!m_letter)
        return E_IMAPI_RECORDER_REQUIRED;
    const std::wstring other = Scenario::Text(L"Busy");
    return Text(value, !other.empty() ? other : Scenario::SeenText(L"Owner"));
}
