#include "ioprotected.h"

#include <veskobroker.h>

#include "cdwriteprotected.h"
#include "cveskolibapp.h"
#include "filedlgprotected.h"
#include "fileioprotected.h"
#include "globalinterfacetable.h"

#include <memory>
#include <thread>

using vesko::ComPtr;

IOProtected::IOProtected() : m_dwBrokerCookie(0) {}

namespace {

bool InMultithreadedApartment() {
    APTTYPE type = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    return SUCCEEDED(CoGetApartmentType(&type, &qualifier)) && type == APTTYPE_MTA;
}

}  // namespace

IOProtected::~IOProtected() {
    ReleaseMtaBroker();
    // The GIT's reference to the broker goes with the registration; the
    // broker object follows once the services' registrations are gone too.
    GlobalInterfaceTable::Revoke(m_dwBrokerCookie);
}

void IOProtected::ReleaseMtaBroker() {
    if (!m_pMtaBroker)
        return;
    if (InMultithreadedApartment()) {
        m_pMtaBroker.Reset();
        return;
    }
    // The proxy belongs to the MTA: a thread of another apartment hands its
    // release to a short-lived thread of the MTA.
    IBroker* pBroker = m_pMtaBroker.Detach();
    std::thread([pBroker] {
        vesko::ComApartment apartment(COINIT_MULTITHREADED);
        pBroker->Release();
    }).join();
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
    // Every operation fetches its interface from the GIT afresh. The table
    // keeps the marshalled form and unmarshals it on each fetch (Wine's
    // always does): in an apartment that holds no proxy to the broker, each
    // fetch builds a proxy and a connection to the broker process and each
    // release tears them down again, some 15 to 35 ms per operation instead
    // of one cross-process call of about 1 ms. Keeping the created proxy in
    // the MTA for the set's life lets every fetch there find it, and keeps the
    // connection to the broker open for the other apartments too. Nothing is
    // called through it, and the broker's lifetime does not change: the
    // registration holds the broker as long.
    if (hr == S_OK && InMultithreadedApartment())
        m_pMtaBroker = broker;
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
    // In the MTA the fetch finds the proxy the set keeps there and succeeds
    // even after the broker's death; the queries or registrations below then
    // fail, and Init ends false with services that report the failure.
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
