#include "classfactory.h"

#include "discformat2datadouble.h"
#include "discformat2erasedouble.h"
#include "discmaster2double.h"
#include "discrecorder2double.h"

std::atomic<long>& DoubleObjects() {
    static std::atomic<long> objects{0};
    return objects;
}

IClassFactory* ClassFactory::For(REFCLSID clsid) {
    if (clsid == __uuidof(MsftDiscMaster2) || clsid == __uuidof(MsftDiscRecorder2) ||
        clsid == __uuidof(MsftDiscFormat2Data) || clsid == __uuidof(MsftDiscFormat2Erase))
        return new ClassFactory(clsid);
    return nullptr;
}

HRESULT ClassFactory::QueryInterface(REFIID iid, void** object) {
    if (!object)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT ClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    vesko::ComPtr<IUnknown> made;
    if (m_clsid == __uuidof(MsftDiscMaster2))
        *made.ReleaseAndGetAddressOf() = static_cast<IDiscMaster2*>(new DiscMaster2Double());
    else if (m_clsid == __uuidof(MsftDiscRecorder2))
        *made.ReleaseAndGetAddressOf() = static_cast<IDiscRecorder2*>(new DiscRecorder2Double());
    else if (m_clsid == __uuidof(MsftDiscFormat2Data))
        *made.ReleaseAndGetAddressOf() =
            static_cast<IDiscFormat2Data*>(new DiscFormat2DataDouble());
    else
        *made.ReleaseAndGetAddressOf() =
            static_cast<IDiscFormat2Erase*>(new DiscFormat2EraseDouble());
    return made->QueryInterface(iid, object);
}

HRESULT ClassFactory::LockServer(BOOL lock) {
    if (lock)
        ++DoubleObjects();
    else
        --DoubleObjects();
    return S_OK;
}
