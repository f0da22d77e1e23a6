#include "discformat2erasedouble.h"

#include "discmaster2double.h"
#include "discrecorder2double.h"
#include "scenario.h"

namespace {

template <typename T>
HRESULT Give(T* out, T value) {
    if (!out)
        return E_POINTER;
    *out = value;
    return S_OK;
}

}  // namespace

DiscFormat2EraseDouble::DiscFormat2EraseDouble()
    : m_sinks(std::make_shared<EventPoint::Sinks>(__uuidof(DDiscFormat2EraseEvents))) {}

HRESULT DiscFormat2EraseDouble::QueryInterface(REFIID iid, void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == __uuidof(IDiscFormat2) ||
        iid == __uuidof(IDiscFormat2Erase))
        *object = static_cast<IDiscFormat2Erase*>(this);
    else if (iid == IID_IConnectionPointContainer)
        *object = static_cast<IConnectionPointContainer*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

HRESULT DiscFormat2EraseDouble::IsRecorderSupported(IDiscRecorder2* recorder, VARIANT_BOOL* value) {
    if (!recorder)
        return E_POINTER;
    return Give(value, static_cast<VARIANT_BOOL>(VARIANT_TRUE));
}

HRESULT DiscFormat2EraseDouble::IsCurrentMediaSupported(IDiscRecorder2* recorder,
                                                        VARIANT_BOOL* value) {
    if (!recorder)
        return E_POINTER;
    const bool ok = Scenario::Medium() != L"none" && Scenario::Rewritable(Scenario::MediaType());
    return Give(value, static_cast<VARIANT_BOOL>(ok ? VARIANT_TRUE : VARIANT_FALSE));
}

HRESULT DiscFormat2EraseDouble::get_MediaPhysicallyBlank(VARIANT_BOOL* value) {
    if (Scenario::Medium() == L"none")
        return E_IMAPI_RECORDER_MEDIA_NO_MEDIA;
    return Give(value, static_cast<VARIANT_BOOL>(Scenario::Medium() == L"blank" ? VARIANT_TRUE
                                                                                : VARIANT_FALSE));
}

HRESULT DiscFormat2EraseDouble::get_MediaHeuristicallyBlank(VARIANT_BOOL* value) {
    return get_MediaPhysicallyBlank(value);
}

HRESULT DiscFormat2EraseDouble::get_SupportedMediaTypes(SAFEARRAY** value) {
    if (value)
        *value = nullptr;
    return E_NOTIMPL;
}

HRESULT DiscFormat2EraseDouble::put_Recorder(IDiscRecorder2* value) {
    if (!value)
        return E_POINTER;
    const wchar_t letter = DiscMaster2Double::LetterOf(value);
    if (!letter)
        return E_IMAPI_RECORDER_REQUIRED;
    m_recorder = value;
    m_letter = letter;
    return S_OK;
}

HRESULT DiscFormat2EraseDouble::get_Recorder(IDiscRecorder2** value) {
    if (!value)
        return E_POINTER;
    *value = m_recorder.Get();
    if (*value)
        (*value)->AddRef();
    return S_OK;
}

HRESULT DiscFormat2EraseDouble::put_FullErase(VARIANT_BOOL value) {
    m_full = value != VARIANT_FALSE;
    return S_OK;
}

HRESULT DiscFormat2EraseDouble::get_FullErase(VARIANT_BOOL* value) {
    return Give(value, static_cast<VARIANT_BOOL>(m_full ? VARIANT_TRUE : VARIANT_FALSE));
}

HRESULT DiscFormat2EraseDouble::get_CurrentPhysicalMediaType(IMAPI_MEDIA_PHYSICAL_TYPE* value) {
    if (!m_letter)
        return E_IMAPI_RECORDER_REQUIRED;
    if (DiscRecorder2Double::HeldByOther())
        return E_IMAPI_RECORDER_LOCKED;
    if (Scenario::Medium() == L"none")
        return E_IMAPI_RECORDER_MEDIA_NO_MEDIA;
    return Give(value, static_cast<IMAPI_MEDIA_PHYSICAL_TYPE>(Scenario::MediaType()));
}

HRESULT DiscFormat2EraseDouble::put_ClientName(BSTR value) {
    if (!value || !SysStringLen(value))
        return E_IMAPI_ERASE_CLIENT_NAME_IS_NOT_VALID;
    m_clientName.assign(value, SysStringLen(value));
    return S_OK;
}

HRESULT DiscFormat2EraseDouble::get_ClientName(BSTR* value) {
    if (!value)
        return E_POINTER;
    *value = SysAllocString(m_clientName.c_str());
    return S_OK;
}

HRESULT DiscFormat2EraseDouble::EraseMedia() {
    if (!m_letter)
        return E_IMAPI_RECORDER_REQUIRED;
    Scenario::Count(L"Erases");
    Scenario::See(L"ClientName", m_clientName);
    Scenario::See(L"FullErase", static_cast<DWORD>(m_full));
    Scenario::See(L"OwnerAtWrite", Scenario::SeenText(L"Owner"));
    if (m_clientName.empty())
        return E_IMAPI_ERASE_CLIENT_NAME_IS_NOT_VALID;
    if (DiscRecorder2Double::HeldByOther())
        return E_IMAPI_RECORDER_LOCKED;
    if (Scenario::Medium() == L"none")
        return E_IMAPI_RECORDER_MEDIA_NO_MEDIA;
    if (!Scenario::Rewritable(Scenario::MediaType()))
        return E_IMAPI_ERASE_MEDIA_IS_NOT_SUPPORTED;
    const LONG steps = static_cast<LONG>(Scenario::Number(L"EraseSteps", 4));
    const DWORD pace = Scenario::Number(L"PaceMs", 0);
    for (LONG elapsed = 0; elapsed <= steps; ++elapsed) {
        VARIANT arguments[3];
        for (auto& argument : arguments)
            VariantInit(&argument);
        arguments[0].vt = VT_DISPATCH;
        arguments[0].pdispVal = static_cast<IDiscFormat2Erase*>(this);
        arguments[1].vt = VT_I4;
        arguments[1].lVal = elapsed;
        arguments[2].vt = VT_I4;
        arguments[2].lVal = steps;
        if (m_sinks->Fire(arguments, 3) > 0)
            Scenario::Count(L"Updates");
        if (pace && elapsed < steps)
            Sleep(pace);
    }
    Scenario::SetText(L"Medium", L"blank");
    Scenario::SetNumber(L"FreeSectors", Scenario::Number(L"TotalSectors", 359846));
    return S_OK;
}

HRESULT DiscFormat2EraseDouble::EnumConnectionPoints(IEnumConnectionPoints** points) {
    if (points)
        *points = nullptr;
    return E_NOTIMPL;
}

HRESULT DiscFormat2EraseDouble::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
    if (!point)
        return E_POINTER;
    *point = nullptr;
    if (iid != __uuidof(DDiscFormat2EraseEvents))
        return CONNECT_E_NOCONNECTION;
    *point = EventPoint::Create(this, m_sinks).Detach();
    return S_OK;
}
