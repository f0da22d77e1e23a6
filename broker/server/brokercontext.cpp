#include "brokercontext.h"

#include <knownfolders.h>
#include <shlobj.h>

#include "policyfile.h"
#include "textconvert.h"

namespace vesko::broker {

BrokerContext::BrokerContext() = default;

BrokerContext::~BrokerContext() {
    m_folders.Release();
    m_security.Release();
}

bool BrokerContext::Start(std::string& failure) {
    m_security.Init();
    m_identity = FromAnsi(VeskoSecurityAttributes::FormatIdentity());
    if (m_identity.empty()) {
        failure = "the library's identity is not available";
        return false;
    }
    if (!m_folders.Init(&m_security)) {
        failure = "the well-known folders cannot be resolved";
        return false;
    }
    const std::wstring logDir = FromAnsi(m_folders.GetLogDir());
    if (logDir.empty() || !m_audit.Open(logDir)) {
        failure = "the audit log cannot be opened";
        return false;
    }
    m_paths.Protect(m_audit.Path());
    ReserveSystemFolders();
    AddWellKnownRoots();
    ApplyPolicyFile();
    return true;
}

void BrokerContext::ReserveSystemFolders() {
    // No root or grant may be one of these or hold one; nothing may be
    // written inside the sealed ones (a DLL or policy file planted beside
    // the broker, a help file in its help folders, a program in the system's
    // folders).
    const struct {
        const KNOWNFOLDERID& id;
        bool sealed;
    } known[] = {{FOLDERID_Windows, true},         {FOLDERID_ProgramFiles, true},
                 {FOLDERID_ProgramFilesX86, true}, {FOLDERID_ProgramData, false},
                 {FOLDERID_UserProfiles, false},   {FOLDERID_Profile, false},
                 {FOLDERID_Public, false}};
    for (const auto& folder : known) {
        PWSTR path = nullptr;
        if (SUCCEEDED(SHGetKnownFolderPath(folder.id, 0, nullptr, &path))) {
            const std::wstring canonical = PathPolicy::Canonicalise(path, nullptr);
            if (!canonical.empty())
                m_paths.Reserve(canonical, folder.sealed);
        }
        CoTaskMemFree(path);
    }
    // The broker's own folder holds its policy file and its help files.
    wchar_t module[MAX_PATH] = {};
    const std::wstring program(module, GetModuleFileNameW(nullptr, module, MAX_PATH));
    const std::wstring own =
        PathPolicy::Canonicalise(program.substr(0, program.find_last_of(L'\\')), nullptr);
    if (!own.empty()) {
        m_paths.Reserve(own, true);
        m_paths.AddHelpRoot(own);
        m_audit.Note("help files from " + ForLog(own) + " (the broker's folder)");
    }
}

void BrokerContext::AddWellKnownRoots() {
    // The bases the shell gives are trusted as they are; from there on down
    // no reparse point is accepted, since the low-integrity host can itself
    // create folders (and junctions) below its local-low base.
    CString localLow, publicBase;
    SFileIO::ResolveKnownFolder(localLow, FOLDERID_LocalAppDataLow, CSIDL_LOCAL_APPDATA);
    SFileIO::ResolveKnownFolder(publicBase, FOLDERID_Public, CSIDL_COMMON_APPDATA);
    const std::wstring bases[] = {FromAnsi(localLow), FromAnsi(publicBase)};

    auto add = [&](const CString& folder, const char* origin) {
        const std::wstring canonical = PathPolicy::Canonicalise(FromAnsi(folder), nullptr);
        if (canonical.empty())
            return;
        std::wstring anchor = canonical;
        for (const std::wstring& base : bases) {
            const std::wstring b = PathPolicy::Canonicalise(base, nullptr);
            if (!b.empty() && PathPolicy::IsUnder(canonical, b))
                anchor = b;
        }
        m_paths.AddRoot(canonical, anchor, origin);
        m_audit.Note("root " + ForLog(canonical) + " (" + origin + ")");
    };
    // The product's local-low folder holds the writable, per-user preference,
    // export and cache folders; the company's public folder is shared by all
    // users, so only the table's own folders there are served.
    CString productFolder = m_folders.GetWritableDir();
    const int slash = productFolder.ReverseFind('\\');
    if (slash > 0)
        productFolder = productFolder.Left(slash);
    add(productFolder, "well-known folder: product");
    for (const CString& folder : {m_folders.GetWritableDir(), m_folders.GetUserMachinePrefDir(),
                                  m_folders.GetExportTempDir()}) {
        const std::wstring canonical = PathPolicy::Canonicalise(FromAnsi(folder), nullptr);
        if (!canonical.empty())
            m_paths.Pin(canonical);
    }
    add(m_folders.GetLogDir(), "well-known folder: logs");
    add(m_folders.GetMachinePrefDir(), "well-known folder: machine preferences");
    add(m_folders.GetUserActivityLogDir(), "well-known folder: user activity logs");
    add(m_folders.GetDumpDir(), "well-known folder: errors");
}

void BrokerContext::ApplyPolicyFile() {
    PolicyFile policy;
    const std::wstring path = PolicyFile::BesideExecutable();
    if (path.empty() || !policy.Load(path))
        return;
    m_audit.Note("policy file " + ForLog(path));
    for (unsigned line : policy.BadLines())
        m_audit.Note("policy file line " + std::to_string(line) + " ignored: not name = value");
    for (const PolicyFile::Entry& entry : policy.Entries()) {
        const std::string where = "policy file line " + std::to_string(entry.line);
        if (entry.name == L"root") {
            const char* reason = nullptr;
            const std::wstring root = PathPolicy::RealPath(entry.value, &reason);
            if (!root.empty())
                reason = m_paths.RootRefusal(root, true);
            if (root.empty() || reason) {
                m_audit.Note(where + " ignored: " + reason);
            } else {
                m_paths.AddRoot(root, root, "policy file root");
                m_audit.Note("root " + ForLog(root) + " (" + where + ")");
            }
        } else if (entry.name == L"help") {
            // A folder of help files the viewer may show: one the host can
            // never write, so none of the broker's own roots or grants.
            const char* reason = nullptr;
            const std::wstring folder = PathPolicy::RealPath(entry.value, &reason);
            if (!folder.empty())
                reason = nullptr;
            if (!folder.empty() && folder.size() <= 3)
                reason = "a whole drive";
            else if (!folder.empty() && m_paths.Check(folder, PathUse::Check).allowed)
                reason = "a folder the broker writes for the host";
            if (folder.empty() || reason) {
                m_audit.Note(where + " ignored: " + reason);
            } else {
                m_paths.AddHelpRoot(folder);
                m_paths.Reserve(folder, true);
                m_audit.Note("help files from " + ForLog(folder) + " (" + where + ")");
            }
        } else if (entry.name == L"registry") {
            if (m_registry.AddKey(entry.value))
                m_audit.Note("registry key HKCU\\" + ForLog(entry.value) + " (" + where + ")");
            else
                m_audit.Note(where + " ignored: not a key path below HKEY_CURRENT_USER");
        } else {
            m_audit.Note(where + " ignored: unknown setting " + ForLog(entry.name));
        }
    }
}

bool BrokerContext::CheckIdentity(BSTR identity, const char* operation,
                                  const std::string& arguments) {
    const UINT length = identity ? SysStringLen(identity) : 0;
    if (length == m_identity.size() && wmemcmp(identity, m_identity.data(), length) == 0)
        return true;
    m_audit.Refused(operation, "identity=" + ForLog(identity, 60) + " " + arguments,
                    "hr=" + Hex(static_cast<unsigned long>(E_ACCESSDENIED)), "wrong identity");
    return false;
}

}  // namespace vesko::broker
