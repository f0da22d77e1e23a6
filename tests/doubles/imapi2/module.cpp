// The double's DLL entry points. It registers nothing itself: each test
// writes its InprocServer32 registration for its own scope.
#include "classfactory.h"

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    IClassFactory* factory = ClassFactory::For(clsid);
    if (!factory)
        return CLASS_E_CLASSNOTAVAILABLE;
    const HRESULT hr = factory->QueryInterface(iid, object);
    factory->Release();
    return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return DoubleObjects() == 0 ? S_OK : S_FALSE;
}
