// The broker's file methods against the real broker process: result codes,
// out values, what lands on disk and in the registry, and the audit records.
#include <gtest/gtest.h>

#include <algorithm>

#include "sharedbroker.h"

namespace vesko::test {
namespace {

class BrokerFileIO : public testing::Test {
  protected:
    void SetUp() override {
        files = Shared().Session().Get<IFileIOBroker>();
        ASSERT_TRUE(files) << "no IFileIOBroker from the Global Interface Table";
        id = Bstr(Identity());
    }
    ComPtr<IFileIOBroker> files;
    UniqueBstr id;
};

std::string Joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines)
        out += line + "\n";
    return out;
}

TEST_F(BrokerFileIO, CreateDirCreatesMissingParentsUnderAWellKnownFolder) {
    const std::string target = Shared().WellKnown() + "\\a\\b\\c";
    AuditCursor audit(AuditLogPath());
    DWORD code = 99;
    const HRESULT hr = files->CreateDir(id.Get(), Bstr(target).Get(), &code);
    EXPECT_EQ(S_OK, hr) << Describe(hr);
    EXPECT_EQ(0u, code) << Describe(code);
    EXPECT_TRUE(IsDir(target)) << target;
    // Existing folder: 0 again.
    code = 99;
    EXPECT_EQ(S_OK, files->CreateDir(id.Get(), Bstr(target).Get(), &code));
    EXPECT_EQ(0u, code) << Describe(code);
    const auto lines = audit.NewLines();
    ASSERT_EQ(2u, lines.size()) << Joined(lines);
    EXPECT_NE(std::string::npos, lines[0].find("CreateDir path=\"" + target + "\" -> code=0 done"))
        << lines[0];
}

TEST_F(BrokerFileIO, CreateDirOverAFileLeavesTheFile) {
    // The worker reports "already exists" as success, as in direct mode.
    const std::string file = Shared().PolicyRoot() + "\\plain.txt";
    ASSERT_TRUE(WriteFileText(file, "x"));
    DWORD code = 99;
    EXPECT_EQ(S_OK, files->CreateDir(id.Get(), Bstr(file).Get(), &code));
    EXPECT_EQ(0u, code) << Describe(code);
    EXPECT_FALSE(IsDir(file));
    EXPECT_EQ("x", ReadFileText(file));
}

TEST_F(BrokerFileIO, MoveFileReplacesTheDestination) {
    const std::string from = Shared().PolicyRoot() + "\\move-from.txt";
    const std::string to = Shared().WellKnown() + "\\move-to.txt";
    ASSERT_TRUE(WriteFileText(from, "new contents"));
    ASSERT_TRUE(WriteFileText(to, "old"));
    DWORD code = 99;
    EXPECT_EQ(S_OK, files->MoveFileLI(id.Get(), Bstr(from).Get(), Bstr(to).Get(), &code));
    EXPECT_EQ(0u, code) << Describe(code);
    EXPECT_FALSE(Exists(from));
    EXPECT_EQ("new contents", ReadFileText(to));
    // A missing source: the Win32 error of the move.
    code = 0;
    EXPECT_EQ(S_OK, files->MoveFileLI(id.Get(), Bstr(from).Get(), Bstr(to).Get(), &code));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), code) << Describe(code);
}

TEST_F(BrokerFileIO, ReCreateFileTruncatesToAnEmptyFile) {
    const std::string file = Shared().WellKnown() + "\\recreate.dat";
    ASSERT_TRUE(WriteFileText(file, "0123456789"));
    DWORD code = 99;
    EXPECT_EQ(S_OK, files->ReCreateFileLI(id.Get(), Bstr(file).Get(), &code));
    EXPECT_EQ(0u, code) << Describe(code);
    EXPECT_TRUE(Exists(file));
    EXPECT_EQ("", ReadFileText(file));
    // In a folder that does not exist: the error of CreateFile.
    code = 0;
    const std::string missing = Shared().WellKnown() + "\\no-such-folder\\f.dat";
    EXPECT_EQ(S_OK, files->ReCreateFileLI(id.Get(), Bstr(missing).Get(), &code));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), code) << Describe(code);
}

