#include "ioprotected.h"

#include <veskobroker.h>

#include "apartmentproxycache.h"
#include "cdwriteprotected.h"
#include "cveskolibapp.h"
#include "filedlgprotected.h"
#include "fileioprotected.h"
#include "globalinterfacetable.h"

#include <memory>

using vesko::ComPtr;

IOProtected::IOProtected() : m_dwBrokerCookie(0) {}

IOProtected::~IOProtected() {
    // The GIT's reference to the broker goes with the registration; the
    // broker object follows once the services' registrations are gone too,
    // and the proxies the apartments keep of it: this thread's apartment lets
    // go of its own now, the others on their own threads (their next fetch,
    // or their leaving COM).
    const DWORD dwKept = m_dwBrokerCookie;
    GlobalInterfaceTable::Revoke(m_dwBrokerCookie);
    ApartmentProxyCache::Forget(dwKept);
}

bool IOProtected::EnsureBroker() {
    CSingleLock lock(&m_csBroker, TRUE);
    if (m_dwBrokerCookie != 0)
        return true;

    ComPtr<IBroker> broker;
    HRESULT hr = CoCreateInstance(CLSID_Broker, nullptr, CLSCTX_LOCAL_SERVER, IID_IBroker,
                                  reinterpret_cast<void**>(broker.GetAddressOf()));
    // Only S_OK counts: any other code, even a success, leaves no usable broker.
    if (hr == S_OK) {
        broker->SetLanguageID(theApp.GetLanguageID());
        hr = GlobalInterfaceTable::Register(broker.Get(), IID_IBroker, m_dwBrokerCookie);
    }
    if (hr == S_OK) {
        // Every operation fetches its interface from the GIT afresh, and a
        // fetch in an apartment without a proxy to the broker builds one and
        // a connection to the broker process (then tears them down with the
        // release): many times the cost of the one cross-process call the
        // operation needs. So each apartment that fetches keeps one proxy of
        // this broker between calls, released in that apartment when it
        // leaves COM or when this set goes (ApartmentProxyCache). This
        // thread's apartment takes its proxy now, from the one just created.
        ApartmentProxyCache::Keep(m_dwBrokerCookie, IID_IBroker);
        ApartmentProxyCache::Refresh();
    }
    return hr == S_OK;
}

HRESULT IOProtected::GetBroker(IBroker** ppBroker) {
    return GlobalInterfaceTable::Fetch(m_dwBrokerCookie, IID_IBroker,
                                       reinterpret_cast<void**>(ppBroker));
}

bool IOProtected::Init(VeskoSecurityAttributes* pAttr) {
    IOService::Init(pAttr);
    if (!EnsureBroker())
        return false;

    ComPtr<IBroker> broker;
    GetBroker(broker.GetAddressOf());
    // A registration whose broker cannot be fetched (its process has gone
    // since it was registered) is treated like no broker at all: the host
    // sees the same null services as when the broker could not be started.
    // In an apartment that keeps a proxy of the broker the fetch finds it and
    // succeeds even after the broker's death; the queries or registrations
    // below then fail, and Init ends false with services that report the
    // failure.
    if (!broker)
        return false;

    auto pFileIO = std::make_unique<FileIOProtected>();
    pFileIO->Init(pAttr);
    {
        ComPtr<IFileIOBroker> fileIO;
        if (SUCCEEDED(broker.As(&fileIO))) {
            GlobalInterfaceTable::Register(fileIO.Get(), IID_IFileIOBroker,
                                           pFileIO->m_dwBrokerCookie);
        }
    }
    SetFileIOService(pFileIO.release());

    auto pFileDlg = std::make_unique<FileDlgProtected>();
    bool bResult = false;
    {
        ComPtr<IFileDlgBroker> fileDlg;
        if (SUCCEEDED(broker.As(&fileDlg))) {
            bResult = SUCCEEDED(GlobalInterfaceTable::Register(fileDlg.Get(), IID_IFileDlgBroker,
                                                               pFileDlg->m_dwBrokerCookie));
        }
    }
    SetFileDlgService(pFileDlg.release());
    return bResult;
}

void IOProtected::Release() {
    IOService::Release();
}

CDExpService* IOProtected::CreateCDExpService() {
    // The old service's worker must be gone before the new one waits on the
    // same named events.
    if (GetCDExpService())
        ReleaseCDExpService();

    ComPtr<IBroker> broker;
    GetBroker(broker.GetAddressOf());
    // Without a broker (none was started, or it has gone) the service is made
    // all the same and reports the failure through its operations.
    auto pCDWrite = std::make_unique<CDWriteProtected>();
    pCDWrite->Init(broker.Get(), m_pSecurityAttr);
    SetCDExpService(pCDWrite.get());
    return pCDWrite.release();
}

void IOProtected::ReleaseCDExpService() {
    delete GetCDExpService();
    SetCDExpService(nullptr);
}
