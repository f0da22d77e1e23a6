// The security descriptors the library attaches to what it creates, and the
// identity string its broker-backed services present to the broker. One object
// per service manager; everything else holds a non-owning pointer.
#pragma once

#include <afx.h>

class VeskoSecurityAttributes {
  public:
    VeskoSecurityAttributes();
    virtual ~VeskoSecurityAttributes();
    VeskoSecurityAttributes(const VeskoSecurityAttributes&) = delete;
    VeskoSecurityAttributes& operator=(const VeskoSecurityAttributes&) = delete;

    // Formats the identity and builds both descriptors. A descriptor that
    // cannot be built stays null; the object is initialised all the same.
    void Init();
    // Frees both descriptors and empties the identity.
    void Release();

    // The library's identity, the same in every process: 38 characters,
    // "{xxxxxxxx-xxxx-xxxx-XXXX-XXXXXXXXXXXX}" (the first three groups in
    // lower case, the last two in upper case). The broker checks what it is
    // given against this.
    static CString FormatIdentity();

    // Readers use the fields directly.
    CString m_strIdentity;
    // Everyone: full file access; on Vista or newer also the low mandatory
    // label (no write up, no read up). Self-relative, LocalFree'd.
    PSECURITY_DESCRIPTOR m_pLowSD;
    // The same access with the medium mandatory label.
    PSECURITY_DESCRIPTOR m_pMediumSD;
    bool m_bInitialized;
};
