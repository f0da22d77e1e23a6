// The broker's file methods against the real broker process: result codes,
// out values, what lands on disk and in the registry, and the audit records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "brokersession.h"

namespace vesko::test {
namespace {

// "dir", "missing" or "file:<contents>".
std::string What(const std::string& path) {
    return IsDir(path) ? "dir" : Exists(path) ? "file:" + ReadFileText(path) : "missing";
}

class BrokerFileIO : public testing::Test {
  protected:
    void SetUp() override {
        files = Shared().Session().Get<IFileIOBroker>();
        ASSERT_TRUE(files) << "no IFileIOBroker from the Global Interface Table";
    }
    // Runs a method that must succeed as a call; returns its code.
    DWORD Code(const std::function<HRESULT(BSTR, DWORD*)>& call) {
        DWORD code = 99;
        const HRESULT hr = call(id.Get(), &code);
        EXPECT_EQ(S_OK, hr) << Describe(static_cast<DWORD>(hr));
        return code;
    }

    ComPtr<IFileIOBroker> files;
    UniqueBstr id = Bstr(Identity());
    const std::string R = Shared().PolicyRoot(), W = Shared().WellKnown(), O = Shared().Outside();
};

TEST_F(BrokerFileIO, FileMethodsGiveTheWorkersCodesAndAreAudited) {
    ScratchDir helpDir("broker-help");  // outside every folder the host may write to
    const std::string help = helpDir.Path() + "\\Guide Book.chm";
    ASSERT_TRUE(WriteFileText(help, "not really a help file"));
    ASSERT_TRUE(WriteFileText(R + "\\plain.txt", "x"));
    ASSERT_TRUE(WriteFileText(R + "\\move-from.txt", "new contents"));
    ASSERT_TRUE(WriteFileText(W + "\\move-to.txt", "old"));
    ASSERT_TRUE(WriteFileText(W + "\\recreate.dat", "0123456789"));
    ASSERT_TRUE(CreateDirectoryA((R + "\\tree").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((R + "\\tree\\sub").c_str(), nullptr));
    ASSERT_TRUE(WriteFileText(R + "\\tree\\sub\\f.txt", "x"));

    auto create = [&](std::string p) {
        return Code([&](BSTR i, DWORD* c) { return files->CreateDir(i, Bstr(p).Get(), c); });
    };
    auto move = [&](std::string from, std::string to) {
        return Code([&](BSTR i, DWORD* c) {
            return files->MoveFileLI(i, Bstr(from).Get(), Bstr(to).Get(), c);
        });
    };
    auto recreate = [&](std::string p) {
        return Code([&](BSTR i, DWORD* c) { return files->ReCreateFileLI(i, Bstr(p).Get(), c); });
    };
    auto remove = [&](std::string p) {
        return Code(
            [&](BSTR i, DWORD* c) { return files->DeleteDirRecursively(i, Bstr(p).Get(), c); });
    };
    auto writable = [&](std::string p) {
        return Code(
            [&](BSTR i, DWORD* c) { return files->IsDestinationWritable(i, Bstr(p).Get(), c); });
    };
    auto show = [&](std::string p) {
        return Code(
            [&](BSTR i, DWORD* c) { return files->DisplayHelpFile(i, Bstr(p).Get(), 0, c); });
    };
    const std::string nested = W + "\\a\\b\\c";
    const struct {
        const char* what;
        std::function<DWORD()> call;
        DWORD code;
        std::string path, state;  // path is then in state
        std::string audit;        // a part of the call's one audit record, if checked
    } steps[] = {
        {"CreateDir makes missing parents", [&] { return create(nested); }, 0, nested, "dir",
         "CreateDir path=\"" + nested + "\" -> code=0 done"},
        {"CreateDir of an existing folder", [&] { return create(nested); }, 0, nested, "dir",
         "CreateDir path=\"" + nested + "\""},
        // "Already exists" is success, as in direct mode.
        {"CreateDir over a file", [&] { return create(R + "\\plain.txt"); }, 0, R + "\\plain.txt",
         "file:x"},
        {"MoveFileLI replaces the destination",
         [&] { return move(R + "\\move-from.txt", W + "\\move-to.txt"); }, 0, W + "\\move-to.txt",
         "file:new contents"},
        {"MoveFileLI of a missing source",
         [&] { return move(R + "\\move-from.txt", W + "\\move-to.txt"); }, ERROR_FILE_NOT_FOUND,
         R + "\\move-from.txt", "missing"},
        {"ReCreateFileLI truncates", [&] { return recreate(W + "\\recreate.dat"); }, 0,
         W + "\\recreate.dat", "file:"},
        {"ReCreateFileLI in a missing folder",
         [&] { return recreate(W + "\\no-such-folder\\f.dat"); }, ERROR_PATH_NOT_FOUND,
         W + "\\no-such-folder", "missing"},
        {"DeleteDirRecursively", [&] { return remove(R + "\\tree"); }, 0, R + "\\tree", "missing"},
        {"DeleteDirRecursively of a missing folder", [&] { return remove(R + "\\tree"); },
         ERROR_FILE_NOT_FOUND, R + "\\tree", "missing"},
        {"DeleteDirRecursively of a file", [&] { return remove(R + "\\plain.txt"); }, 0xFFFFFFFF,
         R + "\\plain.txt", "file:x"},
        {"IsDestinationWritable below a well-known folder",
         [&] { return writable(W + "\\out.dcm"); }, 0, W + "\\out.dcm", "missing"},
        {"IsDestinationWritable of a root itself", [&] { return writable(R); }, 0, R, "dir"},
        {"IsDestinationWritable outside", [&] { return writable(O + "\\out.dcm"); },
         ERROR_ACCESS_DENIED, O + "\\out.dcm", "missing"},
        // Only the viewer starts, with the file as one quoted argument.
        {"DisplayHelpFile", [&] { return show(help); }, 0, help, "file:not really a help file",
         "hh.exe\\x22 \\x22" + help + "\\x22"},
        // An empty name shows nothing and succeeds, as in direct mode.
        {"DisplayHelpFile of nothing", [&] { return show(""); }, 0, help,
         "file:not really a help file"},
        {"DisplayHelpFile of a missing file", [&] { return show(helpDir / "none.chm"); },
         ERROR_FILE_NOT_FOUND, helpDir / "none.chm", "missing"},
    };
    AuditCursor audit;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        const DWORD code = step.call();
        EXPECT_EQ(step.code, code) << Describe(code);
        EXPECT_EQ(step.state, What(step.path)) << step.path;
        const auto lines = audit.NewLines();
        if (!step.audit.empty()) {
            ASSERT_EQ(1u, lines.size()) << testing::PrintToString(lines);
            EXPECT_NE(std::string::npos, lines[0].find(step.audit)) << lines[0];
        }
    }
}

// The value's type and bytes as "<type>: 78 56 ...", or "missing".
std::string RegistryValue(const std::string& key, const char* name) {
    BYTE bytes[64] = {};
    DWORD type = 0, size = sizeof bytes;
    if (RegGetValueA(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &type, bytes,
                     &size) != ERROR_SUCCESS)
        return "missing";
    std::string out = std::to_string(type) + ":";
    for (DWORD i = 0; i < size; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", bytes[i]);
        out += hex;
    }
    return out;
}

TEST_F(BrokerFileIO, RegistryValueArrivesAsTheFourBytesSent) {
    const std::string key = "Software\\Norvane\\BrokerTest" + std::to_string(GetCurrentProcessId());
    RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str());
    UniqueSafeArray data(SafeArrayCreateVector(VT_UI1, 0, 4));
    const BYTE sent[4] = {0x78, 0x56, 0x34, 0x12};
    std::copy(sent, sent + 4, static_cast<BYTE*>(SafeArrayAccess(data.Get()).Data()));
    // The key the policy file adds is served too.
    for (const std::string& target : {key + "\\Deep", std::string(SharedBroker::PolicyKey())}) {
        EXPECT_EQ(0u, Code([&](BSTR i, DWORD* c) {
                      return files->RegistrySetValue(i, 0x80000001, Bstr(target).Get(),
                                                     Bstr(std::string("Answer")).Get(), REG_DWORD,
                                                     4, data.Get(), c);
                  }));
        EXPECT_EQ("4: 78 56 34 12", RegistryValue(target, "Answer")) << target;
    }
    RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str());
    RegDeleteTreeA(HKEY_CURRENT_USER, SharedBroker::PolicyKey());
}

