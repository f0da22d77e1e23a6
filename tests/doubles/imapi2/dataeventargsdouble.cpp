#include "dataeventargsdouble.h"

namespace {

template <typename T>
HRESULT Give(T* out, T value) {
    if (!out)
        return E_POINTER;
    *out = value;
    return S_OK;
}

}  // namespace

HRESULT DataEventArgsDouble::QueryInterface(REFIID iid, void** object) {
    if (!object)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == __uuidof(IWriteEngine2EventArgs) ||
        iid == __uuidof(IDiscFormat2DataEventArgs)) {
        *object = static_cast<IDiscFormat2DataEventArgs*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT DataEventArgsDouble::get_StartLba(LONG* value) {
    return Give(value, m_values.startLba);
}
HRESULT DataEventArgsDouble::get_SectorCount(LONG* value) {
    return Give(value, m_values.sectorCount);
}
HRESULT DataEventArgsDouble::get_LastReadLba(LONG* value) {
    return Give(value, m_values.lastReadLba);
}
HRESULT DataEventArgsDouble::get_LastWrittenLba(LONG* value) {
    return Give(value, m_values.lastWrittenLba);
}
HRESULT DataEventArgsDouble::get_TotalSystemBuffer(LONG* value) {
    return Give(value, 0L);
}
HRESULT DataEventArgsDouble::get_UsedSystemBuffer(LONG* value) {
    return Give(value, 0L);
}
HRESULT DataEventArgsDouble::get_FreeSystemBuffer(LONG* value) {
    return Give(value, 0L);
}
HRESULT DataEventArgsDouble::get_ElapsedTime(LONG* value) {
    return Give(value, m_values.elapsed);
}
HRESULT DataEventArgsDouble::get_RemainingTime(LONG* value) {
    return Give(value, m_values.remaining);
}
HRESULT DataEventArgsDouble::get_TotalTime(LONG* value) {
    return Give(value, m_values.total);
}
HRESULT DataEventArgsDouble::get_CurrentAction(IMAPI_FORMAT2_DATA_WRITE_ACTION* value) {
    return Give(value, m_values.action);
}
