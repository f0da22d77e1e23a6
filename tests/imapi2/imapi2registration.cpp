#include "imapi2registration.h"

#include <vesko/raii.h>

namespace {

// Wine 8's COM reads classes from the machine's hive only: a registration
// under HKCU\Software\Classes is not found (CoCreateInstance answers
// REGDB_E_CLASSNOTREG). The machine hive here is the test prefix's own.
const HKEY kRoot = HKEY_LOCAL_MACHINE;
const wchar_t kClasses[] = L"Software\\Classes\\CLSID\\";

}  // namespace

const std::vector<std::wstring>& Imapi2Registration::ClassIds() {
    static const std::vector<std::wstring> ids = {
        L"{2735412E-7F64-5B0F-8F00-5D77AFBE261E}",  // MsftDiscMaster2
        L"{2735412D-7F64-5B0F-8F00-5D77AFBE261E}",  // MsftDiscRecorder2
        L"{2735412A-7F64-5B0F-8F00-5D77AFBE261E}",  // MsftDiscFormat2Data
        L"{2735412B-7F64-5B0F-8F00-5D77AFBE261E}",  // MsftDiscFormat2Erase
    };
    return ids;
}

bool Imapi2Registration::Read(HKEY key, Tree& tree) {
    for (DWORD i = 0;; ++i) {
        wchar_t name[16384];
        DWORD nameSize = 16384, type = 0, dataSize = 0;
        LONG rc = RegEnumValueW(key, i, name, &nameSize, nullptr, &type, nullptr, &dataSize);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS)
            return false;
        Tree::Value value{name, type, std::vector<BYTE>(dataSize)};
        nameSize = 16384;
        rc = RegEnumValueW(key, i, name, &nameSize, nullptr, &type,
                           value.data.empty() ? nullptr : value.data.data(), &dataSize);
        if (rc != ERROR_SUCCESS)
            return false;
        tree.values.push_back(std::move(value));
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameSize = 256;
        const LONG rc = RegEnumKeyExW(key, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS)
            return false;
        vesko::UniqueHKey sub;
        Tree subtree;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, sub.Receive()) != ERROR_SUCCESS ||
            !Read(sub.Get(), subtree))
            return false;
        tree.keys.emplace_back(name, std::move(subtree));
    }
    return true;
}

bool Imapi2Registration::Write(HKEY key, const Tree& tree) {
    for (const auto& value : tree.values)
        if (RegSetValueExW(key, value.name.c_str(), 0, value.type,
                           value.data.empty() ? nullptr : value.data.data(),
                           static_cast<DWORD>(value.data.size())) != ERROR_SUCCESS)
            return false;
    for (const auto& [name, subtree] : tree.keys) {
        vesko::UniqueHKey sub;
        if (RegCreateKeyExW(key, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            sub.Receive(), nullptr) != ERROR_SUCCESS ||
            !Write(sub.Get(), subtree))
            return false;
    }
    return true;
}

Imapi2Registration::Imapi2Registration(const std::string& dll) {
    const std::wstring path(dll.begin(), dll.end());
    ok = true;
    for (const auto& id : ClassIds()) {
        Saved saved{kClasses + id};
        vesko::UniqueHKey old;
        if (RegOpenKeyExW(kRoot, saved.path.c_str(), 0, KEY_READ, old.Receive()) == ERROR_SUCCESS) {
            saved.existed = true;
            ok = Read(old.Get(), saved.tree) && ok;
        }
        old.Reset();
        RegDeleteTreeW(kRoot, saved.path.c_str());
        m_saved.push_back(std::move(saved));
        vesko::UniqueHKey server;
        const std::wstring key = kClasses + id + L"\\InprocServer32";
        const wchar_t both[] = L"Both";
        ok = RegCreateKeyExW(kRoot, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                             server.Receive(), nullptr) == ERROR_SUCCESS &&
             RegSetValueExW(
                 server.Get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                 static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS &&
             RegSetValueExW(server.Get(), L"ThreadingModel", 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(both), sizeof(both)) == ERROR_SUCCESS &&
             ok;
    }
}

Imapi2Registration::~Imapi2Registration() {
    for (const auto& saved : m_saved) {
        RegDeleteTreeW(kRoot, saved.path.c_str());
        if (!saved.existed)
            continue;
        vesko::UniqueHKey key;
        if (RegCreateKeyExW(kRoot, saved.path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            key.Receive(), nullptr) == ERROR_SUCCESS)
            Write(key.Get(), saved.tree);
    }
}
