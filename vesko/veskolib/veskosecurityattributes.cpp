#include "veskosecurityattributes.h"

#include <sddl.h>

#include <osinfo.h>
#include <vesko/raii.h>

namespace {

// The library's identity. Fixed for all time: brokers of every installed
// version compare against it.
const GUID kIdentity = {
    0x3c5e9a71, 0x0d42, 0x4b8e, {0x9f, 0x16, 0xa2, 0x7d, 0x54, 0xe0, 0xc3, 0x8b}};

const char kLowSddl[] = "D:(A;;FA;;;WD)S:(ML;;NWNR;;;LW)";
const char kLowSddlBeforeVista[] = "D:(A;;FA;;;WD)";
const char kMediumSddl[] = "D:(A;;FA;;;WD)S:(ML;;NWNR;;;ME)";

// The converter is looked up at run time on every use rather than linked:
// the library must load on systems whose advapi32 lacks it.
PSECURITY_DESCRIPTOR BuildDescriptor(const char* pszSddl) {
    using ConvertFn = BOOL(WINAPI*)(LPCSTR, DWORD, PSECURITY_DESCRIPTOR*, PULONG);
    PSECURITY_DESCRIPTOR pSD = nullptr;
    vesko::UniqueModule advapi(LoadLibraryA("Advapi32.dll"));
    if (!advapi)
        return nullptr;
    auto pfn = reinterpret_cast<ConvertFn>(
        GetProcAddress(advapi.Get(), "ConvertStringSecurityDescriptorToSecurityDescriptorA"));
    // On failure the converter leaves the descriptor null, which is the
    // answer; its BOOL adds nothing.
    if (pfn)
        pfn(pszSddl, SDDL_REVISION_1, &pSD, nullptr);
    return pSD;
}

}  // namespace

VeskoSecurityAttributes::VeskoSecurityAttributes()
    : m_pLowSD(nullptr), m_pMediumSD(nullptr), m_bInitialized(false) {}

VeskoSecurityAttributes::~VeskoSecurityAttributes() {
    if (m_bInitialized)
        Release();
}

CString VeskoSecurityAttributes::FormatIdentity() {
    CString strIdentity;
    strIdentity.Format("{%08x-%04x-%04x-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                       static_cast<unsigned int>(kIdentity.Data1), kIdentity.Data2, kIdentity.Data3,
                       kIdentity.Data4[0], kIdentity.Data4[1], kIdentity.Data4[2],
                       kIdentity.Data4[3], kIdentity.Data4[4], kIdentity.Data4[5],
                       kIdentity.Data4[6], kIdentity.Data4[7]);
    return strIdentity;
}

void VeskoSecurityAttributes::Init() {
    m_strIdentity = FormatIdentity();
    // Before Vista there are no integrity levels and a label in the SACL is
    // not understood: the low descriptor carries the access rule alone.
    m_pLowSD = BuildDescriptor(OSInfo::IsVistaOrNewer() ? kLowSddl : kLowSddlBeforeVista);
    m_pMediumSD = BuildDescriptor(kMediumSddl);
    m_bInitialized = true;
}

void VeskoSecurityAttributes::Release() {
    m_strIdentity.Empty();
    if (m_pLowSD) {
        LocalFree(m_pLowSD);
        m_pLowSD = nullptr;
    }
    if (m_pMediumSD) {
        LocalFree(m_pMediumSD);
        m_pMediumSD = nullptr;
    }
    m_bInitialized = false;
}
