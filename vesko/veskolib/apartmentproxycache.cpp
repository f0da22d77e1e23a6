#include "apartmentproxycache.h"

#include <vesko/raii.h>

#include <mutex>
#include <utility>

// Told by COM, on a thread that keeps a proxy, when the thread leaves COM:
// the last CoUninitialize of the thread ends its single-threaded apartment
// (or its part in the multithreaded one), and what the thread keeps must go
// before the apartment does. It lives as long as the library, which pins
// itself in memory before the first registration (see WatchThisThread), so
// it counts no references.
class ApartmentProxyCache::Spy final : public IInitializeSpy {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IInitializeSpy) {
            *ppv = static_cast<IInitializeSpy*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP PreInitialize(DWORD, DWORD) override { return S_OK; }
    STDMETHODIMP PostInitialize(HRESULT hrCoInit, DWORD, DWORD) override { return hrCoInit; }
    STDMETHODIMP PreUninitialize(DWORD dwCurThreadAptRefs) override {
        // Only the thread's outermost CoUninitialize ends its apartment.
        if (dwCurThreadAptRefs == 1)
            ThreadLeavesCom();
        return S_OK;
    }
    STDMETHODIMP PostUninitialize(DWORD) override { return S_OK; }
};

namespace {

// The registration whose proxies the apartments keep, and its generation: a
// proxy kept under another generation belongs to a registration that is gone.
struct Registration {
    DWORD dwCookie = 0;
    IID iid = IID_NULL;
    unsigned long long nGeneration = 0;
};

// The multithreaded apartment's proxy, and the thread that fetched it (the one
// whose leaving COM releases it).
struct MultithreadedSlot {
    IUnknown* pProxy = nullptr;
    unsigned long long nGeneration = 0;
    DWORD dwThreadId = 0;
};

std::mutex g_lock;  // guards g_kept and g_multithreaded
Registration g_kept;
MultithreadedSlot g_multithreaded;

// The thread's own: the proxy of its single-threaded apartment and its
// registration with COM's notifications. Plain data, so that nothing of it
// runs when the thread ends: a thread that ends inside its apartment has
// broken COM's rules, and COM itself disconnects what the apartment held.
struct ThreadSlot {
    IUnknown* pProxy;
    unsigned long long nGeneration;
    ULARGE_INTEGER spyCookie;
    bool bWatched;
};
thread_local ThreadSlot t_slot = {};

enum class Apartment { kNone, kSingle, kMulti };

Apartment CurrentApartment() {
    APTTYPE type = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    if (FAILED(CoGetApartmentType(&type, &qualifier)))
        return Apartment::kNone;
    switch (type) {
        case APTTYPE_STA:
        case APTTYPE_MAINSTA:
            return Apartment::kSingle;
        case APTTYPE_MTA:
            // A thread that never entered COM itself but runs in the
            // multithreaded apartment because others keep it alive is never
            // told when the apartment ends: it keeps nothing.
            return qualifier == APTTYPEQUALIFIER_IMPLICIT_MTA ? Apartment::kNone
                                                              : Apartment::kMulti;
        default:
            return Apartment::kNone;
    }
}

Registration Kept() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_kept;
}

// This apartment's own reference to what is registered under dwCookie, or null.
IUnknown* FetchFromTable(DWORD dwCookie, REFIID riid) {
    vesko::ComPtr<IGlobalInterfaceTable> table;
    if (FAILED(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IGlobalInterfaceTable,
                                reinterpret_cast<void**>(table.GetAddressOf())))) {
        return nullptr;
    }
    IUnknown* pProxy = nullptr;
    if (FAILED(table->GetInterfaceFromGlobal(dwCookie, riid, reinterpret_cast<void**>(&pProxy))) &&
        pProxy) {
        pProxy->Release();
        pProxy = nullptr;
    }
    return pProxy;
}

void ReleaseProxy(IUnknown* pProxy) {
    if (pProxy)
        pProxy->Release();
}

