// The broker's file methods against the real broker process: result codes,
// out values, what lands on disk and in the registry, the audit records, and
// the inputs a compromised host might send, each refused.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>

#include "brokersession.h"

namespace vesko::test {
namespace {

using namespace std::string_literals;

enum Op { Create, Move, Recreate, Remove, Writable, Help, Reg };
const char* const kMethods[] = {"CreateDir",
                                "MoveFileLI",
                                "ReCreateFileLI",
                                "DeleteDirRecursively",
                                "IsDestinationWritable",
                                "DisplayHelpFile",
                                "RegistrySetValue"};
constexpr DWORD HKCU = 0x80000001;

// One IFileIOBroker call. Reg sets value b ("Planted" when empty) of key a
// to the bytes 78 56 34 12, repeated over the whole array.
struct Call {
    Op op;
    std::string a, b;
    std::optional<std::string> id;  // the library's identity when unset
    DWORD root = HKCU, type = REG_DWORD, length = 4;
    VARTYPE vt = VT_UI1;
    ULONG elements = 4;  // 0: no array at all
};

HRESULT Send(IFileIOBroker* f, const Call& c, DWORD& code) {
    const UniqueBstr id = Bstr(c.id.value_or(Identity())), a = Bstr(c.a), b = Bstr(c.b);
    switch (c.op) {
        case Create:
            return f->CreateDir(id.Get(), a.Get(), &code);
        case Move:
            return f->MoveFileLI(id.Get(), a.Get(), b.Get(), &code);
        case Recreate:
            return f->ReCreateFileLI(id.Get(), a.Get(), &code);
        case Remove:
            return f->DeleteDirRecursively(id.Get(), a.Get(), &code);
        case Writable:
            return f->IsDestinationWritable(id.Get(), a.Get(), &code);
        case Help:
            return f->DisplayHelpFile(id.Get(), a.Get(), 0, &code);
        case Reg:
            break;
    }
    UniqueSafeArray data(c.elements ? SafeArrayCreateVector(c.vt, 0, c.elements) : nullptr);
    if (data) {
        SafeArrayAccess access(data.Get());
        for (UINT i = 0; i < c.elements * SafeArrayGetElemsize(data.Get()); ++i)
            static_cast<BYTE*>(access.Data())[i] = "\x78\x56\x34\x12"[i % 4];
    }
    return f->RegistrySetValue(id.Get(), c.root, a.Get(), Bstr(c.b.empty() ? "Planted" : c.b).Get(),
                               c.type, c.length, data.Get(), &code);
}

// The files below the folders the refusals aim at (size, -1 for a folder),
// and for the registry keys they aim at whether each exists (1) and holds a
// value "Planted" (2).
using Snapshot = std::map<std::string, long long>;

Snapshot Everything() {
    Snapshot out;
    std::error_code error;
    for (const std::string& folder :
         {Shared().root.Path(), Shared().wellKnown, Shared().outside.Path(), Known::Log()})
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, error))
            out[entry.path().string()] = entry.is_directory() ? -1 : entry.file_size(error);
    out.erase(Known::AuditLog());
    for (HKEY hive : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT, HKEY_USERS}) {
        for (const char* path :
             {"", "Software\\Norvane", "Software\\Norvane\\RefusalTest", "Software\\NorvaneEvil",
              "Software\\Evil", "Software\\Norvane\\..\\Evil",
              "Software\\Microsoft\\Windows\\CurrentVersion\\Run"}) {
            UniqueHKey key;
            if (RegOpenKeyExA(hive, path, 0, KEY_READ, key.Receive()) == ERROR_SUCCESS)
                out["HK" + std::to_string(reinterpret_cast<ULONG_PTR>(hive) & 0xF) + "\\" + path] =
                    1 + (RegQueryValueExA(key.Get(), "Planted", nullptr, nullptr, nullptr,
                                          nullptr) == ERROR_SUCCESS);
        }
    }
    return out;
}

