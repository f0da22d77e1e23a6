// Inputs a compromised host might send. Each must be refused: the expected
// HRESULT and code, nothing changed on disk or in the registry, and exactly
// one audit record that says "refused".
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>

#include "sharedbroker.h"

namespace vesko::test {
namespace {

// Everything below a folder: relative path -> size (-1 for folders).
using Tree = std::map<std::string, long long>;

void Snapshot(const std::string& folder, const std::string& prefix, Tree& tree) {
    WIN32_FIND_DATAA data{};
    UniqueFindHandle find(FindFirstFileA((folder + "\\*").c_str(), &data));
    if (!find)
        return;
    do {
        const std::string name = data.cFileName;
        if (name == "." || name == "..")
            continue;
        const bool dir = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        tree[prefix + name] =
            dir ? -1
                : static_cast<long long>((ULONGLONG(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
        // Links are listed, never entered.
        if (dir && !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            Snapshot(folder + "\\" + name, prefix + name + "\\", tree);
    } while (FindNextFileA(find.Get(), &data));
}

// The registry keys the cases aim at: each value name under each key.
using Values = std::map<std::string, std::string>;

Values RegistrySnapshot() {
    static const std::pair<HKEY, const char*> kKeys[] = {
        {HKEY_CURRENT_USER, "Software\\Norvane\\RefusalTest"},
        {HKEY_CURRENT_USER, "Software\\NorvaneEvil"},
        {HKEY_CURRENT_USER, "Software\\Evil"},
        {HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Run"},
        {HKEY_LOCAL_MACHINE, "Software\\Norvane\\RefusalTest"},
        {HKEY_CLASSES_ROOT, "Software\\Norvane\\RefusalTest"},
        {HKEY_USERS, "Software\\Norvane\\RefusalTest"},
        {HKEY_CURRENT_USER, "Software\\Norvane\\RefusalTest\\.."},
    };
    Values values;
    for (const auto& [root, path] : kKeys) {
        UniqueHKey key;
        if (RegOpenKeyExA(root, path, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS)
            continue;
        values[path] = "(key)";
        for (DWORD i = 0;; ++i) {
            char name[256];
            DWORD length = sizeof name;
            if (RegEnumValueA(key.Get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                break;
            values[std::string(path) + "|" + name] = "value";
        }
    }
    return values;
}

struct BadInput {
    std::string name;
    std::function<HRESULT(IFileIOBroker*, DWORD&)> call;
    HRESULT hr;
    DWORD code;
};

std::wstring Repeat(wchar_t c, size_t n) {
    return std::wstring(n, c);
}

UniqueSafeArray Bytes(VARTYPE type, ULONG count) {
    UniqueSafeArray array(SafeArrayCreateVector(type, 0, count));
    SafeArrayAccess access(array.Get());
    std::memset(access.Data(), 0x11, count * SafeArrayGetElemsize(array.Get()));
    return array;
}

std::vector<BadInput> Cases(const std::string& linkError) {
    const std::wstring R = Wide(Shared().PolicyRoot());
    const std::wstring W = Wide(Shared().WellKnown());
    const std::wstring O = Wide(Shared().Outside());
    const std::wstring log = Wide(AuditLogPath());
    const std::wstring logDir = Wide(LogDir());
    const std::wstring id = Identity();
    std::wstring outsideName = O.substr(O.find_last_of(L'\\') + 1);

    using F = std::function<HRESULT(IFileIOBroker*, DWORD&)>;
    auto create = [&](std::wstring path) -> F {
        return [id, path](IFileIOBroker* f, DWORD& c) {
            return f->CreateDir(Bstr(id).Get(), Bstr(path).Get(), &c);
        };
    };
    auto recreate = [&](std::wstring path) -> F {
        return [id, path](IFileIOBroker* f, DWORD& c) {
            return f->ReCreateFileLI(Bstr(id).Get(), Bstr(path).Get(), &c);
        };
    };
    auto remove = [&](std::wstring path) -> F {
        return [id, path](IFileIOBroker* f, DWORD& c) {
            return f->DeleteDirRecursively(Bstr(id).Get(), Bstr(path).Get(), &c);
        };
    };
    auto move = [&](std::wstring from, std::wstring to) -> F {
        return [id, from, to](IFileIOBroker* f, DWORD& c) {
            return f->MoveFileLI(Bstr(id).Get(), Bstr(from).Get(), Bstr(to).Get(), &c);
        };
    };
    auto help = [&](std::wstring file) -> F {
        return [id, file](IFileIOBroker* f, DWORD& c) {
            return f->DisplayHelpFile(Bstr(id).Get(), Bstr(file).Get(), 0, &c);
        };
    };
    auto reg = [&](DWORD root, std::wstring key, DWORD type, DWORD length, VARTYPE vt, ULONG n,
                   std::wstring identity) -> F {
        return [root, key, type, length, vt, n, identity](IFileIOBroker* f, DWORD& c) {
            UniqueSafeArray data = n ? Bytes(vt, n) : UniqueSafeArray();
            return f->RegistrySetValue(Bstr(identity).Get(), root, Bstr(key).Get(),
                                       Bstr(std::wstring(L"Planted")).Get(), type, length,
                                       data.Get(), &c);
        };
    };
    const DWORD HKCU = 0x80000001;
    const std::wstring okKey = L"Software\\Norvane\\RefusalTest";
    const HRESULT ok = S_OK, denied = E_ACCESSDENIED;
    const DWORD five = ERROR_ACCESS_DENIED;

    std::vector<BadInput> cases = {
        // Traversal out of an allowed folder.
        {"dotdot out of the policy root", create(R + L"\\..\\" + outsideName + L"\\made"), ok,
         five},
        {"dotdot twice", create(R + L"\\sub\\..\\..\\escape"), ok, five},
        {"forward-slash dotdot", recreate(R + L"/../" + outsideName + L"/victim.txt"), ok, five},
        {"dotdot out of the well-known folder", create(W + L"\\..\\..\\..\\..\\Evil"), ok, five},
        {"outside folder delete", remove(O + L"\\victimdir"), ok, five},
        {"outside file re-create", recreate(O + L"\\victim.txt"), ok, five},
        {"move from outside in", move(O + L"\\victim.txt", R + L"\\stolen.txt"), ok, five},
        {"move from inside out", move(R + L"\\keep.txt", O + L"\\planted.txt"), ok, five},
        {"delete the policy root itself", remove(R), ok, five},
        {"delete the well-known writable folder", remove(Wide(WritableDir())), ok, five},
        {"windows folder", create(L"C:\\windows\\system32\\vesko"), ok, five},
        // Device and raw forms.
        {"raw \\\\?\\ form", create(L"\\\\?\\" + R + L"\\raw"), ok, five},
        {"device \\\\.\\ form", create(L"\\\\.\\" + R + L"\\dev"), ok, five},
        {"device namespace NUL", recreate(L"\\\\.\\NUL"), ok, five},
        {"NT object path", create(L"\\??\\" + R + L"\\nt"), ok, five},
        {"NUL device name", recreate(R + L"\\NUL"), ok, five},
        {"CON with extension", recreate(R + L"\\con.txt"), ok, five},
        {"COM1", recreate(R + L"\\COM1"), ok, five},
        {"LPT1 with extension and blanks", recreate(R + L"\\LPT1 .log"), ok, five},
        {"AUX as a folder", create(R + L"\\AUX\\x"), ok, five},
        {"alternate data stream", recreate(R + L"\\keep.txt:hidden"), ok, five},
        // NUL characters and lengths.
        {"NUL before a traversal", create(R + std::wstring(L"\\ok\0\\..\\..\\x", 12)), ok, five},
        {"NUL inside a name", recreate(R + std::wstring(L"\\a\0b", 4)), ok, five},
        {"path of 300 characters", create(R + L"\\" + Repeat(L'a', 300)), ok, five},
        {"name past MAX_PATH", recreate(R + L"\\" + Repeat(L'b', 255)), ok, five},
        // Not absolute, wildcards, other forms.
        {"relative path", create(L"relative\\dir"), ok, five},
        {"drive-relative path", create(L"C:relative"), ok, five},
        {"root-relative path", create(L"\\windows\\vesko"), ok, five},
        {"wildcard star", recreate(R + L"\\*.txt"), ok, five},
        {"wildcard question mark", remove(R + L"\\?"), ok, five},
        {"UNC share", create(L"\\\\server\\share\\x"), ok, five},
        {"empty path", create(L""), ok, five},
        {"character without an ANSI form", create(R + L"\\\x4E2D\x6587"), ok, five},
        {"full-width solidus and dots", create(R + L"\\\xFF0E\xFF0E\xFF0F" + outsideName), ok,
         five},
        // The audit log is not the host's.
        {"re-create the audit log", recreate(log), ok, five},
        {"move the audit log away", move(log, W + L"\\log.txt"), ok, five},
        {"delete the log folder", remove(logDir), ok, five},
        // The help viewer.
        {"help viewer option", help(L"-decompile"), ok, five},
        {"help file that is no .chm", help(O + L"\\victim.txt"), ok, five},
        {"help file the host could have written", help(R + L"\\planted.chm"), ok, five},
        {"help topic with a quote", help(O + L"\\x.chm::/a\" -decompile C:\\ x"), ok, five},
        {"help file URL", help(L"javascript:alert(1)"), ok, five},
        // The registry.
        {"HKLM", reg(0x80000002, okKey, REG_DWORD, 4, VT_UI1, 4, id), ok, five},
        {"HKCR", reg(0x80000000, okKey, REG_DWORD, 4, VT_UI1, 4, id), ok, five},
        {"HKU", reg(0x80000003, okKey, REG_DWORD, 4, VT_UI1, 4, id), ok, five},
        {"REG_SZ", reg(HKCU, okKey, REG_SZ, 4, VT_UI1, 4, id), ok, five},
        {"REG_QWORD", reg(HKCU, okKey, REG_QWORD, 8, VT_UI1, 8, id), ok, five},
        {"length 2 of 4 bytes", reg(HKCU, okKey, REG_DWORD, 2, VT_UI1, 4, id), ok, five},
        {"length 4 of 8 bytes", reg(HKCU, okKey, REG_DWORD, 4, VT_UI1, 8, id), ok, five},
        {"array of one VT_I4", reg(HKCU, okKey, REG_DWORD, 4, VT_I4, 1, id), ok, five},
        {"no array", reg(HKCU, okKey, REG_DWORD, 4, VT_UI1, 0, id), ok, five},
        {"Run key",
         reg(HKCU, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", REG_DWORD, 4, VT_UI1, 4,
             id),
         ok, five},
        {"prefix without a separator",
         reg(HKCU, L"Software\\NorvaneEvil", REG_DWORD, 4, VT_UI1, 4, id), ok, five},
        {"key with dotdot", reg(HKCU, L"Software\\Norvane\\..\\Evil", REG_DWORD, 4, VT_UI1, 4, id),
         ok, five},
        {"key with a leading separator",
         reg(HKCU, L"\\Software\\Norvane\\RefusalTest", REG_DWORD, 4, VT_UI1, 4, id), ok, five},
        {"key with NUL",
         reg(HKCU, std::wstring(L"Software\\Norvane\0\\..\\Evil", 24), REG_DWORD, 4, VT_UI1, 4, id),
         ok, five},
        {"empty key", reg(HKCU, L"", REG_DWORD, 4, VT_UI1, 4, id), ok, five},
        // The identity.
        {"no identity", reg(HKCU, okKey, REG_DWORD, 4, VT_UI1, 4, L""), denied, five},
        {"identity in other case",
         [id](IFileIOBroker* f, DWORD& c) {
             std::wstring lower = id;
             for (wchar_t& ch : lower)
                 ch = static_cast<wchar_t>(towlower(ch));
             return f->CreateDir(Bstr(lower).Get(), Bstr(Shared().WellKnown() + "\\id").Get(), &c);
         },
         denied, five},
        {"identity with a trailing NUL",
         [id](IFileIOBroker* f, DWORD& c) {
             return f->CreateDir(Bstr(id + std::wstring(1, L'\0')).Get(),
                                 Bstr(Shared().WellKnown() + "\\id").Get(), &c);
         },
         denied, five},
        {"another GUID",
         [](IFileIOBroker* f, DWORD& c) {
             return f->DeleteDirRecursively(
                 Bstr(std::wstring(L"{00000000-0000-0000-0000-000000000000}")).Get(),
                 Bstr(Shared().WellKnown()).Get(), &c);
         },
         denied, five},
    };
    if (linkError.empty()) {
        cases.push_back(
            {"through a link: re-create", recreate(R + L"\\link\\victim.txt"), ok, five});
        cases.push_back({"through a link: create", create(R + L"\\link\\new"), ok, five});
        cases.push_back({"through a link: delete", remove(R + L"\\link\\victimdir"), ok, five});
        cases.push_back({"the link itself: delete", remove(R + L"\\link"), ok, five});
        cases.push_back({"through a link in the well-known folder",
                         recreate(W + L"\\wlink\\victim.txt"), ok, five});
    }
    return cases;
}

TEST(BrokerRefusals, EachBadInputIsRefusedChangesNothingAndIsAudited) {
    ComPtr<IFileIOBroker> files = Shared().Session().Get<IFileIOBroker>();
    ASSERT_TRUE(files);
    const std::string R = Shared().PolicyRoot(), W = Shared().WellKnown(), O = Shared().Outside();
    ASSERT_TRUE(WriteFileText(O + "\\victim.txt", "precious"));
    ASSERT_TRUE(CreateDirectoryA((O + "\\victimdir").c_str(), nullptr));
    ASSERT_TRUE(WriteFileText(O + "\\victimdir\\inner.txt", "precious too"));
    ASSERT_TRUE(WriteFileText(R + "\\keep.txt", "stays"));
    ASSERT_TRUE(WriteFileText(R + "\\planted.chm", "script"));
    std::string linkError;
    if (MakeFolderLink(R + "\\link", O, linkError))
        MakeFolderLink(W + "\\wlink", O, linkError);
    if (!linkError.empty())
        std::printf("link cases left out: %s\n", linkError.c_str());

    const std::vector<BadInput> cases = Cases(linkError);
    EXPECT_GE(cases.size(), 40u);
    AuditCursor audit(AuditLogPath());
    for (const BadInput& c : cases) {
        SCOPED_TRACE(c.name);
        Tree before, after;
        Snapshot(R, "R\\", before);
        Snapshot(W, "W\\", before);
        Snapshot(O, "O\\", before);
        Snapshot(LogDir(), "L\\", before);
        before.erase("L\\VeskoBroker.log");
        const Values registryBefore = RegistrySnapshot();

        DWORD code = 0;
        const HRESULT hr = c.call(files.Get(), code);
        EXPECT_EQ(c.hr, hr) << "hr " << Describe(static_cast<DWORD>(hr));
        EXPECT_EQ(c.code, code) << "code " << Describe(code);

        Snapshot(R, "R\\", after);
        Snapshot(W, "W\\", after);
        Snapshot(O, "O\\", after);
        Snapshot(LogDir(), "L\\", after);
        after.erase("L\\VeskoBroker.log");
        EXPECT_EQ(before, after) << "the folders changed";
        EXPECT_EQ(registryBefore, RegistrySnapshot()) << "the registry changed";
        const std::vector<std::string> lines = audit.NewLines();
        ASSERT_EQ(1u, lines.size()) << "audit records: " << lines.size();
        EXPECT_NE(std::string::npos, lines[0].find(" refused (")) << lines[0];
    }
    EXPECT_EQ("precious", ReadFileText(O + "\\victim.txt"));
    EXPECT_EQ("precious too", ReadFileText(O + "\\victimdir\\inner.txt"));
    RemoveFolderLink(R + "\\link");
    RemoveFolderLink(W + "\\wlink");
}

}  // namespace
}  // namespace vesko::test
