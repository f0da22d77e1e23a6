#include "globalinterfacetable.h"

#include <cstring>
#include <limits>

#include "apartmentproxycache.h"

namespace {

HRESULT CreateTable(vesko::ComPtr<IGlobalInterfaceTable>& table) {
    return CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                            IID_IGlobalInterfaceTable,
                            reinterpret_cast<void**>(table.ReleaseAndGetAddressOf()));
}

// The standard wire form of a marshalled interface: an OBJREF ("MEOW", its
// flags, the IID) whose STDOBJREF (flags, then the count of public references
// the packet carries, then the object's identifiers) follows at once.
constexpr ULONG kObjRefSignature = 0x574F454D;  // "MEOW"
constexpr ULONG kObjRefStandard = 0x1;
constexpr size_t kObjRefFlagsAt = 4;
constexpr size_t kPublicRefsAt = 4 + 4 + 16 + 4;

// Gives the remote object of pProxy one public reference back, through this
// apartment's proxy: the proxy passes out some of its references in a
// marshalled packet, takes the packet back with one reference more than it
// gave, and so returns that one to the object's process with its own when it
// goes. False when the packet is not in the standard form (it is then taken
// back unchanged).
bool GiveBackOneReference(IUnknown* pProxy) {
    vesko::ComPtr<IStream> stream;
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.GetAddressOf())) ||
        FAILED(CoMarshalInterface(stream.Get(), IID_IUnknown, pProxy, MSHCTX_INPROC, nullptr,
                                  MSHLFLAGS_NORMAL))) {
        return false;
    }
    bool bCounted = false;
    HGLOBAL hPacket = nullptr;
    if (SUCCEEDED(GetHGlobalFromStream(stream.Get(), &hPacket)) &&
        GlobalSize(hPacket) >= kPublicRefsAt + sizeof(ULONG)) {
        if (auto* bytes = static_cast<BYTE*>(GlobalLock(hPacket))) {
            ULONG signature = 0, flags = 0, refs = 0;
            std::memcpy(&signature, bytes, sizeof(ULONG));
            std::memcpy(&flags, bytes + kObjRefFlagsAt, sizeof(ULONG));
            std::memcpy(&refs, bytes + kPublicRefsAt, sizeof(ULONG));
            if (signature == kObjRefSignature && flags == kObjRefStandard &&
                refs != std::numeric_limits<ULONG>::max()) {
                ++refs;
                std::memcpy(bytes + kPublicRefsAt, &refs, sizeof(ULONG));
                bCounted = true;
            }
            GlobalUnlock(hPacket);
        }
    }
    const LARGE_INTEGER start = {};
    vesko::ComPtr<IUnknown> back;
    const bool bTaken =
        SUCCEEDED(stream->Seek(start, STREAM_SEEK_SET, nullptr)) &&
        SUCCEEDED(CoUnmarshalInterface(stream.Get(), IID_IUnknown,
                                       reinterpret_cast<void**>(back.GetAddressOf())));
    return bCounted && bTaken;
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
        hr = Revoke(dwCookie);
        if (FAILED(hr))
            return hr;
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
    // Wine's table cannot release what registering a proxy took: the table's
    // own reference on the remote object (marshalled table-strong). Its
    // revocation drops the entry but answers RPC_E_INVALID_OBJREF, and the
    // reference stays counted in the broker's process for good, so the
    // broker, which ends when its client's last reference goes, would live
    // as long as the host. This apartment's proxy of the registration,
    // fetched while the entry still exists, gives that reference back. The
    // table of Windows releases it itself and never answers so.
    vesko::ComPtr<IUnknown> registered;
    table->GetInterfaceFromGlobal(dwCookie, IID_IUnknown,
                                  reinterpret_cast<void**>(registered.GetAddressOf()));
    hr = table->RevokeInterfaceFromGlobal(dwCookie);
    if (hr == RPC_E_INVALID_OBJREF && registered && GiveBackOneReference(registered.Get()))
        hr = S_OK;
    if (SUCCEEDED(hr))
        dwCookie = 0;
    return hr;
}

HRESULT GlobalInterfaceTable::Fetch(DWORD dwCookie, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;

    // The apartment's kept proxy to the broker is what makes this fetch
    // cheap (see ApartmentProxyCache).
    ApartmentProxyCache::Refresh();

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