// "dir", "missing" or "file:<contents>".
std::string What(const std::string& path) {
    return IsDir(path) ? "dir" : Exists(path) ? "file:" + ReadFileText(path) : "missing";
}

// "<type>:<bytes>" of value name of key (below HKCU), or "missing".
std::string RegValue(const std::string& key, const std::string& name) {
    char bytes[16] = {};
    DWORD type = 0, size = sizeof bytes;
    return RegGetValueA(HKEY_CURRENT_USER, key.c_str(), name.c_str(), RRF_RT_ANY, &type, bytes,
                        &size) == ERROR_SUCCESS
               ? std::to_string(type) + ":" + std::string(bytes, size)
               : "missing";
}

class BrokerFileIO : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(files); }
    // Sends call and expects its code and its one audit record, naming the
    // method and holding part; state is what b (a when b is empty; value b of
    // key a) holds afterwards, and when it is empty nothing at all may change.
    void Check(const char* name, const Call& call, DWORD code, const std::string& state,
               const std::string& part) {
        SCOPED_TRACE(name);
        const Snapshot before = state.empty() ? Everything() : Snapshot();
        DWORD got = 99;
        const HRESULT hr = Send(files.Get(), call, got);
        EXPECT_EQ(call.id ? E_ACCESSDENIED : S_OK, hr) << Describe(static_cast<DWORD>(hr));
        EXPECT_EQ(code, got) << Describe(got);
        const std::string& path = call.b.empty() ? call.a : call.b;
        if (state.empty())
            EXPECT_EQ(before, Everything()) << "the folders or the registry changed";
        else
            EXPECT_EQ(state, call.op == Reg ? RegValue(call.a, call.b) : What(path)) << path;
        const std::string line = audit.OneLine();
        for (const std::string& expected :
             {std::string(" ") + kMethods[call.op] + " ", part,
              call.id ? "-> hr=0x80070005 "s : "-> code=" + std::to_string(code) + " "})
            EXPECT_NE(std::string::npos, line.find(expected)) << line;
    }

    ComPtr<IFileIOBroker> files = Shared().Get<IFileIOBroker>();
    const std::string R = Shared().root.Path(), W = Shared().wellKnown, O = Shared().outside.Path();
    AuditCursor audit;
};

