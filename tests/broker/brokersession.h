// Helpers for the tests that drive the real broker process over COM.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>
#include <utility>

#include <vesko/raii.h>

#include "dialogdouble.h"
#include "sfileio.h"
#include "testsupport.h"
#include "veskobroker.h"
#include "veskosecurityattributes.h"

namespace vesko::test {

// UTF-8 text (NULs inside kept) as a BSTR, and back ("(null)" for none).
inline UniqueBstr Bstr(const std::string& text) {
    const int size = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    UniqueBstr out(SysAllocStringLen(nullptr, static_cast<UINT>(n)));
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.Get(), n);
    return out;
}
inline std::string Text(BSTR t) {
    return t ? std::string(t, t + SysStringLen(t)) : "(null)";  // the tests' texts are ASCII
}

// The library's identity string, which the broker expects first.
inline std::string Identity() {
    return VeskoSecurityAttributes::FormatIdentity().GetString();
}

// The folders of the worker's table as the library resolves them; the
// broker's audit log is VeskoBroker.log in the log folder.
struct Known {
    static std::string Writable() { return Table().GetWritableDir().GetString(); }
    static std::string Log() { return Table().GetLogDir().GetString(); }
    static std::string AuditLog() { return Log() + "\\VeskoBroker.log"; }
    static const SFileIO& Table() {
        static SFileIO folders;
        if (!folders.IsInitialized())
            folders.Init(nullptr);  // their names are what the tests need
        return folders;
    }
};

// One broker activated the way the library does it: CoCreateInstance with
// CLSCTX_LOCAL_SERVER, every interface registered in the Global Interface
// Table, from which each use fetches its own reference (Wine would keep a
// reference in the table even after a revocation: none is made).
class BrokerSession {
  public:
    HRESULT Open() {
        ComPtr<IBroker> broker;
        DWORD version = 0;
        HRESULT hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_PPV_ARGS(&m_git));
        if (SUCCEEDED(hr))
            hr =
                CoCreateInstance(CLSID_Broker, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&broker));
        if (SUCCEEDED(hr))
            hr = broker->GetBrokerInfo(&m_processId, &version);
        for (int i = 0; i < 4 && SUCCEEDED(hr); ++i) {
            ComPtr<IUnknown> itf;
            hr = broker->QueryInterface(*kIids[i], reinterpret_cast<void**>(itf.GetAddressOf()));
            if (SUCCEEDED(hr))
                hr = m_git->RegisterInterfaceInGlobal(itf.Get(), *kIids[i], &m_cookies[i]);
        }
        return hr;
    }
    template <typename I>
    ComPtr<I> Get() const {
        ComPtr<I> out;
        for (int i = 0; i < 4; ++i)
            if (m_cookies[i] && IsEqualIID(__uuidof(I), *kIids[i]))
                m_git->GetInterfaceFromGlobal(m_cookies[i], __uuidof(I),
                                              reinterpret_cast<void**>(out.GetAddressOf()));
        return out;
    }
    DWORD ProcessId() const { return m_processId; }

  private:
    static constexpr const IID* kIids[4] = {&IID_IBroker, &IID_IFileIOBroker, &IID_IFileDlgBroker,
                                            &IID_ICDWrite};
    ComPtr<IGlobalInterfaceTable> m_git;
    DWORD m_cookies[4] = {};
    DWORD m_processId = 0;
};

// The broker a test program shares between its tests (a broker start costs
// about a second under Wine): its policy file, beside it and read when it
// starts, adds a scratch folder as a root and one registry key; the dialog
// doubles it loads answer from a scratch folder of their own.
class SharedBroker : public BrokerSession {
  public:
    ~SharedBroker() { RemoveTree(wellKnown); }
    HRESULT Open() {
        const std::string policy = ProgramFolder() + "\\veskobroker.policy";
        WriteFileText(policy,
                      "root = " + root.Path() + "\nregistry = " + kPolicyKey + "\nnonsense line\n");
        const HRESULT hr = BrokerSession::Open();
        DeleteFileA(policy.c_str());  // no other program's broker reads it
        return hr;
    }

    static constexpr const char* kPolicyKey = "Software\\VeskoBrokerTestKeys";
    // A fresh folder below the folder table's writable folder, made first: a
    // link that a killed run left there must go before the folders it reaches.
    const std::string wellKnown = [] {
        const std::string path =
            Known::Writable() + "\\broker-" + std::to_string(GetCurrentProcessId());
        RemoveTree(path);
        CreateDirectoryA(path.c_str(), nullptr);
        return path;
    }();
    // A policy root, a folder no rule allows, and a folder for the doubles.
    const ScratchDir root{"broker-root"}, outside{"broker-outside"}, dialogDir{"broker-dialogs"};
    const DialogDouble dialogs{dialogDir.Path()};
};

// The program's shared broker (made and opened by main).
inline SharedBroker* g_shared = nullptr;
inline SharedBroker& Shared() {
    return *g_shared;
}

// Reads what the broker's audit log gained since the cursor was made or last read.
class AuditCursor {
  public:
    // The one record appended since, else how many there were.
    std::string OneLine() {
        const std::string log = ReadFileText(Known::AuditLog());
        const std::string added = log.substr(std::min(m_size, log.size()));
        m_size = log.size();
        const auto records = std::count(added.begin(), added.end(), '\n');
        return records == 1 ? added.substr(0, added.find_first_of("\r\n"))
                            : "<" + std::to_string(records) + " records>";
    }

  private:
    size_t m_size = ReadFileText(Known::AuditLog()).size();
};

}  // namespace vesko::test