TEST_F(BrokerFileIO, DeleteDirRecursivelyRemovesTheTreeAndReportsWorkerResults) {
    const std::string tree = Shared().PolicyRoot() + "\\tree";
    ASSERT_TRUE(CreateDirectoryA(tree.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((tree + "\\sub").c_str(), nullptr));
    ASSERT_TRUE(WriteFileText(tree + "\\sub\\f.txt", "x"));
    DWORD code = 99;
    EXPECT_EQ(S_OK, files->DeleteDirRecursively(id.Get(), Bstr(tree).Get(), &code));
    EXPECT_EQ(0u, code) << Describe(code);
    EXPECT_FALSE(Exists(tree));
    // Missing: the error of GetFileAttributes; a file: the worker's refusal.
    EXPECT_EQ(S_OK, files->DeleteDirRecursively(id.Get(), Bstr(tree).Get(), &code));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), code) << Describe(code);
    const std::string file = Shared().PolicyRoot() + "\\not-a-folder.txt";
    ASSERT_TRUE(WriteFileText(file, "x"));
    EXPECT_EQ(S_OK, files->DeleteDirRecursively(id.Get(), Bstr(file).Get(), &code));
    EXPECT_EQ(0xFFFFFFFFu, code) << Describe(code);
    EXPECT_TRUE(Exists(file));
}

TEST_F(BrokerFileIO, IsDestinationWritableFollowsThePolicy) {
    DWORD code = 99;
    EXPECT_EQ(S_OK, files->IsDestinationWritable(
                        id.Get(), Bstr(Shared().WellKnown() + "\\out.dcm").Get(), &code));
    EXPECT_EQ(0u, code) << Describe(code);
    EXPECT_EQ(S_OK,
              files->IsDestinationWritable(id.Get(), Bstr(Shared().PolicyRoot()).Get(), &code));
    EXPECT_EQ(0u, code) << "a root itself is a writable destination: " << Describe(code);
    EXPECT_EQ(S_OK, files->IsDestinationWritable(
                        id.Get(), Bstr(Shared().Outside() + "\\out.dcm").Get(), &code));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), code) << Describe(code);
    EXPECT_FALSE(Exists(Shared().WellKnown() + "\\out.dcm"));
}

// Reads a value's raw bytes from the registry; false when it is missing.
bool ReadValue(const std::string& key, const std::string& name, DWORD& type,
               std::vector<BYTE>& bytes) {
    UniqueHKey hkey;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, hkey.Receive()) != ERROR_SUCCESS)
        return false;
    BYTE buffer[64] = {};
    DWORD size = sizeof buffer;
    if (RegQueryValueExA(hkey.Get(), name.c_str(), nullptr, &type, buffer, &size) != ERROR_SUCCESS)
        return false;
    bytes.assign(buffer, buffer + size);
    return true;
}

UniqueSafeArray ByteArray(std::vector<BYTE> bytes) {
    UniqueSafeArray array(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size())));
    SafeArrayAccess access(array.Get());
    std::copy(bytes.begin(), bytes.end(), static_cast<BYTE*>(access.Data()));
    return array;
}