TEST_F(BrokerFileIO, FileMethodsGiveTheWorkersCodesAndAreAudited) {
    // Help files are shown only from folders the host can never write: the
    // broker's own folder (this program's) is one.
    struct HelpFolder {
        const std::string path =
            ProgramFolder() + "\\broker-help-" + std::to_string(GetCurrentProcessId());
        HelpFolder() { CreateDirectoryA(path.c_str(), nullptr); }
        ~HelpFolder() { RemoveTree(path); }
        std::string operator/(const std::string& name) const { return path + "\\" + name; }
        const std::string& Path() const { return path; }
    } helpDir;
    const std::string help = helpDir / "Guide Book.chm", nested = W + "\\a\\b\\c",
                      key = "Software\\Norvane\\BrokerTest" + std::to_string(GetCurrentProcessId());
    for (const std::string& k : {key, std::string(SharedBroker::kPolicyKey)})
        RegDeleteTreeA(HKEY_CURRENT_USER, k.c_str());
    // Each file holds its own name.
    ASSERT_TRUE(MakeTree(R, "tree\\sub\\f.txt|plain.txt|move-from.txt") &&
                MakeTree(W, "move-to.txt|recreate.dat") &&
                MakeTree(helpDir.Path(), "Guide Book.chm"));

    const struct {
        const char* what;
        Op op;
        std::string a, b;
        DWORD code;
        std::string state, audit;
    } steps[] = {
        {"CreateDir makes missing parents", Create, nested, "", 0, "dir",
         "path=\"" + nested + "\" -> code=0 done"},
        // A file holding the name is no folder: "already exists", as in direct mode.
        {"CreateDir over a file", Create, R + "\\plain.txt", "", ERROR_ALREADY_EXISTS,
         "file:plain.txt"},
        {"MoveFileLI replaces the destination", Move, R + "\\move-from.txt", W + "\\move-to.txt", 0,
         "file:move-from.txt"},
        {"MoveFileLI of a missing source", Move, R + "\\move-from.txt", W + "\\move-to.txt",
         ERROR_FILE_NOT_FOUND, "file:move-from.txt"},
        {"ReCreateFileLI truncates", Recreate, W + "\\recreate.dat", "", 0, "file:"},
        {"ReCreateFileLI in a missing folder", Recreate, W + "\\no-such-folder\\f.dat", "",
         ERROR_PATH_NOT_FOUND, "missing"},
        {"DeleteDirRecursively", Remove, R + "\\tree", "", 0, "missing"},
        {"DeleteDirRecursively of a file", Remove, R + "\\plain.txt", "", 0xFFFFFFFF,
         "file:plain.txt"},
        {"IsDestinationWritable below a well-known folder", Writable, W + "\\out.dcm", "", 0,
         "missing"},
        {"IsDestinationWritable of a root itself", Writable, R, "", 0, "dir"},
        // Only the viewer starts, with the file as one quoted argument.
        {"DisplayHelpFile", Help, help, "", 0, "file:Guide Book.chm",
         "hh.exe\\x22 \\x22" + help + "\\x22"},
        // An empty name shows nothing and succeeds, as in direct mode.
        {"DisplayHelpFile of nothing", Help, "", help, 0, "file:Guide Book.chm"},
        {"DisplayHelpFile of a missing file", Help, helpDir / "none.chm", "", ERROR_FILE_NOT_FOUND,
         "missing"},
        // The four bytes of 0x12345678 arrive as they were sent, also below the policy's key.
        {"RegistrySetValue", Reg, key + "\\Deep", "Answer", 0, "4:\x78\x56\x34\x12",
         "data=0x12345678"},
        {"RegistrySetValue, policy key", Reg, SharedBroker::kPolicyKey, "Answer", 0,
         "4:\x78\x56\x34\x12", "data=0x12345678"},
    };
    for (const auto& s : steps)
        Check(s.what, {s.op, s.a, s.b}, s.code, s.state, s.audit);
    for (const std::string& k : {key, std::string(SharedBroker::kPolicyKey)})
        RegDeleteTreeA(HKEY_CURRENT_USER, k.c_str());
}

