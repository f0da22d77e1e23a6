// Which registry values the broker may write for the host: REG_DWORD values
// of exactly four bytes, under HKEY_CURRENT_USER only, in the product's keys
// (Software\Norvane and Software\Cadra) or a key the policy file adds. Key
// paths are compared component by component, without regard to case, so
// that "Software\NorvaneX" is not taken for a key below "Software\Norvane".
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <mutex>
#include <string>
#include <vector>

namespace vesko::broker {

struct RegistryDecision {
    bool allowed = false;
    const char* reason = "";
    DWORD value = 0;  // the four bytes of the array, least significant first
};

class RegistryPolicy {
  public:
    RegistryPolicy();
    // Adds an allowed key (a path below HKEY_CURRENT_USER); false when the
    // text is no acceptable key path.
    bool AddKey(const std::wstring& key);

    RegistryDecision Check(DWORD rootKey, const std::wstring& subKey, const std::wstring& valueName,
                           DWORD valueType, DWORD dataLength, SAFEARRAY* data) const;

    static bool IsAcceptableKeyPath(const std::wstring& key, const char** reason);

  private:
    mutable std::mutex m_lock;
    std::vector<std::wstring> m_keys;
};

}  // namespace vesko::broker