TEST_F(BrokerFileIO, GetIEVersionReportsTheInstalledVersion) {
    UINT major = 77, minor = 77, build = 77;
    VARIANT_BOOL ok = VARIANT_FALSE;
    const HRESULT hr = files->GetIEVersion(id.Get(), &major, &minor, &build, &ok);
    EXPECT_EQ(S_OK, hr) << Describe(static_cast<DWORD>(hr));
    // The registry values the broker's SystemInfo reads, read here.
    char text[64] = {};
    std::string expected = "false";
    for (const char* name : {"svcVersion", "Version"}) {
        DWORD size = sizeof text;
        if (RegGetValueA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Internet Explorer", name,
                         RRF_RT_REG_SZ, nullptr, text, &size) == ERROR_SUCCESS) {
            unsigned a = 0, b = 0, c = 0;
            std::sscanf(text, "%u.%u.%u", &a, &b, &c);
            expected = std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c);
            break;
        }
    }
    EXPECT_EQ(expected, ok == VARIANT_TRUE ? std::to_string(major) + "." + std::to_string(minor) +
                                                 "." + std::to_string(build)
                                           : "false")
        << "registry says " << text;
}

TEST_F(BrokerFileIO, IDispatchHasNoTypeInformation) {
    UINT count = 5;
    EXPECT_EQ(S_OK, files->GetTypeInfoCount(&count));
    EXPECT_EQ(0u, count);
    ITypeInfo* info = nullptr;
    EXPECT_EQ(E_NOTIMPL, files->GetTypeInfo(0, 0, &info));
    DISPID dispid = 0;
    LPOLESTR name = const_cast<LPOLESTR>(L"CreateDir");
    EXPECT_EQ(E_NOTIMPL, files->GetIDsOfNames(IID_NULL, &name, 1, 0, &dispid));
}

TEST_F(BrokerFileIO, EveryInterfaceReachesTheSameBrokerProcess) {
    auto root = Shared().Session().Get<IBroker>();
    ASSERT_TRUE(root);
    DWORD pid = 0, version = 0;
    EXPECT_EQ(S_OK, root->GetBrokerInfo(&pid, &version));
    EXPECT_EQ(Shared().Session().ProcessId(), pid);
    EXPECT_NE(GetCurrentProcessId(), pid);
    EXPECT_EQ(1u, version);
    EXPECT_EQ(S_OK, root->SetLanguageID(0x0409));
    EXPECT_TRUE(Shared().Session().Get<IFileDlgBroker>());
    EXPECT_TRUE(Shared().Session().Get<ICDWrite>());
}

}  // namespace
}  // namespace vesko::test