TEST_F(BrokerFileIO, EveryInterfaceReachesOneBrokerThatGivesItsInfoTheIEVersionAndNoTypeInfo) {
    ComPtr<IBroker> root = Shared().Get<IBroker>();
    ASSERT_TRUE(root && Shared().Get<IFileDlgBroker>() && Shared().Get<ICDWrite>());
    DWORD pid = 0, version = 0;
    EXPECT_EQ(S_OK, root->GetBrokerInfo(&pid, &version));
    EXPECT_EQ(Shared().ProcessId(), pid);
    EXPECT_NE(GetCurrentProcessId(), pid);
    EXPECT_EQ(2u, version) << "contract version 2: per-client disc event names";
    AuditCursor audit;
    EXPECT_EQ(S_OK, root->SetLanguageID(0x0409));
    const std::string line = audit.OneLine();
    EXPECT_NE(std::string::npos, line.find("pid=" + std::to_string(pid) +
                                           " LM_NOTICE SetLanguageID language=0x00000409 -> "
                                           "hr=0x00000000 done"))
        << line;
    // The version the worker finds in this prefix, as the broker's own worker finds it.
    const auto dotted = [](bool found, unsigned a, unsigned b, unsigned c) {
        return found ? std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) : "-";
    };
    unsigned a = 0, b = 0, c = 0;
    const bool found = SFileIO::GetIEVersion(a, b, c);
    UINT major = 77, minor = 77, build = 77;
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(S_OK, files->GetIEVersion(Bstr(Identity()).Get(), &major, &minor, &build, &ok));
    EXPECT_EQ(dotted(found, a, b, c), dotted(ok == VARIANT_TRUE, major, minor, build));
    // IDispatch without a type library.
    UINT count = 5;
    ITypeInfo* info = nullptr;
    DISPID dispid = 0;
    LPOLESTR name = const_cast<LPOLESTR>(L"CreateDir");
    EXPECT_EQ(S_OK, files->GetTypeInfoCount(&count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(E_NOTIMPL, files->GetTypeInfo(0, 0, &info));
    EXPECT_EQ(E_NOTIMPL, files->GetIDsOfNames(IID_NULL, &name, 1, 0, &dispid));
}

TEST_F(BrokerFileIO, BadInputsAreRefusedChangeNothingAndAreAudited) {
    const std::string outsideName = O.substr(O.find_last_of('\\') + 1), log = Known::AuditLog(),
                      okKey = "Software\\Norvane\\RefusalTest", id = Identity();
    ASSERT_TRUE(MakeTree(O, "victim.txt|victimdir\\inner.txt") &&
                MakeTree(R, "keep.txt|planted.chm"));
    // Links through which a folder of the host's could reach the outside one.
    bool links = true;
    for (const std::string& link : {R + "\\link", W + "\\wlink"})
        links = HostLink(link, O) && links;
    std::string lowerId = id;
    CharLowerA(lowerId.data());

    std::vector<std::pair<const char*, Call>> cases = {
        {"writable outside", {Writable, O + "\\out.dcm"}},
        // Traversal out of an allowed folder.
        {"dotdot out of the policy root", {Create, R + "\\..\\" + outsideName + "\\made"}},
        {"dotdot twice", {Create, R + "\\sub\\..\\..\\escape"}},
        {"forward-slash dotdot", {Recreate, R + "/../" + outsideName + "/victim.txt"}},
        {"dotdot out of the well-known folder", {Create, W + "\\..\\..\\..\\..\\Evil"}},
        {"outside folder delete", {Remove, O + "\\victimdir"}},
        {"outside file re-create", {Recreate, O + "\\victim.txt"}},
        {"move from outside in", {Move, O + "\\victim.txt", R + "\\stolen.txt"}},
        {"move from inside out", {Move, R + "\\keep.txt", O + "\\planted.txt"}},
        {"delete the policy root itself", {Remove, R}},
        {"delete the well-known writable folder", {Remove, Known::Writable()}},
        {"windows folder", {Create, "C:\\windows\\system32\\vesko"}},
        // Device and raw forms.
        {"raw \\\\?\\ form", {Create, "\\\\?\\" + R + "\\raw"}},
        {"device \\\\.\\ form", {Create, "\\\\.\\" + R + "\\dev"}},
        {"device namespace NUL", {Recreate, "\\\\.\\NUL"}},
        {"NT object path", {Create, "\\??\\" + R + "\\nt"}},
        {"NUL device name", {Recreate, R + "\\NUL"}},
        {"CON with extension", {Recreate, R + "\\con.txt"}},
        {"COM1", {Recreate, R + "\\COM1"}},
        {"LPT1 with extension and blanks", {Recreate, R + "\\LPT1 .log"}},
        {"AUX as a folder", {Create, R + "\\AUX\\x"}},
        {"alternate data stream", {Recreate, R + "\\keep.txt:hidden"}},
        // NUL characters and lengths.
        {"NUL before a traversal", {Create, R + std::string("\\ok\0\\..\\..\\x", 12)}},
        {"NUL inside a name", {Recreate, R + std::string("\\a\0b", 4)}},
        {"path of 300 characters", {Create, R + "\\" + std::string(300, 'a')}},
        {"name past MAX_PATH", {Recreate, R + "\\" + std::string(255, 'b')}},
        // Not absolute, wildcards, other forms.
        {"relative path", {Create, "relative\\dir"}},
        {"drive-relative path", {Create, "C:relative"}},
        {"root-relative path", {Create, "\\windows\\vesko"}},
        {"wildcard star", {Recreate, R + "\\*.txt"}},
        {"wildcard question mark", {Remove, R + "\\?"}},
        {"UNC share", {Create, "\\\\server\\share\\x"}},
        {"empty path", {Create, ""}},
        {"characters without an ANSI form", {Create, R + "\\\u4E2D\u6587"}},
        {"full-width dots and solidus", {Create, R + "\\\uFF0E\uFF0E\uFF0F" + outsideName}},
        // The audit log is not the host's.
        {"re-create the audit log", {Recreate, log}},
        {"move the audit log away", {Move, log, W + "\\log.txt"}},
        {"delete the log folder", {Remove, Known::Log()}},
        // The help viewer.
        {"help viewer option", {Help, "-decompile"}},
        {"help file that is no .chm", {Help, O + "\\victim.txt"}},
        {"help file the host could have written", {Help, R + "\\planted.chm"}},
        {"help topic with a quote", {Help, O + "\\x.chm::/a\" -decompile C:\\ x"}},
        {"help file URL", {Help, "javascript:alert(1)"}},
        // The registry.
        {"HKLM", {Reg, okKey, "", {}, 0x80000002}},
        {"HKCR", {Reg, okKey, "", {}, 0x80000000}},
        {"HKU", {Reg, okKey, "", {}, 0x80000003}},
        {"REG_SZ", {Reg, okKey, "", {}, HKCU, REG_SZ}},
        {"REG_QWORD", {Reg, okKey, "", {}, HKCU, REG_QWORD, 8, VT_UI1, 8}},
        {"length 2 of 4 bytes", {Reg, okKey, "", {}, HKCU, REG_DWORD, 2}},
        {"length 4 of 8 bytes", {Reg, okKey, "", {}, HKCU, REG_DWORD, 4, VT_UI1, 8}},
        {"array of one VT_I4", {Reg, okKey, "", {}, HKCU, REG_DWORD, 4, VT_I4, 1}},
        {"no array", {Reg, okKey, "", {}, HKCU, REG_DWORD, 4, VT_UI1, 0}},
        {"Run key", {Reg, "Software\\Microsoft\\Windows\\CurrentVersion\\Run"}},
        {"prefix without a separator", {Reg, "Software\\NorvaneEvil"}},
        {"key with dotdot", {Reg, "Software\\Norvane\\..\\Evil"}},
        {"key with a leading separator", {Reg, "\\" + okKey}},
        {"key with NUL", {Reg, std::string("Software\\Norvane\0\\..\\Evil", 24)}},
        {"empty key", {Reg, ""}},
        // The identity: E_ACCESSDENIED before anything else.
        {"no identity", {Reg, okKey, "", ""}},
        {"identity in other case", {Create, W + "\\id", "", lowerId}},
        {"identity with a trailing NUL", {Create, W + "\\id", "", id + std::string(1, '\0')}},
        {"another GUID", {Remove, W, "", "{00000000-0000-0000-0000-000000000000}"}},
    };
    if (links)
        cases.insert(
            cases.end(),
            {{"through a link: re-create", {Recreate, R + "\\link\\victim.txt"}},
             {"through a link: create", {Create, R + "\\link\\new"}},
             {"through a link: delete", {Remove, R + "\\link\\victimdir"}},
             {"the link itself: delete", {Remove, R + "\\link"}},
             {"through a link in the well-known folder", {Recreate, W + "\\wlink\\victim.txt"}}});
    else
        std::printf("no links here (Wine reports none): their cases are left out\n");
    for (const auto& [name, call] : cases)
        Check(name, call, ERROR_ACCESS_DENIED, "", " refused (");
    EXPECT_EQ(
        "", TreeMismatch(O, "victim.txt=victim.txt|victimdir\\inner.txt=victimdir\\inner.txt", ""));
    HostLink(R + "\\link");
    HostLink(W + "\\wlink");
}

}  // namespace
}  // namespace vesko::test
