// The three steps every broker-backed object uses to keep a broker interface
// in the process's Global Interface Table: register, fetch, revoke.
//
// A broker-backed object holds no interface pointer between calls, only a
// cookie (0 = none). The table object is created for each step and released
// after it, so a step works on whatever thread of the process calls it, as
// long as that thread is in a COM apartment. What makes a fetch cheap is
// the one proxy to the broker each apartment keeps (ApartmentProxyCache).
#pragma once

#include <windows.h>
#include <objidl.h>

#include <vesko/raii.h>

class GlobalInterfaceTable {
  public:
    GlobalInterfaceTable() = delete;

    // Registers pUnk (as riid) under dwCookie. A cookie already in the field
    // is revoked first; if that fails the step ends with its result and the
    // field keeps the old cookie. A null pUnk only revokes.
    static HRESULT Register(IUnknown* pUnk, REFIID riid, DWORD& dwCookie);

    // Revokes dwCookie if it is not 0. The field becomes 0 only when the
    // registration is gone with the reference it held (under Wine, whose
    // table keeps the reference a registered proxy took on its remote
    // object, once that reference is given back here).
    static HRESULT Revoke(DWORD& dwCookie);

    // Fetches this apartment's own reference to the interface registered
    // under dwCookie, after bringing the apartment's kept broker proxy up to
    // date (ApartmentProxyCache::Refresh). Success always carries a pointer (a table that answers
    // S_OK with none gives E_POINTER); *ppv is null on failure. The caller
    // releases it.
    static HRESULT Fetch(DWORD dwCookie, REFIID riid, void** ppv);

    template <typename Interface>
    static HRESULT Fetch(DWORD dwCookie, vesko::ComPtr<Interface>& pInterface) {
        pInterface.Reset();
        return Fetch(dwCookie, __uuidof(Interface),
                     reinterpret_cast<void**>(pInterface.ReleaseAndGetAddressOf()));
    }
};
