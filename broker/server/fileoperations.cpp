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

}  // namespace

FileOperations::FileOperations(BrokerContext& context) : m_context(context) {}

void FileOperations::Shutdown() {
    m_help.End();
}

HRESULT FileOperations::CreateDir(BSTR identity, BSTR path, DWORD* code) {
    if (!code)
        return E_POINTER;
    *code = 0;
    const std::string arguments = "path=" + ForLog(path);
    if (!m_context.CheckIdentity(identity, "CreateDir", arguments)) {
        *code = ERROR_ACCESS_DENIED;
        return E_ACCESSDENIED;
    }
    CString target;
    if (!Admit(m_context, path, PathUse::Create, "CreateDir", arguments, code, target))
        return S_OK;
    *code = SFileIO::CreateDir(target, m_context.LowSD());
    m_context.Audit().Done("CreateDir", arguments, CodeText(*code));
    return S_OK;
}

HRESULT FileOperations::MoveFileLI(BSTR identity, BSTR source, BSTR destination, DWORD* code) {
    if (!code)
        return E_POINTER;
    *code = 0;
    const std::string arguments =
        "source=" + ForLog(source) + " destination=" + ForLog(destination);
    if (!m_context.CheckIdentity(identity, "MoveFileLI", arguments)) {
        *code = ERROR_ACCESS_DENIED;
        return E_ACCESSDENIED;
    }
    CString from, to;
    if (!Admit(m_context, source, PathUse::Modify, "MoveFileLI", arguments, code, from) ||
        !Admit(m_context, destination, PathUse::Modify, "MoveFileLI", arguments, code, to))
        return S_OK;
    *code = SFileIO::MoveFileLI(from, to);
    m_context.Audit().Done("MoveFileLI", arguments, CodeText(*code));
    return S_OK;
}

HRESULT FileOperations::ReCreateFileLI(BSTR identity, BSTR path, DWORD* code) {
    if (!code)
        return E_POINTER;
    *code = 0;
    const std::string arguments = "path=" + ForLog(path);
    if (!m_context.CheckIdentity(identity, "ReCreateFileLI", arguments)) {
        *code = ERROR_ACCESS_DENIED;
        return E_ACCESSDENIED;
    }
    CString target;
    if (!Admit(m_context, path, PathUse::Modify, "ReCreateFileLI", arguments, code, target))
        return S_OK;
    *code = SFileIO::ReCreateFileLI(target, m_context.LowSD());
    m_context.Audit().Done("ReCreateFileLI", arguments, CodeText(*code));
    return S_OK;
}

HRESULT FileOperations::DeleteDirRecursively(BSTR identity, BSTR path, DWORD* code) {
    if (!code)
        return E_POINTER;
    *code = 0;
    const std::string arguments = "path=" + ForLog(path);
    if (!m_context.CheckIdentity(identity, "DeleteDirRecursively", arguments)) {
        *code = ERROR_ACCESS_DENIED;
        return E_ACCESSDENIED;
    }
    CString target;
    if (!Admit(m_context, path, PathUse::Modify, "DeleteDirRecursively", arguments, code, target))
        return S_OK;
    *code = SFileIO::DeleteDirRecursively(target);
    m_context.Audit().Done("DeleteDirRecursively", arguments, CodeText(*code));
    return S_OK;
}

HRESULT FileOperations::IsDestinationWritable(BSTR identity, BSTR path, DWORD* code) {
    if (!code)
        return E_POINTER;
    *code = 0;
    const std::string arguments = "path=" + ForLog(path);
    if (!m_context.CheckIdentity(identity, "IsDestinationWritable", arguments)) {
        *code = ERROR_ACCESS_DENIED;
        return E_ACCESSDENIED;
    }
    // Writable through the broker means: the policy would let the broker
    // write there. The answer is the policy's alone; nothing is touched.
    CString target;
    if (!Admit(m_context, path, PathUse::Check, "IsDestinationWritable", arguments, code, target))
        return S_OK;
    m_context.Audit().Done("IsDestinationWritable", arguments, CodeText(*code));
    return S_OK;
}

HRESULT FileOperations::RegistrySetValue(BSTR identity, DWORD rootKey, BSTR subKey, BSTR valueName,
                                         DWORD valueType, DWORD dataLength, SAFEARRAY* data,
                                         DWORD* code) {
    if (!code)
        return E_POINTER;
    *code = 0;
    const std::string arguments =
        "root=" + Hex(rootKey) + " key=" + ForLog(subKey) + " value=" + ForLog(valueName) +
        " type=" + std::to_string(valueType) + " length=" + std::to_string(dataLength);
    if (!m_context.CheckIdentity(identity, "RegistrySetValue", arguments)) {
        *code = ERROR_ACCESS_DENIED;
        return E_ACCESSDENIED;
    }
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
    if (!code)
        return E_POINTER;
    *code = 0;
    const std::string arguments = "file=" + ForLog(helpFile) + " owner=" + Hex(ownerWindow);
    if (!m_context.CheckIdentity(identity, "DisplayHelpFile", arguments)) {
        *code = ERROR_ACCESS_DENIED;
        return E_ACCESSDENIED;
    }
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
