// SFileIO's file-system operations on real files in scratch folders, the real
// HKCU of the Wine prefix, real child processes for the help viewer, and its
// folder table against the real known folders.
#include <windows.h>
#include <shlobj.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <sfileio.h>
#include <veskosecurityattributes.h>

#include "testsupport.h"

using vesko::test::Describe;
using vesko::test::Exists;
using vesko::test::IsDir;
using vesko::test::ReadFileText;
using vesko::test::ScratchDir;
using vesko::test::WriteFileText;

namespace {

constexpr DWORD kRefused = 0xFFFFFFFF;

CString C(const std::string& s) {
    return CString(s.c_str());
}

std::string Hex(DWORD value) {
    return Describe(value);
}

// The shared attributes as the manager builds them (real descriptors).
class Attributes {
  public:
    Attributes() { m_attr.Init(); }
    ~Attributes() { m_attr.Release(); }
    VeskoSecurityAttributes* Get() { return &m_attr; }
    PSECURITY_DESCRIPTOR LowSD() const { return m_attr.m_pLowSD; }

  private:
    VeskoSecurityAttributes m_attr;
};

// ---------------------------------------------------------------------------
// Folder creation

TEST(CreateDir, CreatesMissingParentsAndIgnoresTrailingSeparator) {
    ScratchDir dir("mk");
    Attributes attr;
    const DWORD result = SFileIO::CreateDir(C(dir / "x\\y\\"), attr.LowSD());
    EXPECT_EQ(result, 0u) << Hex(result);
    EXPECT_TRUE(IsDir(dir / "x"));
    EXPECT_TRUE(IsDir(dir / "x\\y"));
}

TEST(CreateDir, CreatesDeepPathsWithForwardSlashes) {
    ScratchDir dir("mk");
    const DWORD result = SFileIO::CreateDir(C(dir.Path() + "/a/b/c/d"), nullptr);
    EXPECT_EQ(result, 0u) << Hex(result);
    EXPECT_TRUE(IsDir(dir / "a\\b\\c\\d"));
}

TEST(CreateDir, ExistingFolderGivesZeroWhereTheSystemSays183) {
    ScratchDir dir("mk");
    Attributes attr;
    ASSERT_TRUE(CreateDirectoryA((dir / "here").c_str(), nullptr));
    EXPECT_EQ(SFileIO::CreateDirWithLabel(C(dir / "here"), attr.LowSD()),
              static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    const DWORD result = SFileIO::CreateDir(C(dir / "here"), attr.LowSD());
    EXPECT_EQ(result, 0u) << Hex(result);
    const DWORD trailing = SFileIO::CreateDir(C(dir / "here\\"), nullptr);
    EXPECT_EQ(trailing, 0u) << Hex(trailing);
}

TEST(CreateDir, EmptyPathIsPathNotFoundAndCreatesNothing) {
    EXPECT_EQ(SFileIO::CreateDir(CString(), nullptr), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(SFileIO::CreateDir(CString("\\"), nullptr), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(CreateDirWithLabel, ReportsTheSystemsErrorUnchanged) {
    ScratchDir dir("mk");
    Attributes attr;
    EXPECT_EQ(SFileIO::CreateDirWithLabel(C(dir / "new"), attr.LowSD()), 0u);
    EXPECT_TRUE(IsDir(dir / "new"));
    EXPECT_EQ(SFileIO::CreateDirWithLabel(C(dir / "missing\\new"), attr.LowSD()),
              static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(Exists(dir / "missing"));
}

TEST(CreateParentDirs, CreatesOnlyWhatLiesBeforeTheLastSeparator) {
    ScratchDir dir("mk");
    Attributes attr;
    DWORD result = SFileIO::CreateParentDirs(C(dir / "x\\y"), attr.LowSD());
    EXPECT_EQ(result, 0u) << Hex(result);
    EXPECT_TRUE(IsDir(dir / "x"));
    EXPECT_FALSE(Exists(dir / "x\\y"));

    // Now the last folder to create exists: 183 comes back as it is.
    result = SFileIO::CreateParentDirs(C(dir / "x\\y"), attr.LowSD());
    EXPECT_EQ(result, static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << Hex(result);

    // A trailing separator makes the whole path the parent.
    result = SFileIO::CreateParentDirs(C(dir / "x\\y\\"), attr.LowSD());
    EXPECT_EQ(result, 0u) << Hex(result);
    EXPECT_TRUE(IsDir(dir / "x\\y"));

    result = SFileIO::CreateParentDirs(C(dir / "p\\q\\r\\leaf.txt"), nullptr);
    EXPECT_EQ(result, 0u) << Hex(result);
    EXPECT_TRUE(IsDir(dir / "p\\q\\r"));
    EXPECT_FALSE(Exists(dir / "p\\q\\r\\leaf.txt"));
}

TEST(CreateParentDirs, EmptyPathAndPathsWithoutAParent) {
    EXPECT_EQ(SFileIO::CreateParentDirs(CString(), nullptr),
              static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    // No separator after the first character: nothing to create, nothing done.
    ASSERT_FALSE(Exists("\\vesko-parentless"));
    EXPECT_EQ(SFileIO::CreateParentDirs(CString("\\vesko-parentless"), nullptr), 0u);
    EXPECT_FALSE(Exists("\\vesko-parentless"));
    EXPECT_EQ(SFileIO::CreateParentDirs(CString("plainname"), nullptr), 0u);
    EXPECT_FALSE(Exists("plainname"));
}

// ---------------------------------------------------------------------------
// Recursive deletes

// A tree with files, nested folders, a dot-folder at two levels.
void MakeTree(const std::string& root) {
    CreateDirectoryA((root + "\\sub").c_str(), nullptr);
    CreateDirectoryA((root + "\\sub\\deeper").c_str(), nullptr);
    CreateDirectoryA((root + "\\.hidden").c_str(), nullptr);
    CreateDirectoryA((root + "\\sub\\.git").c_str(), nullptr);
    WriteFileText(root + "\\a.txt", "a");
    WriteFileText(root + "\\.dotfile", "d");
    WriteFileText(root + "\\sub\\b.txt", "b");
    WriteFileText(root + "\\sub\\deeper\\c.txt", "c");
    WriteFileText(root + "\\.hidden\\keep.txt", "k");
    WriteFileText(root + "\\sub\\.git\\config", "g");
}

TEST(DeleteDirRecursively, RefusalsAndMissingPaths) {
    ScratchDir dir("del");
    EXPECT_EQ(SFileIO::DeleteDirRecursively(CString()), kRefused);

    ASSERT_TRUE(WriteFileText(dir / "file.txt", "x"));
    EXPECT_EQ(SFileIO::DeleteDirRecursively(C(dir / "file.txt")), kRefused);
    EXPECT_TRUE(Exists(dir / "file.txt"));

    // A missing path reports what GetFileAttributesA said about it.
    const std::string missing = dir / "nope";
    GetFileAttributesA(missing.c_str());
    const DWORD expected = GetLastError();
    const DWORD result = SFileIO::DeleteDirRecursively(C(missing));
    EXPECT_EQ(result, expected) << Hex(result);
    EXPECT_EQ(result, static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << Hex(result);
    const DWORD deeper = SFileIO::DeleteDirRecursively(C(dir / "nope\\deeper"));
    EXPECT_EQ(deeper, static_cast<DWORD>(ERROR_PATH_NOT_FOUND)) << Hex(deeper);
}

TEST(DeleteDirRecursively, RemovesAPlainTreeGivenWithForwardSlashes) {
    ScratchDir dir("del");
    const std::string root = dir / "tree";
    CreateDirectoryA(root.c_str(), nullptr);
    CreateDirectoryA((root + "\\sub").c_str(), nullptr);
    CreateDirectoryA((root + "\\sub\\deeper").c_str(), nullptr);
    WriteFileText(root + "\\a.txt", "a");
    WriteFileText(root + "\\sub\\deeper\\c.txt", "c");
    std::string forward = root + "/";
    for (char& ch : forward) {
        if (ch == '\\')
            ch = '/';
    }
    const DWORD result = SFileIO::DeleteDirRecursively(C(forward));
    EXPECT_EQ(result, 0u) << Hex(result);
    EXPECT_FALSE(Exists(root));
}

TEST(DeleteDirRecursively, DotFoldersSurviveWithTheirContentAndKeepTheirParents) {
    ScratchDir dir("del");
    const std::string root = dir / "tree";
    CreateDirectoryA(root.c_str(), nullptr);
    MakeTree(root);
    const DWORD result = SFileIO::DeleteDirRecursively(C(root));
    // The top folder still holds .hidden, so it cannot be removed.
    EXPECT_EQ(result, kRefused) << Hex(result);
    EXPECT_TRUE(Exists(root + "\\.hidden\\keep.txt"));
    EXPECT_TRUE(Exists(root + "\\sub\\.git\\config"));
    EXPECT_FALSE(Exists(root + "\\a.txt"));
    EXPECT_FALSE(Exists(root + "\\.dotfile")) << "files whose name starts with a dot are files";
    EXPECT_FALSE(Exists(root + "\\sub\\b.txt"));
    EXPECT_FALSE(Exists(root + "\\sub\\deeper"));
}

TEST(DeleteDirRecursively, ReadOnlyFileStaysWithItsParents) {
    ScratchDir dir("del");
    const std::string root = dir / "tree";
    CreateDirectoryA(root.c_str(), nullptr);
    CreateDirectoryA((root + "\\ro").c_str(), nullptr);
    CreateDirectoryA((root + "\\other").c_str(), nullptr);
    WriteFileText(root + "\\ro\\locked.txt", "l");
    WriteFileText(root + "\\other\\free.txt", "f");
    ASSERT_TRUE(SetFileAttributesA((root + "\\ro\\locked.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    const DWORD result = SFileIO::DeleteDirRecursively(C(root));
    EXPECT_EQ(result, kRefused) << Hex(result);
    EXPECT_TRUE(Exists(root + "\\ro\\locked.txt"));
    EXPECT_FALSE(Exists(root + "\\other"));
}

TEST(DeleteDirRecursively, SystemFolderIsRefused) {
    ScratchDir dir("del");
    const std::string root = dir / "sys";
    CreateDirectoryA(root.c_str(), nullptr);
    WriteFileText(root + "\\x.txt", "x");
    SetFileAttributesA(root.c_str(), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_SYSTEM);
    const DWORD attributes = GetFileAttributesA(root.c_str());
    if (!(attributes & FILE_ATTRIBUTE_SYSTEM))
        GTEST_SKIP() << "this file system keeps no system attribute (attributes " << Hex(attributes)
                     << ")";
    EXPECT_EQ(SFileIO::DeleteDirRecursively(C(root)), kRefused);
    EXPECT_EQ(SFileIO::DeleteDirContentRecursively(C(root)), kRefused);
    EXPECT_EQ(SFileIO::DeleteFilesByPrefix(C(root), CString("x")), kRefused);
    EXPECT_TRUE(Exists(root + "\\x.txt"));
    SetFileAttributesA(root.c_str(), FILE_ATTRIBUTE_DIRECTORY);
}

// Makes link a junction to target; false with the error when the system
// cannot (Wine 8 answers ERROR_NOT_SUPPORTED).
bool MakeJunction(const std::string& link, const std::string& target, DWORD& error) {
    if (!CreateDirectoryA(link.c_str(), nullptr)) {
        error = GetLastError();
        return false;
    }
    HANDLE h = CreateFileA(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    wchar_t wide[MAX_PATH] = {};
    MultiByteToWideChar(CP_ACP, 0, target.c_str(), -1, wide, MAX_PATH);
    const std::wstring substitute = std::wstring(L"\\??\\") + wide;
    struct MountPoint {
        DWORD tag;
        WORD dataLength, reserved, substituteOffset, substituteLength, printOffset, printLength;
        WCHAR path[2 * MAX_PATH];
    } data = {};
    const WORD bytes = static_cast<WORD>(substitute.size() * sizeof(WCHAR));
    data.tag = IO_REPARSE_TAG_MOUNT_POINT;
    data.substituteLength = bytes;
    data.printOffset = static_cast<WORD>(bytes + sizeof(WCHAR));
    std::memcpy(data.path, substitute.c_str(), bytes + sizeof(WCHAR));
    data.dataLength = static_cast<WORD>(8 + bytes + 2 * sizeof(WCHAR));
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, &data, 8 + data.dataLength, nullptr,
                                    0, &returned, nullptr);
    error = ok ? 0 : GetLastError();
    CloseHandle(h);
    return ok && (GetFileAttributesA(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
}

TEST(DeleteOperations, ReparsePointsAreNeverFollowed) {
    ScratchDir dir("reparse");
    const std::string target = dir / "target";
    CreateDirectoryA(target.c_str(), nullptr);
    WriteFileText(target + "\\precious.txt", "p");
    WriteFileText(target + "\\img1.dcm", "i");
    DWORD error = 0;
    if (!MakeJunction(dir / "link", target, error)) {
        // Symbolic links are the other kind; Wine 8 reports success but makes none.
        RemoveDirectoryA((dir / "link").c_str());
        CreateSymbolicLinkA((dir / "link").c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);
        const DWORD attributes = GetFileAttributesA((dir / "link").c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            GTEST_SKIP() << "no reparse point can be made here: junction error " << Hex(error)
                         << ", symbolic link attributes " << Hex(attributes);
    }
    EXPECT_EQ(SFileIO::DeleteDirRecursively(C(dir / "link")), 0u);
    EXPECT_EQ(SFileIO::DeleteDirContentRecursively(C(dir / "link")), 0u);
    EXPECT_NE(SFileIO::DeleteFilesByPrefix(C(dir / "link"), CString("img")), 0u);
    EXPECT_TRUE(Exists(target + "\\precious.txt"));
    EXPECT_TRUE(Exists(target + "\\img1.dcm"));
    EXPECT_TRUE(Exists(dir / "link"));
    // Inside a tree the link is left and the tree's own files go.
    const DWORD result = SFileIO::DeleteDirContentRecursively(C(dir.Path()));
    EXPECT_EQ(result, 0u) << Hex(result);
    EXPECT_TRUE(Exists(target + "\\precious.txt") || Exists(dir / "link\\precious.txt"));
    RemoveDirectoryA((dir / "link").c_str());
}

TEST(DeleteDirContentRecursively, EmptiesTheFolderAndKeepsIt) {
    ScratchDir dir("content");
    const std::string root = dir / "tree";
    CreateDirectoryA(root.c_str(), nullptr);
    CreateDirectoryA((root + "\\sub").c_str(), nullptr);
    CreateDirectoryA((root + "\\sub\\deeper").c_str(), nullptr);
    WriteFileText(root + "\\a.txt", "a");
    WriteFileText(root + "\\sub\\deeper\\c.txt", "c");
    const DWORD result = SFileIO::DeleteDirContentRecursively(C(root + "\\"));
    EXPECT_EQ(result, 0u) << Hex(result);
    EXPECT_TRUE(IsDir(root));
    EXPECT_FALSE(Exists(root + "\\a.txt"));
    EXPECT_FALSE(Exists(root + "\\sub"));
}

TEST(DeleteDirContentRecursively, GivesZeroWhateverSingleEntriesCouldNotBeDeleted) {
    ScratchDir dir("content");
    const std::string root = dir / "tree";
    CreateDirectoryA(root.c_str(), nullptr);
    MakeTree(root);
    CreateDirectoryA((root + "\\ro").c_str(), nullptr);
    WriteFileText(root + "\\ro\\locked.txt", "l");
    ASSERT_TRUE(SetFileAttributesA((root + "\\ro\\locked.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    const DWORD result = SFileIO::DeleteDirContentRecursively(C(root));
    EXPECT_EQ(result, 0u) << Hex(result);
    EXPECT_TRUE(Exists(root + "\\ro\\locked.txt"));
    EXPECT_TRUE(Exists(root + "\\.hidden\\keep.txt"));
    EXPECT_TRUE(Exists(root + "\\sub\\.git\\config"));
    EXPECT_FALSE(Exists(root + "\\sub\\deeper"));
    EXPECT_FALSE(Exists(root + "\\a.txt"));
}

TEST(DeleteDirContentRecursively, RefusalsAreThoseOfTheRecursiveDelete) {
    ScratchDir dir("content");
    EXPECT_EQ(SFileIO::DeleteDirContentRecursively(CString()), kRefused);
    ASSERT_TRUE(WriteFileText(dir / "file.txt", "x"));
    EXPECT_EQ(SFileIO::DeleteDirContentRecursively(C(dir / "file.txt")), kRefused);
    EXPECT_TRUE(Exists(dir / "file.txt"));
    const DWORD missing = SFileIO::DeleteDirContentRecursively(C(dir / "nope"));
    EXPECT_EQ(missing, static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << Hex(missing);
}

TEST(DeleteFilesByPrefix, DeletesMatchingFilesOnlyAtTheTopLevel) {
    ScratchDir dir("prefix");
    WriteFileText(dir / "img1.dcm", "1");
    WriteFileText(dir / "imgX", "x");
    WriteFileText(dir / "a.dcm", "a");
    WriteFileText(dir / "IMGcase", "c");
    CreateDirectoryA((dir / "img_sub").c_str(), nullptr);
    WriteFileText(dir / "img_sub\\img2.dcm", "2");
    const DWORD result = SFileIO::DeleteFilesByPrefix(C(dir.Path()), CString("img"));
    EXPECT_EQ(result, 0u) << Hex(result);
    EXPECT_FALSE(Exists(dir / "img1.dcm"));
    EXPECT_FALSE(Exists(dir / "imgX"));
    EXPECT_TRUE(Exists(dir / "a.dcm"));
    EXPECT_TRUE(Exists(dir / "img_sub\\img2.dcm"));
    // Windows names match without regard to case.
    EXPECT_FALSE(Exists(dir / "IMGcase"));

    // Nothing left that matches: the listing cannot start.
    EXPECT_EQ(SFileIO::DeleteFilesByPrefix(C(dir.Path() + "/"), CString("img1")), kRefused);
}

TEST(DeleteFilesByPrefix, ReadOnlyMatchStaysAndTheResultIsStillZero) {
    ScratchDir dir("prefix");
    WriteFileText(dir / "log1.txt", "1");
    WriteFileText(dir / "log2.txt", "2");
    ASSERT_TRUE(SetFileAttributesA((dir / "log1.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(SFileIO::DeleteFilesByPrefix(C(dir.Path()), CString("log")), 0u);
    EXPECT_TRUE(Exists(dir / "log1.txt"));
    EXPECT_FALSE(Exists(dir / "log2.txt"));
}

TEST(DeleteFilesByPrefix, Refusals) {
    ScratchDir dir("prefix");
    WriteFileText(dir / "img1", "1");
    EXPECT_EQ(SFileIO::DeleteFilesByPrefix(CString(), CString("img")), kRefused);
    EXPECT_EQ(SFileIO::DeleteFilesByPrefix(C(dir.Path()), CString()), kRefused);
    EXPECT_EQ(SFileIO::DeleteFilesByPrefix(C(dir / "nope"), CString("img")), kRefused);
    EXPECT_EQ(SFileIO::DeleteFilesByPrefix(C(dir / "img1"), CString("img")), kRefused);
    EXPECT_TRUE(Exists(dir / "img1"));
}

// ---------------------------------------------------------------------------
// Files, labels, registry

TEST(MoveFileLI, ReplacesAnExistingDestination) {
    ScratchDir dir("move");
    WriteFileText(dir / "src.txt", "new content");
    WriteFileText(dir / "dst.txt", "old");
    const DWORD result = SFileIO::MoveFileLI(C(dir / "src.txt"), C(dir / "dst.txt"));
    EXPECT_EQ(result, 0u) << Hex(result);
    EXPECT_FALSE(Exists(dir / "src.txt"));
    EXPECT_EQ(ReadFileText(dir / "dst.txt"), "new content");

    const DWORD missing = SFileIO::MoveFileLI(C(dir / "gone.txt"), C(dir / "x.txt"));
    EXPECT_EQ(missing, static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << Hex(missing);
}

TEST(ReCreateFileLI, TruncatesOrCreatesWithTheDescriptor) {
    ScratchDir dir("recreate");
    Attributes attr;
    WriteFileText(dir / "full.txt", "some bytes");
    DWORD result = SFileIO::ReCreateFileLI(C(dir / "full.txt"), attr.LowSD());
    EXPECT_EQ(result, 0u) << Hex(result);
    EXPECT_TRUE(Exists(dir / "full.txt"));
    EXPECT_EQ(ReadFileText(dir / "full.txt"), "");

    result = SFileIO::ReCreateFileLI(C(dir / "fresh.txt"), nullptr);
    EXPECT_EQ(result, 0u) << Hex(result);
    EXPECT_TRUE(Exists(dir / "fresh.txt"));

    result = SFileIO::ReCreateFileLI(C(dir / "missing\\f.txt"), attr.LowSD());
    EXPECT_EQ(result, static_cast<DWORD>(ERROR_PATH_NOT_FOUND)) << Hex(result);
}

TEST(SetFileSecurityLI, NullDescriptorDoesNothingElseTheSystemAnswers) {
    ScratchDir dir("label");
    Attributes attr;
    EXPECT_EQ(SFileIO::SetFileSecurityLI(C(dir / "does-not-exist"), nullptr), 0u);
    ASSERT_NE(attr.LowSD(), nullptr);
    WriteFileText(dir / "f.txt", "f");
    // Whatever the system says to the label (Wine refuses it with 5) is the result.
    const BOOL raw =
        SetFileSecurityA((dir / "f.txt").c_str(), LABEL_SECURITY_INFORMATION, attr.LowSD());
    const DWORD expected = raw ? 0 : GetLastError();
    const DWORD result = SFileIO::SetFileSecurityLI(C(dir / "f.txt"), attr.LowSD());
    EXPECT_EQ(result, expected) << Hex(result);
    const DWORD missing = SFileIO::SetFileSecurityLI(C(dir / "does-not-exist"), attr.LowSD());
    EXPECT_NE(missing, 0u);
}

TEST(RegistryHKCUSetValueDWord, CreatesTheWholeKeyPathAndOverwrites) {
    char keyPath[128];
    std::snprintf(keyPath, sizeof keyPath, "Software\\VeskoLibTests\\%lu-%lu\\a\\b",
                  GetCurrentProcessId(), GetTickCount());
    DWORD result = SFileIO::RegistryHKCUSetValueDWord(CString(keyPath), CString("Answer"), 42);
    EXPECT_EQ(result, 0u) << Hex(result);
    DWORD type = 0, value = 0, size = sizeof value;
    LONG read =
        RegGetValueA(HKEY_CURRENT_USER, keyPath, "Answer", RRF_RT_ANY, &type, &value, &size);
    EXPECT_EQ(read, ERROR_SUCCESS) << Hex(read);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value, 42u);

    result = SFileIO::RegistryHKCUSetValueDWord(CString(keyPath), CString("Answer"), 0xDEADBEEF);
    EXPECT_EQ(result, 0u) << Hex(result);
    size = sizeof value;
    read = RegGetValueA(HKEY_CURRENT_USER, keyPath, "Answer", RRF_RT_REG_DWORD, nullptr, &value,
                        &size);
    EXPECT_EQ(value, 0xDEADBEEFu);

    const std::string top = std::string(keyPath).substr(0, std::string(keyPath).find("\\a\\b"));
    EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, top.c_str()), ERROR_SUCCESS);
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\VeskoLibTests");
}

TEST(GetIEVersion, AgreesWithTheBrowserVersionInTheRegistry) {
    unsigned int major = 1111, minor = 2222, build = 3333;
    const bool ok = SFileIO::GetIEVersion(major, minor, build);
    char text[64] = {};
    DWORD size = sizeof text;
    const char* key = "Software\\Microsoft\\Internet Explorer";
    const bool has =
        RegGetValueA(HKEY_LOCAL_MACHINE, key, "svcVersion", RRF_RT_REG_SZ, nullptr, text, &size) ==
            ERROR_SUCCESS ||
        (size = sizeof text, RegGetValueA(HKEY_LOCAL_MACHINE, key, "Version", RRF_RT_REG_SZ,
                                          nullptr, text, &size) == ERROR_SUCCESS);
    EXPECT_EQ(ok, has) << "registry version \"" << text << "\"";
    if (ok) {
        EXPECT_EQ(major, std::strtoul(text, nullptr, 10)) << "registry version \"" << text << "\"";
    } else {
        EXPECT_EQ(major, 1111u);
    }
}

TEST(GetWritableFile, GivesAFreshEmptyFileOfTheSameNameInTheWritableFolder) {
    ScratchDir dir("writable");
    CString out;
    DWORD result = SFileIO::GetWritableFile(CString("D:\\in\\report.pdf"), C(dir.Path()), out);
    EXPECT_EQ(result, 0u) << Hex(result);
    EXPECT_STREQ(out.GetString(), (dir / "report.pdf").c_str());
    EXPECT_TRUE(Exists(dir / "report.pdf"));

    WriteFileText(dir / "report.pdf", "old data");
    result = SFileIO::GetWritableFile(CString("relative/report.pdf"), C(dir.Path()), out);
    EXPECT_EQ(result, 0u) << Hex(result);
    EXPECT_EQ(ReadFileText(dir / "report.pdf"), "");

    result = SFileIO::GetWritableFile(CString("x.bin"), C(dir / "missing"), out);
    EXPECT_EQ(result, static_cast<DWORD>(ERROR_PATH_NOT_FOUND)) << Hex(result);
    EXPECT_STREQ(out.GetString(), (dir / "missing\\x.bin").c_str());
}

TEST(IsDestinationWritable, EveryPathIsWritableHere) {
    EXPECT_TRUE(SFileIO::IsDestinationWritable(CString()));
    EXPECT_TRUE(SFileIO::IsDestinationWritable(CString("Q:\\no\\such\\place")));
}

// ---------------------------------------------------------------------------
// Help viewer

// A child process of this program that sleeps (or ends at once with a code).
HANDLE StartChild(const char* args) {
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string command = std::string("\"") + exe + "\" " + args;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

DWORD ExitCodeAfterEnd(HANDLE process) {
    WaitForSingleObject(process, 10000);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return code;
}

HANDLE Duplicate(HANDLE h) {
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    return copy;
}

// Gives a test the worker's viewer slot.
class HelpSFileIO : public SFileIO {
  public:
    void AdoptViewer(HANDLE h) { m_hHelpProcess = h; }
};

TEST(EndHelpProcess, EndsARunningProcessWithExitCode259AndLeavesAnEndedOne) {
    HANDLE running = StartChild("--sleep 30000");
    ASSERT_NE(running, nullptr);
    EXPECT_EQ(SFileIO::EndHelpProcess(running), 0u);
    EXPECT_EQ(ExitCodeAfterEnd(running), static_cast<DWORD>(STILL_ACTIVE));
    CloseHandle(running);

    HANDLE ended = StartChild("--exit 7");
    ASSERT_NE(ended, nullptr);
    EXPECT_EQ(ExitCodeAfterEnd(ended), 7u);
    EXPECT_EQ(SFileIO::EndHelpProcess(ended), 0u);
    EXPECT_EQ(ExitCodeAfterEnd(ended), 7u);
    CloseHandle(ended);

    HANDLE notAProcess = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const DWORD result = SFileIO::EndHelpProcess(notAProcess);
    EXPECT_NE(result, 0u);
    CloseHandle(notAProcess);
}

TEST(DisplayHelpFile, EmptyArgumentsShowNothing) {
    SFileIO worker;
    EXPECT_EQ(worker.DisplayHelpFile(CString(), nullptr), 0u);
    EXPECT_EQ(worker.GetHelpProcess(), nullptr);
}

TEST(DisplayHelpFile, StartsTheViewerAndReplacesAnEndedOne) {
    SFileIO worker;
    DWORD result = worker.DisplayHelpFile(CString("vesko-missing.chm"), nullptr);
    ASSERT_EQ(result, 0u) << Hex(result);
    ASSERT_NE(worker.GetHelpProcess(), nullptr);
    const DWORD firstId = GetProcessId(worker.GetHelpProcess());
    // Wine's viewer has no display to show on and ends by itself.
    HANDLE first = Duplicate(worker.GetHelpProcess());
    WaitForSingleObject(first, 10000);

    result = worker.DisplayHelpFile(CString("vesko-missing.chm"), nullptr);
    EXPECT_EQ(result, 0u) << Hex(result);
    ASSERT_NE(worker.GetHelpProcess(), nullptr);
    EXPECT_NE(GetProcessId(worker.GetHelpProcess()), firstId);
    DWORD code = 0;
    GetExitCodeProcess(first, &code);
    EXPECT_NE(code, static_cast<DWORD>(STILL_ACTIVE));
    CloseHandle(first);
}

TEST(DisplayHelpFile, AViewerStillRunningIsEndedBeforeTheNextStarts) {
    HelpSFileIO worker;
    HANDLE running = StartChild("--sleep 30000");
    ASSERT_NE(running, nullptr);
    HANDLE watch = Duplicate(running);
    worker.AdoptViewer(running);
    const DWORD result = worker.DisplayHelpFile(CString("vesko-missing.chm"), nullptr);
    EXPECT_EQ(result, 0u) << Hex(result);
    EXPECT_EQ(ExitCodeAfterEnd(watch), static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_NE(worker.GetHelpProcess(), nullptr);
    EXPECT_NE(GetProcessId(worker.GetHelpProcess()), GetProcessId(watch));
    CloseHandle(watch);
}

TEST(DisplayHelpFile, AViewerThatCannotBeQueriedStopsTheCallAndIsKept) {
    HelpSFileIO worker;
    HANDLE notAProcess = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    worker.AdoptViewer(notAProcess);
    const DWORD result = worker.DisplayHelpFile(CString("vesko-missing.chm"), nullptr);
    EXPECT_NE(result, 0u);
    EXPECT_EQ(worker.GetHelpProcess(), notAProcess);
    worker.AdoptViewer(nullptr);
    CloseHandle(notAProcess);
}

TEST(DisplayHelpFile, DestroyingTheWorkerEndsItsViewer) {
    HANDLE running = StartChild("--sleep 30000");
    ASSERT_NE(running, nullptr);
    HANDLE watch = Duplicate(running);
    {
        HelpSFileIO worker;
        worker.AdoptViewer(running);
    }
    EXPECT_EQ(ExitCodeAfterEnd(watch), static_cast<DWORD>(STILL_ACTIVE));
    CloseHandle(watch);
}

// ---------------------------------------------------------------------------
// Folder table

std::string KnownFolder(const KNOWNFOLDERID& id) {
    PWSTR wide = nullptr;
    if (FAILED(SHGetKnownFolderPath(id, 0, nullptr, &wide)))
        return {};
    char narrow[MAX_PATH * 2] = {};
    WideCharToMultiByte(CP_THREAD_ACP, 0, wide, -1, narrow, sizeof narrow, nullptr, nullptr);
    CoTaskMemFree(wide);
    std::string s = narrow;
    if (!s.empty() && (s.back() == '\\' || s.back() == '/'))
        s.pop_back();
    return s;
}

const KNOWNFOLDERID kLocalLow = {
    0xA520A1A4, 0x1780, 0x4FF6, {0xBD, 0x18, 0x16, 0x73, 0x43, 0xC5, 0xAF, 0x16}};
const KNOWNFOLDERID kPublic = {
    0xDFDF76A2, 0xC82A, 0x4D63, {0x90, 0x6A, 0x56, 0x44, 0xAC, 0x45, 0x73, 0x85}};
const KNOWNFOLDERID kDocuments = {
    0xFDD39AD0, 0x238F, 0x46AF, {0xAD, 0xB4, 0x6C, 0x85, 0x48, 0x03, 0x69, 0xC7}};

void ExpectTable(const SFileIO& worker, const std::string& low, const std::string& company,
                 const std::string& docs) {
    EXPECT_STREQ(worker.GetWritableDir(), (low + "\\Cadra\\4.7\\Temp").c_str());
    EXPECT_STREQ(worker.GetLogDir(), (company + "\\CadraLogs").c_str());
    EXPECT_STREQ(worker.GetMachinePrefDir(), (company + "\\MachinePref").c_str());
    EXPECT_STREQ(worker.GetUserMachinePrefDir(), (low + "\\Cadra\\4.7\\MachinePref").c_str());
    EXPECT_STREQ(worker.GetExportTempDir(), (low + "\\Cadra\\4.7\\My PixmurExport").c_str());
    EXPECT_STREQ(worker.GetUserActivityLogDir(), (company + "\\CadraUserActivityLogs").c_str());
    EXPECT_STREQ(worker.GetDumpDir(), (company + "\\CadraErrors").c_str());
    EXPECT_STREQ(worker.GetZipDir(), (company + "\\CadraErrors\\CrashFiles_Zipped").c_str());
    EXPECT_STREQ(worker.GetDefaultDumpDir(), (company + "\\CadraLogs\\Dumps").c_str());
    EXPECT_STREQ(worker.GetUserDocDir(), docs.c_str());
    EXPECT_STREQ(worker.GetNorvaneDirValue(), company.c_str());
}

TEST(FolderTable, ResolvesAndCreatesEveryFolderFromTheRealKnownFolders) {
    const std::string low = KnownFolder(kLocalLow), pub = KnownFolder(kPublic),
                      docs = KnownFolder(kDocuments);
    ASSERT_FALSE(low.empty());
    ASSERT_FALSE(pub.empty());
    const std::string company = pub + "\\Norvane\\4.7";
    Attributes attr;
    SFileIO worker;
    EXPECT_TRUE(worker.GetWritableDir().IsEmpty());
    ASSERT_TRUE(worker.Init(attr.Get()));
    EXPECT_TRUE(worker.IsInitialized());
    ExpectTable(worker, low, company, docs);
    for (const CString* folder :
         {&worker.GetWritableDir(), &worker.GetLogDir(), &worker.GetMachinePrefDir(),
          &worker.GetUserMachinePrefDir(), &worker.GetExportTempDir(),
          &worker.GetUserActivityLogDir(), &worker.GetDumpDir(), &worker.GetZipDir(),
          &worker.GetDefaultDumpDir(), &worker.GetNorvaneDirValue()}) {
        EXPECT_TRUE(IsDir(folder->GetString())) << folder->GetString() << " was not created";
    }
    EXPECT_TRUE(worker.GetLECacheDir().IsEmpty()) << worker.GetLECacheDir().GetString();
}

TEST(FolderTable, InitTwiceGivesTheSameTableAndForgetsTheCacheFolder) {
    Attributes attr;
    SFileIO once, twice;
    ASSERT_TRUE(once.Init(attr.Get()));
    ASSERT_TRUE(twice.Init(attr.Get()));
    twice.SetLastSavedDir(CString("Z:\\saved here"));
    twice.MakeVersionSpecificBehavior(SFileIO::eOverrideLECacheDir, CString("3.1.4"));
    ASSERT_FALSE(twice.GetLECacheDir().IsEmpty());
    ASSERT_TRUE(twice.Init(attr.Get()));
    ExpectTable(twice, KnownFolder(kLocalLow), KnownFolder(kPublic) + "\\Norvane\\4.7",
                KnownFolder(kDocuments));
    EXPECT_STREQ(twice.GetWritableDir(), once.GetWritableDir());
    EXPECT_TRUE(twice.GetLECacheDir().IsEmpty()) << twice.GetLECacheDir().GetString();
    EXPECT_STREQ(twice.GetLastSavedDir(), "Z:\\saved here");
    EXPECT_STREQ(twice.GetVersionSuffix(), "_3_1");
    RemoveDirectoryA((KnownFolder(kLocalLow) + "\\Cadra\\4.7\\Local Cache_3_1").c_str());
}

TEST(FolderTable, ReleaseEmptiesTheTableAndKeepsWhatTheHostSet) {
    Attributes attr;
    SFileIO worker;
    ASSERT_TRUE(worker.Init(attr.Get()));
    worker.SetLastSavedDir(CString("C:\\last"));
    worker.MakeVersionSpecificBehavior(SFileIO::eOverrideNone, CString("1.2.3"));
    worker.Release();
    for (const CString* folder :
         {&worker.GetWritableDir(), &worker.GetLogDir(), &worker.GetMachinePrefDir(),
          &worker.GetUserMachinePrefDir(), &worker.GetExportTempDir(),
          &worker.GetUserActivityLogDir(), &worker.GetDumpDir(), &worker.GetZipDir(),
          &worker.GetDefaultDumpDir(), &worker.GetNorvaneDirValue(), &worker.GetUserDocDir(),
          &worker.GetLECacheDir()}) {
        EXPECT_TRUE(folder->IsEmpty()) << "still set: " << folder->GetString();
    }
    EXPECT_FALSE(worker.IsInitialized());
    EXPECT_STREQ(worker.GetLastSavedDir(), "C:\\last");
    EXPECT_STREQ(worker.GetVersionSuffix(), "_1_2");
}

TEST(VersionSpecificBehavior, SuffixDropsTheLastComponent) {
    SFileIO worker;
    const std::pair<const char*, const char*> cases[] = {
        {"2.5.17", "_2_5"}, {"2.5.17.1", "_2_5_17"}, {"25", "_"}, {"", "_"}, {"7.", "_7"},
        {".9", "_"}};
    for (const auto& c : cases) {
        worker.MakeVersionSpecificBehavior(SFileIO::eOverrideNone, CString(c.first));
        EXPECT_STREQ(worker.GetVersionSuffix(), c.second) << "version \"" << c.first << "\"";
    }
    // Not initialised: the suffix only, no folder from an unresolved base.
    worker.MakeVersionSpecificBehavior(SFileIO::eOverrideLECacheDir, CString("2.5.17"));
    EXPECT_STREQ(worker.GetVersionSuffix(), "_2_5");
    EXPECT_TRUE(worker.GetLECacheDir().IsEmpty()) << worker.GetLECacheDir().GetString();
}

TEST(VersionSpecificBehavior, LECacheFolderIsMadeForTheOverrideItem) {
    const std::string low = KnownFolder(kLocalLow);
    const std::string expected = low + "\\Cadra\\4.7\\Local Cache_2_5";
    RemoveDirectoryA(expected.c_str());
    Attributes attr;
    SFileIO worker;
    ASSERT_TRUE(worker.Init(attr.Get()));
    worker.MakeVersionSpecificBehavior(SFileIO::eOverrideLECacheDir, CString("2.5.17"));
    EXPECT_STREQ(worker.GetLECacheDir(), expected.c_str());
    EXPECT_TRUE(IsDir(expected));
    RemoveDirectoryA(expected.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    // Child roles for the help viewer tests.
    if (argc == 3 && std::strcmp(argv[1], "--sleep") == 0) {
        Sleep(static_cast<DWORD>(std::atoi(argv[2])));
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "--exit") == 0)
        return std::atoi(argv[2]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
