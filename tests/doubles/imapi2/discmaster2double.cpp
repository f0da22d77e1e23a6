#include "discmaster2double.h"

#include "scenario.h"

#include <string>

std::wstring DiscMaster2Double::IdFor(wchar_t letter) {
    return std::wstring(L"\\\\?\\scsi#cdrom&ven_vesko&prod_double#") + letter;
}

wchar_t DiscMaster2Double::LetterOf(const wchar_t* id) {
    const std::wstring text = id ? id : L"";
    const std::wstring prefix = IdFor(L'?').substr(0, IdFor(L'?').size() - 1);
    if (text.size() != prefix.size() + 1 || text.compare(0, prefix.size(), prefix) != 0)
        return 0;
    const wchar_t letter = text.back();
    return Letters().find(letter) != std::wstring::npos ? letter : 0;
}

wchar_t DiscMaster2Double::LetterOf(IDiscRecorder2* recorder) {
    BSTR id = nullptr;
    const HRESULT hr = recorder->get_ActiveDiscRecorder(&id);
    const wchar_t letter = SUCCEEDED(hr) ? LetterOf(id) : 0;
    SysFreeString(id);
    return letter;
}

std::wstring DiscMaster2Double::Letters() {
    const std::wstring list = Scenario::Text(L"Recorders");
    std::wstring letters;
    for (size_t i = 0; i + 1 < list.size(); ++i)
        if (list[i + 1] == L':' && iswalpha(list[i]))
            letters += static_cast<wchar_t>(towupper(list[i]));
    return letters;
}

HRESULT DiscMaster2Double::QueryInterface(REFIID iid, void** object) {
    if (!object)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == __uuidof(IDiscMaster2)) {
        *object = static_cast<IDiscMaster2*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT DiscMaster2Double::get__NewEnum(IEnumVARIANT** ppunk) {
    if (ppunk)
        *ppunk = nullptr;
    return E_NOTIMPL;
}

HRESULT DiscMaster2Double::get_Item(LONG index, BSTR* value) {
    if (!value)
        return E_POINTER;
    *value = nullptr;
    const std::wstring letters = Letters();
    if (index < 0 || static_cast<size_t>(index) >= letters.size())
        return E_INVALIDARG;
    *value = SysAllocString(IdFor(letters[static_cast<size_t>(index)]).c_str());
    return *value ? S_OK : E_OUTOFMEMORY;
}

HRESULT DiscMaster2Double::get_Count(LONG* value) {
    if (!value)
        return E_POINTER;
    *value = static_cast<LONG>(Letters().size());
    return S_OK;
}

HRESULT DiscMaster2Double::get_IsSupportedEnvironment(VARIANT_BOOL* value) {
    if (!value)
        return E_POINTER;
    *value = VARIANT_TRUE;
    return S_OK;
}