TEST_F(BrokerFileIO, RegistryValueArrivesAsTheFourBytesSent) {
    const std::string key = "Software\\Norvane\\BrokerTest" + std::to_string(GetCurrentProcessId());
    RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str());
    UniqueSafeArray data = ByteArray({0x78, 0x56, 0x34, 0x12});
    DWORD code = 99;
    const HRESULT hr =
        files->RegistrySetValue(id.Get(), 0x80000001, Bstr(key + "\\Deep").Get(),
                                Bstr(std::string("Answer")).Get(), REG_DWORD, 4, data.Get(), &code);
    EXPECT_EQ(S_OK, hr) << Describe(hr);
    EXPECT_EQ(0u, code) << Describe(code);
    DWORD type = 0;
    std::vector<BYTE> bytes;
    ASSERT_TRUE(ReadValue(key + "\\Deep", "Answer", type, bytes)) << "value missing under " << key;
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ((std::vector<BYTE>{0x78, 0x56, 0x34, 0x12}), bytes)
        << "bytes "
        << (bytes.size() == 4 ? std::to_string(bytes[0]) + " " + std::to_string(bytes[1]) + " " +
                                    std::to_string(bytes[2]) + " " + std::to_string(bytes[3])
                              : std::to_string(bytes.size()) + " bytes");
    // The key the policy file adds is served too.
    const std::string extra = std::string(SharedBroker::PolicyKey()) + "\\Sub";
    EXPECT_EQ(S_OK, files->RegistrySetValue(id.Get(), 0x80000001, Bstr(extra).Get(),
                                            Bstr(std::string("V")).Get(), REG_DWORD, 4, data.Get(),
                                            &code));
    EXPECT_EQ(0u, code) << Describe(code);
    EXPECT_TRUE(ReadValue(extra, "V", type, bytes)) << extra;
    RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str());
    RegDeleteTreeA(HKEY_CURRENT_USER, SharedBroker::PolicyKey());
}

TEST_F(BrokerFileIO, GetIEVersionReportsTheInstalledVersion) {
    UINT major = 77, minor = 77, build = 77;
    VARIANT_BOOL ok = VARIANT_FALSE;
    const HRESULT hr = files->GetIEVersion(id.Get(), &major, &minor, &build, &ok);
    EXPECT_EQ(S_OK, hr) << Describe(hr);
    // Read the same registry values the broker's SystemInfo reads.
    char text[64] = {};
    DWORD size = sizeof text;
    const bool installed =
        RegGetValueA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Internet Explorer", "svcVersion",
                     RRF_RT_REG_SZ, nullptr, text, &size) == ERROR_SUCCESS ||
        (size = sizeof text,
         RegGetValueA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Internet Explorer", "Version",
                      RRF_RT_REG_SZ, nullptr, text, &size) == ERROR_SUCCESS);
    EXPECT_EQ(installed ? VARIANT_TRUE : VARIANT_FALSE, ok) << "registry says " << text;
    if (installed) {
        unsigned a = 0, b = 0, c = 0;
        ASSERT_EQ(3, std::sscanf(text, "%u.%u.%u", &a, &b, &c)) << text;
        EXPECT_EQ(a, major);
        EXPECT_EQ(b, minor);
        EXPECT_EQ(c, build);
    }
}

TEST_F(BrokerFileIO, DisplayHelpFileStartsOnlyTheViewerWithOneQuotedArgument) {
    // A help file outside every folder the host may write to.
    ScratchDir helpDir("broker-help");
    const std::string help = helpDir.Path() + "\\Guide Book.chm";
    ASSERT_TRUE(WriteFileText(help, "not really a help file"));
    AuditCursor audit(AuditLogPath());
    DWORD code = 99;
    EXPECT_EQ(S_OK, files->DisplayHelpFile(id.Get(), Bstr(help).Get(), 0, &code));
    EXPECT_EQ(0u, code) << Describe(code);
    const auto lines = audit.NewLines();
    ASSERT_EQ(1u, lines.size()) << Joined(lines);
    EXPECT_NE(std::string::npos, lines[0].find("hh.exe\\x22 \\x22" + help + "\\x22"))
        << "the viewer's command line, quoted: " << lines[0];
    // An empty name shows nothing and succeeds, as in direct mode.
    code = 99;
    EXPECT_EQ(S_OK, files->DisplayHelpFile(id.Get(), Bstr(std::string()).Get(), 0, &code));
    EXPECT_EQ(0u, code) << Describe(code);
    // A missing help file: the Win32 error, nothing started.
    EXPECT_EQ(S_OK, files->DisplayHelpFile(id.Get(), Bstr(helpDir.Path() + "\\none.chm").Get(), 0,
                                           &code));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), code) << Describe(code);
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
