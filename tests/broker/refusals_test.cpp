// Inputs a compromised host might send. Each must be refused: the expected
// HRESULT and code, nothing changed on disk or in the registry, and exactly
// one audit record that says "refused".
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <optional>

#include "brokersession.h"

namespace vesko::test {
namespace {

// Relative path -> size (-1 for folders, links listed but never entered),
// and "REG|<key>[|<value name>]" for the registry keys the cases aim at.
using Snapshot = std::map<std::string, long long>;

void AddFolder(const std::string& folder, const std::string& prefix, Snapshot& out) {
    WIN32_FIND_DATAA data{};
    UniqueFindHandle find(FindFirstFileA((folder + "\\*").c_str(), &data));
    for (bool more = find.IsValid(); more; more = FindNextFileA(find.Get(), &data)) {
        const std::string name = data.cFileName;
        const bool dir = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (name == "." || name == "..")
            continue;
        out[prefix + name] =
            dir ? -1
                : static_cast<long long>((ULONGLONG(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
        if (dir && !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            AddFolder(folder + "\\" + name, prefix + name + "\\", out);
    }
}

Snapshot Everything() {
    Snapshot out;
    AddFolder(Shared().PolicyRoot(), "R\\", out);
    AddFolder(Shared().WellKnown(), "W\\", out);
    AddFolder(Shared().Outside(), "O\\", out);
    AddFolder(LogDir(), "L\\", out);
    out.erase("L\\VeskoBroker.log");
    for (const auto& [root, path] : std::initializer_list<std::pair<HKEY, const char*>>{
             {HKEY_CURRENT_USER, "Software\\Norvane\\RefusalTest"},
             {HKEY_CURRENT_USER, "Software\\NorvaneEvil"},
             {HKEY_CURRENT_USER, "Software\\Evil"},
             {HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Run"},
             {HKEY_LOCAL_MACHINE, "Software\\Norvane\\RefusalTest"},
             {HKEY_CLASSES_ROOT, "Software\\Norvane\\RefusalTest"},
             {HKEY_USERS, "Software\\Norvane\\RefusalTest"},
             {HKEY_CURRENT_USER, "Software\\Norvane\\RefusalTest\\.."}}) {
        UniqueHKey key;
        if (RegOpenKeyExA(root, path, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS)
            continue;
        out["REG|" + std::string(path)] = 0;
        char name[256];
        for (DWORD i = 0, length = sizeof name;
             RegEnumValueA(key.Get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) ==
             ERROR_SUCCESS;
             ++i, length = sizeof name)
            out["REG|" + std::string(path) + "|" + name] = 0;
    }
    return out;
}

// A call the broker must refuse with hr; the code is always ERROR_ACCESS_DENIED.
struct BadInput {
    std::string name;
    std::function<HRESULT(IFileIOBroker*, DWORD&)> call;
    HRESULT hr = S_OK;
};

UniqueSafeArray Bytes(VARTYPE type, ULONG count) {
    UniqueSafeArray array(SafeArrayCreateVector(type, 0, count));
    std::memset(SafeArrayAccess(array.Get()).Data(), 0x11,
                count * SafeArrayGetElemsize(array.Get()));
    return array;
}

constexpr DWORD HKCU = 0x80000001;

std::vector<BadInput> Cases(bool withLinks) {
    const std::wstring R = Wide(Shared().PolicyRoot()), W = Wide(Shared().WellKnown()),
                       O = Wide(Shared().Outside()), log = Wide(AuditLogPath()), id = Identity();
    const std::wstring outsideName = O.substr(O.find_last_of(L'\\') + 1);
    using F = std::function<HRESULT(IFileIOBroker*, DWORD&)>;
    using As = std::optional<std::wstring>;  // the identity sent, the library's by default
    auto create = [&](std::wstring path, As as = {}) -> F {
        return [as = as.value_or(id), path](IFileIOBroker* f, DWORD& c) {
            return f->CreateDir(Bstr(as).Get(), Bstr(path).Get(), &c);
        };
    };
    auto recreate = [&](std::wstring path) -> F {
        return [id, path](IFileIOBroker* f, DWORD& c) {
            return f->ReCreateFileLI(Bstr(id).Get(), Bstr(path).Get(), &c);
        };
    };
    auto remove = [&](std::wstring path, As as = {}) -> F {
        return [as = as.value_or(id), path](IFileIOBroker* f, DWORD& c) {
            return f->DeleteDirRecursively(Bstr(as).Get(), Bstr(path).Get(), &c);
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
    const std::wstring okKey = L"Software\\Norvane\\RefusalTest";
    // By default a REG_DWORD "Planted" of four VT_UI1 bytes below HKCU.
    auto reg = [&](std::wstring key, DWORD root = HKCU, DWORD type = REG_DWORD, DWORD length = 4,
                   VARTYPE vt = VT_UI1, ULONG n = 4, As as = {}) -> F {
        return [=, as = as.value_or(id)](IFileIOBroker* f, DWORD& c) {
            UniqueSafeArray data = n ? Bytes(vt, n) : UniqueSafeArray();
            return f->RegistrySetValue(Bstr(as).Get(), root, Bstr(key).Get(),
                                       Bstr(std::wstring(L"Planted")).Get(), type, length,
                                       data.Get(), &c);
        };
    };
    std::wstring lowerId = id;
    for (wchar_t& ch : lowerId)
        ch = static_cast<wchar_t>(towlower(ch));
    const HRESULT denied = E_ACCESSDENIED;

    std::vector<BadInput> cases = {
        // Traversal out of an allowed folder.
        {"dotdot out of the policy root", create(R + L"\\..\\" + outsideName + L"\\made")},
        {"dotdot twice", create(R + L"\\sub\\..\\..\\escape")},
        {"forward-slash dotdot", recreate(R + L"/../" + outsideName + L"/victim.txt")},
        {"dotdot out of the well-known folder", create(W + L"\\..\\..\\..\\..\\Evil")},
        {"outside folder delete", remove(O + L"\\victimdir")},
        {"outside file re-create", recreate(O + L"\\victim.txt")},
        {"move from outside in", move(O + L"\\victim.txt", R + L"\\stolen.txt")},
        {"move from inside out", move(R + L"\\keep.txt", O + L"\\planted.txt")},
        {"delete the policy root itself", remove(R)},
        {"delete the well-known writable folder", remove(Wide(WritableDir()))},
        {"windows folder", create(L"C:\\windows\\system32\\vesko")},
        // Device and raw forms.
        {"raw \\\\?\\ form", create(L"\\\\?\\" + R + L"\\raw")},
        {"device \\\\.\\ form", create(L"\\\\.\\" + R + L"\\dev")},
        {"device namespace NUL", recreate(L"\\\\.\\NUL")},
        {"NT object path", create(L"\\??\\" + R + L"\\nt")},
        {"NUL device name", recreate(R + L"\\NUL")},
        {"CON with extension", recreate(R + L"\\con.txt")},
        {"COM1", recreate(R + L"\\COM1")},
        {"LPT1 with extension and blanks", recreate(R + L"\\LPT1 .log")},
        {"AUX as a folder", create(R + L"\\AUX\\x")},
        {"alternate data stream", recreate(R + L"\\keep.txt:hidden")},
        // NUL characters and lengths.
        {"NUL before a traversal", create(R + std::wstring(L"\\ok\0\\..\\..\\x", 12))},
        {"NUL inside a name", recreate(R + std::wstring(L"\\a\0b", 4))},
        {"path of 300 characters", create(R + L"\\" + std::wstring(300, L'a'))},
        {"name past MAX_PATH", recreate(R + L"\\" + std::wstring(255, L'b'))},
        // Not absolute, wildcards, other forms.
        {"relative path", create(L"relative\\dir")},
        {"drive-relative path", create(L"C:relative")},
        {"root-relative path", create(L"\\windows\\vesko")},
        {"wildcard star", recreate(R + L"\\*.txt")},
        {"wildcard question mark", remove(R + L"\\?")},
        {"UNC share", create(L"\\\\server\\share\\x")},
        {"empty path", create(L"")},
        {"character without an ANSI form", create(R + L"\\\x4E2D\x6587")},
        {"full-width solidus and dots", create(R + L"\\\xFF0E\xFF0E\xFF0F" + outsideName)},
        // The audit log is not the host's.
        {"re-create the audit log", recreate(log)},
        {"move the audit log away", move(log, W + L"\\log.txt")},
        {"delete the log folder", remove(Wide(LogDir()))},
        // The help viewer.
        {"help viewer option", help(L"-decompile")},
        {"help file that is no .chm", help(O + L"\\victim.txt")},
        {"help file the host could have written", help(R + L"\\planted.chm")},
        {"help topic with a quote", help(O + L"\\x.chm::/a\" -decompile C:\\ x")},
        {"help file URL", help(L"javascript:alert(1)")},
        // The registry.
        {"HKLM", reg(okKey, 0x80000002)},
        {"HKCR", reg(okKey, 0x80000000)},
        {"HKU", reg(okKey, 0x80000003)},
        {"REG_SZ", reg(okKey, HKCU, REG_SZ)},
        {"REG_QWORD", reg(okKey, HKCU, REG_QWORD, 8, VT_UI1, 8)},
        {"length 2 of 4 bytes", reg(okKey, HKCU, REG_DWORD, 2)},
        {"length 4 of 8 bytes", reg(okKey, HKCU, REG_DWORD, 4, VT_UI1, 8)},
        {"array of one VT_I4", reg(okKey, HKCU, REG_DWORD, 4, VT_I4, 1)},
        {"no array", reg(okKey, HKCU, REG_DWORD, 4, VT_UI1, 0)},
        {"Run key", reg(L"Software\\Microsoft\\Windows\\CurrentVersion\\Run")},
        {"prefix without a separator", reg(L"Software\\NorvaneEvil")},
        {"key with dotdot", reg(L"Software\\Norvane\\..\\Evil")},
        {"key with a leading separator", reg(L"\\Software\\Norvane\\RefusalTest")},
        {"key with NUL", reg(std::wstring(L"Software\\Norvane\0\\..\\Evil", 24))},
        {"empty key", reg(L"")},
        // The identity.
        {"no identity", reg(okKey, HKCU, REG_DWORD, 4, VT_UI1, 4, std::wstring()), denied},
        {"identity in other case", create(W + L"\\id", lowerId), denied},
        {"identity with a trailing NUL", create(W + L"\\id", id + std::wstring(1, L'\0')), denied},
        {"another GUID", remove(W, L"{00000000-0000-0000-0000-000000000000}"), denied},
    };
    if (withLinks) {
        cases.push_back({"through a link: re-create", recreate(R + L"\\link\\victim.txt")});
        cases.push_back({"through a link: create", create(R + L"\\link\\new")});
        cases.push_back({"through a link: delete", remove(R + L"\\link\\victimdir")});
        cases.push_back({"the link itself: delete", remove(R + L"\\link")});
        cases.push_back(
            {"through a link in the well-known folder", recreate(W + L"\\wlink\\victim.txt")});
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

    const std::vector<BadInput> cases = Cases(linkError.empty());
    EXPECT_EQ(cases.size(), linkError.empty() ? 66u : 61u);
    AuditCursor audit;
    for (const BadInput& c : cases) {
        SCOPED_TRACE(c.name);
        const Snapshot before = Everything();
        DWORD code = 0;
        const HRESULT hr = c.call(files.Get(), code);
        EXPECT_EQ(c.hr, hr) << "hr " << Describe(static_cast<DWORD>(hr));
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), code) << "code " << Describe(code);
        EXPECT_EQ(before, Everything()) << "the folders or the registry changed";
        const std::vector<std::string> lines = audit.NewLines();
        ASSERT_EQ(1u, lines.size()) << testing::PrintToString(lines);
        EXPECT_NE(std::string::npos, lines[0].find(" refused (")) << lines[0];
    }
    EXPECT_EQ("precious", ReadFileText(O + "\\victim.txt"));
    EXPECT_EQ("precious too", ReadFileText(O + "\\victimdir\\inner.txt"));
    RemoveFolderLink(R + "\\link");
    RemoveFolderLink(W + "\\wlink");
}

}  // namespace
}  // namespace vesko::test
