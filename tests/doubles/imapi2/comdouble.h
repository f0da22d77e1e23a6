// What every object of the IMAPI2 double shares: a reference count that
// keeps the DLL loaded while objects live, and IDispatch answered as
// IMAPI2's own objects answer a caller that uses their vtables (the product
// never goes through type information).
#pragma once

#include <oaidl.h>

#include <atomic>

// Objects alive in the DLL (DllCanUnloadNow).
std::atomic<long>& DoubleObjects();

template <typename Self>
class RefCounted {
  protected:
    RefCounted() { ++DoubleObjects(); }
    ~RefCounted() { --DoubleObjects(); }
    ULONG AddRefImpl() { return ++m_refs; }
    ULONG ReleaseImpl() {
        const ULONG left = --m_refs;
        if (left == 0)
            delete static_cast<Self*>(this);  // COM reference counting owns the object
        return left;
    }

  private:
    std::atomic<ULONG> m_refs{1};
};

template <typename Interface>
class DispatchStub : public Interface {
  public:
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count)
            return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info)
            *info = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }
};
