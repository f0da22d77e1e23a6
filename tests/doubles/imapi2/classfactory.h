// The class object of each class of the double (DllGetClassObject).
#pragma once

#include "comdouble.h"

#include <unknwn.h>

class ClassFactory final : public IClassFactory, public RefCounted<ClassFactory> {
  public:
    // The factory for one of the double's class ids; null for others.
    static IClassFactory* For(REFCLSID clsid);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

  private:
    explicit ClassFactory(const CLSID& clsid) : m_clsid(clsid) {}
    CLSID m_clsid;
};