// A thread that keeps a proxy is called back when it leaves COM, possibly
// long after the host let go of the library: the library stays loaded for
// the rest of the process from then on, or that call would reach unmapped
// code.
void PinLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        static const char kInsideTheLibrary = 0;
        HMODULE module = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(&kInsideTheLibrary), &module);
    });
}

}  // namespace

void ApartmentProxyCache::Keep(DWORD dwCookie, REFIID riid) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_kept.dwCookie = dwCookie;
    g_kept.iid = riid;
    ++g_kept.nGeneration;
}

void ApartmentProxyCache::Forget(DWORD dwCookie) {
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (dwCookie == 0 || g_kept.dwCookie != dwCookie)
            return;
        g_kept.dwCookie = 0;
        g_kept.iid = IID_NULL;
        ++g_kept.nGeneration;
    }
    // Nothing is kept any more, so this apartment's proxy is stale now.
    Refresh();
}

void ApartmentProxyCache::Refresh() {
    switch (CurrentApartment()) {
        case Apartment::kSingle:
            RefreshSingleThreaded();
            break;
        case Apartment::kMulti:
            RefreshMultithreaded();
            break;
        case Apartment::kNone:
            break;
    }
}

void ApartmentProxyCache::RefreshSingleThreaded() {
    ThreadSlot& slot = t_slot;
    const Registration kept = Kept();
    // Out of the slot before the release: a single-threaded apartment runs
    // its message loop while it waits for the broker, and a call nested in
    // that loop must not find the proxy half released.
    if (slot.pProxy && slot.nGeneration != kept.nGeneration)
        ReleaseProxy(std::exchange(slot.pProxy, nullptr));
    if (slot.pProxy || kept.dwCookie == 0 || !WatchThisThread())
        return;
    IUnknown* pFresh = FetchFromTable(kept.dwCookie, kept.iid);
    if (!pFresh)
        return;
    if (slot.pProxy) {
        // A nested call kept one while this fetch waited.
        pFresh->Release();
        return;
    }
    slot.pProxy = pFresh;
    slot.nGeneration = kept.nGeneration;
}

void ApartmentProxyCache::RefreshMultithreaded() {
    IUnknown* pStale = nullptr;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (g_multithreaded.pProxy && g_multithreaded.nGeneration != g_kept.nGeneration)
            pStale = std::exchange(g_multithreaded.pProxy, nullptr);
        if (!g_multithreaded.pProxy && g_kept.dwCookie != 0 && WatchThisThread()) {
            if (IUnknown* pFresh = FetchFromTable(g_kept.dwCookie, g_kept.iid)) {
                g_multithreaded.pProxy = pFresh;
                g_multithreaded.nGeneration = g_kept.nGeneration;
                g_multithreaded.dwThreadId = GetCurrentThreadId();
            }
        }
    }
    // Any thread of the multithreaded apartment may release its proxy.
    ReleaseProxy(pStale);
}

bool ApartmentProxyCache::WatchThisThread() {
    static Spy spy;
    ThreadSlot& slot = t_slot;
    if (slot.bWatched)
        return true;
    // Without the notice the thread could leave COM with the proxy still
    // kept: then nothing is kept.
    PinLibrary();
    slot.bWatched = SUCCEEDED(CoRegisterInitializeSpy(&spy, &slot.spyCookie));
    return slot.bWatched;
}

void ApartmentProxyCache::ThreadLeavesCom() {
    // The thread is still in its apartment here: each proxy is released in
    // the apartment that made it.
    ThreadSlot& slot = t_slot;
    ReleaseProxy(std::exchange(slot.pProxy, nullptr));
    IUnknown* pMultithreaded = nullptr;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (g_multithreaded.pProxy && g_multithreaded.dwThreadId == GetCurrentThreadId())
            pMultithreaded = std::exchange(g_multithreaded.pProxy, nullptr);
    }
    ReleaseProxy(pMultithreaded);
    // The next time the thread keeps a proxy it asks for the notice again.
    if (slot.bWatched) {
        slot.bWatched = false;
        CoRevokeInitializeSpy(slot.spyCookie);
    }
}
