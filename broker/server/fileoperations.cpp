#include "fileoperations.h"

#include "brokercontext.h"
#include "sfileio.h"
#include "textconvert.h"

namespace vesko::broker {

namespace {

std::string CodeText(DWORD code) {
    return "code=" + std::to_string(code);
}

// Applies the path policy; on refusal audits it, writes the code and
// returns false.
bool Admit(BrokerContext& context, BSTR text, PathUse use, const char* operation,
           const std::string& arguments, DWORD* code, CString& path) {
    const PathDecision decision = context.Paths().Check(FromBstr(text), use);
    const char* reason = decision.reason;
    if (decision.allowed && ToAnsi(decision.canonical, path))
        return true;
    if (decision.allowed)
        reason = "path has no exact form in the ANSI code page";
    *code = ERROR_ACCESS_DENIED;
    context.Audit().Refused(operation, arguments, CodeText(*code), reason);
    return false;
}

// What every code-writing method starts with: the code cleared, then the
// identity checked (a stranger gets 5 as the code and E_ACCESSDENIED).
// S_OK when the call may go on.
HRESULT Begin(BrokerContext& context, BSTR identity, const char* operation,
              const std::string& arguments, DWORD* code) {
    if (!code)
        return E_POINTER;
    *code = 0;
    if (context.CheckIdentity(identity, operation, arguments))
        return S_OK;
    *code = ERROR_ACCESS_DENIED;
    return E_ACCESSDENIED;
}

}  // namespace

template <typename Work>
HRESULT FileOperations::OnePath(BSTR identity, const char* operation, BSTR path, PathUse use,
                                DWORD* code, Work&& work) {
    const std::string arguments = "path=" + ForLog(path);
    if (const HRESULT hr = Begin(m_context, identity, operation, arguments, code); hr != S_OK)
        return hr;
    CString target;
    if (Admit(m_context, path, use, operation, arguments, code, target)) {
        *code = work(target);
        m_context.Audit().Done(operation, arguments, CodeText(*code));
    }
    return S_OK;
}

FileOperations::FileOperations(BrokerContext& context) : m_context(context) {}

void FileOperations::Shutdown() {
    m_help.End();
}

HRESULT FileOperations::CreateDir(BSTR identity, BSTR path, DWORD* code) {
    return OnePath(identity, "CreateDir", path, PathUse::Create, code, [&](const CString& target) {
        return SFileIO::CreateDir(target, m_context.LowSD());
    });
}

HRESULT FileOperations::MoveFileLI(BSTR identity, BSTR source, BSTR destination, DWORD* code) {
    const std::string arguments =
        "source=" + ForLog(source) + " destination=" + ForLog(destination);
    if (const HRESULT hr = Begin(m_context, identity, "MoveFileLI", arguments, code); hr != S_OK)
        return hr;
    CString from, to;
    if (!Admit(m_context, source, PathUse::Modify, "MoveFileLI", arguments, code, from) ||
        !Admit(m_context, destination, PathUse::Modify, "MoveFileLI", arguments, code, to))
        return S_OK;
    *code = SFileIO::MoveFileLI(from, to);
    m_context.Audit().Done("MoveFileLI", arguments, CodeText(*code));
    return S_OK;
}

HRESULT FileOperations::ReCreateFileLI(BSTR identity, BSTR path, DWORD* code) {
    return OnePath(
        identity, "ReCreateFileLI", path, PathUse::Modify, code,
        [&](const CString& target) { return SFileIO::ReCreateFileLI(target, m_context.LowSD()); });
}

HRESULT FileOperations::DeleteDirRecursively(BSTR identity, BSTR path, DWORD* code) {
    return OnePath(identity, "DeleteDirRecursively", path, PathUse::Modify, code,
                   [](const CString& target) { return SFileIO::DeleteDirRecursively(target); });
}

HRESULT FileOperations::IsDestinationWritable(BSTR identity, BSTR path, DWORD* code) {
    // Writable through the broker means: the policy would let the broker
    // write there. The answer is the policy's alone; nothing is touched.
    return OnePath(identity, "IsDestinationWritable", path, PathUse::Check, code,
                   [](const CString&) { return DWORD{0}; });
}

HRESULT FileOperations::RegistrySetValue(BSTR identity, DWORD rootKey, BSTR subKey, BSTR valueName,
                                         DWORD valueType, DWORD dataLength, SAFEARRAY* data,
                                         DWORD* code) {
    const std::string arguments =
        "root=" + Hex(rootKey) + " key=" + ForLog(subKey) + " value=" + ForLog(valueName) +
        " type=" + std::to_string(valueType) + " length=" + std::to_string(dataLength);
    if (const HRESULT hr = Begin(m_context, identity, "RegistrySetValue", arguments, code);
        hr != S_OK)
        return hr;
    const std::wstring key = FromBstr(subKey), name = FromBstr(valueName);
    RegistryDecision decision =
        m_context.Registry().Check(rootKey, key, name, valueType, dataLength, data);
    CString ansiKey, ansiName;
    if (decision.allowed && !(ToAnsi(key, ansiKey) && ToAnsi(name, ansiName))) {
        decision.allowed = false;
        decision.reason = "key or value name has no exact form in the ANSI code page";
    }
    if (!decision.allowed) {
        *code = ERROR_ACCESS_DENIED;
        m_context.Audit().Refused("RegistrySetValue", arguments, CodeText(*code), decision.reason);
        return S_OK;
    }
    *code = SFileIO::RegistryHKCUSetValueDWord(ansiKey, ansiName, decision.value);
    m_context.Audit().Done("RegistrySetValue", arguments + " data=" + Hex(decision.value),
                           CodeText(*code));
    return S_OK;
}

HRESULT FileOperations::GetIEVersion(BSTR identity, UINT* major, UINT* minor, UINT* build,
                                     VARIANT_BOOL* ok) {
    if (!major || !minor || !build || !ok)
        return E_POINTER;
    *major = *minor = *build = 0;
    *ok = VARIANT_FALSE;
    if (!m_context.CheckIdentity(identity, "GetIEVersion", ""))
        return E_ACCESSDENIED;
    unsigned int a = 0, b = 0, c = 0;
    const bool found = SFileIO::GetIEVersion(a, b, c);
    if (found) {
        *major = a;
        *minor = b;
        *build = c;
    }
    *ok = found ? VARIANT_TRUE : VARIANT_FALSE;
    m_context.Audit().Done(
        "GetIEVersion", "",
        found ? "version=" + std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c)
              : std::string("no version"));
    return S_OK;
}

HRESULT FileOperations::DisplayHelpFile(BSTR identity, BSTR helpFile, DWORD ownerWindow,
                                        DWORD* code) {
    const std::string arguments = "file=" + ForLog(helpFile) + " owner=" + Hex(ownerWindow);
    if (const HRESULT hr = Begin(m_context, identity, "DisplayHelpFile", arguments, code);
        hr != S_OK)
        return hr;
    const char* refusal = nullptr;
    std::wstring commandLine;
    *code = m_help.Show(FromBstr(helpFile), m_context.Paths(), refusal, commandLine);
    if (refusal) {
        m_context.Audit().Refused("DisplayHelpFile", arguments, CodeText(*code), refusal);
    } else {
        std::string what = " run=" + ForLog(commandLine);
        if (helpFile == nullptr || SysStringLen(helpFile) == 0)
            what = " (nothing to show)";
        else if (commandLine.empty())
            what = " (viewer not started)";
        m_context.Audit().Done("DisplayHelpFile", arguments + what, CodeText(*code));
    }
    return S_OK;
}

}  // namespace vesko::broker
