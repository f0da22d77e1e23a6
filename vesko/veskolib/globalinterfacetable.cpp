#include "globalinterfacetable.h"

namespace {

HRESULT CreateTable(vesko::ComPtr<IGlobalInterfaceTable>& table) {
    return CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                            IID_IGlobalInterfaceTable,
                            reinterpret_cast<void**>(table.ReleaseAndGetAddressOf()));
}

}  // namespace

HRESULT GlobalInterfaceTable::Register(IUnknown* pUnk, REFIID riid, DWORD& dwCookie) {
    if (!pUnk)
        return Revoke(dwCookie);

    vesko::ComPtr<IGlobalInterfaceTable> table;
    HRESULT hr = CreateTable(table);
    if (FAILED(hr))
        return hr;
    if (dwCookie != 0) {
        hr = table->RevokeInterfaceFromGlobal(dwCookie);
        if (FAILED(hr))
            return hr;
        dwCookie = 0;
    }
    return table->RegisterInterfaceInGlobal(pUnk, riid, &dwCookie);
}

HRESULT GlobalInterfaceTable::Revoke(DWORD& dwCookie) {
    if (dwCookie == 0)
        return S_OK;

    vesko::ComPtr<IGlobalInterfaceTable> table;
    HRESULT hr = CreateTable(table);
    if (FAILED(hr))
        return hr;
    hr = table->RevokeInterfaceFromGlobal(dwCookie);
    if (SUCCEEDED(hr))
        dwCookie = 0;
    return hr;
}

HRESULT GlobalInterfaceTable::Fetch(DWORD dwCookie, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;

    vesko::ComPtr<IGlobalInterfaceTable> table;
    HRESULT hr = CreateTable(table);
    if (FAILED(hr))
        return hr;
    hr = table->GetInterfaceFromGlobal(dwCookie, riid, ppv);
    // Callers rely on one rule: success carries a pointer, failure none.
    if (SUCCEEDED(hr) && !*ppv)
        hr = E_POINTER;
    if (FAILED(hr) && *ppv) {
        static_cast<IUnknown*>(*ppv)->Release();
        *ppv = nullptr;
    }
    return hr;
}
