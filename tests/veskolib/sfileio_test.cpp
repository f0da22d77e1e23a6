// SFileIO's file-system operations on real files in scratch folders and on a
// scratch drive letter of the prefix, the real HKCU of the Wine prefix, real
// child processes for the help viewer and for a Japanese ANSI code page, and
// its folder table against the real known folders, also with the user's shell
// folders redirected in the prefix's real HKCU for a moment (so this program
// runs alone: others would see the redirection and the drive letter).
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Callback.h>
#include <ace/Log_Record.h>

#include <sfileio.h>
#include <vesko/raii.h>

#include "testsupport.h"
#include "veskolibtest.h"

using namespace vesko::test;
using vesko::UniqueHandle;

namespace {

constexpr DWORD kRefused = 0xFFFFFFFF;
constexpr DWORD kExists = ERROR_ALREADY_EXISTS, kNoFile = ERROR_FILE_NOT_FOUND,
                kNoPath = ERROR_PATH_NOT_FOUND;

PSECURITY_DESCRIPTOR LowSD() {
    return SharedAttr().m_pLowSD;
}

const std::string kDotTree =
    "t\\a.txt|t\\.dotfile|t\\sub\\b.txt|t\\sub\\deeper\\c.txt|t\\.hidden\\keep.txt|"
    "t\\sub\\.git\\config";
const std::string kSystemTree = "^sys\\|sys\\x.txt";

enum Op { kCreateDir, kWithLabel, kParents, kDelete, kContent, kPrefix, kMove, kReCreate, kLabel };
// path is relative to the case's folder ("" the folder itself, "/x" appended
// without a separator), "@x" taken as given, "~x" relative with every
// separator a forward slash. arg is the prefix, the destination of a move, or
// "no SD" to call without a security descriptor.
struct FsCase {
    const char* name;
    std::string tree;  // laid out first (MakeTree)
    Op op;
    const char* path;
    const char* arg;
    DWORD expected;
    std::string present, absent;  // afterwards (TreeMismatch)
};

// clang-format off
const FsCase kFsCases[] = {
    {"CreateDir makes missing parents", "", kCreateDir, "x\\y\\", "", 0, "x\\|x\\y\\", ""},
    {"CreateDir with forward slashes", "", kCreateDir, "/a/b/c/d", "no SD", 0, "a\\b\\c\\d\\", ""},
    {"CreateDir of an existing folder", "here\\", kCreateDir, "here", "", 0, "here\\", ""},
    {"CreateDir of an existing folder\\", "here\\", kCreateDir, "here\\", "no SD", 0, "here\\", ""},
    {"CreateDir of an empty path", "", kCreateDir, "@", "no SD", kNoPath, "", ""},
    {"CreateDir of a lone separator", "", kCreateDir, "@\\", "no SD", kNoPath, "", ""},
    // A name taken by a file is no folder: the answer says so.
    {"CreateDir of a file's name", "f.txt", kCreateDir, "f.txt", "", kExists, "f.txt=f.txt", ""},
    {"CreateDir through a file", "f.txt", kCreateDir, "f.txt\\sub", "", kNoPath, "f.txt=f.txt",
     "f.txt\\sub"},
    {"CreateDir two levels through a file", "f.txt", kCreateDir, "f.txt\\a\\b", "no SD", kNoPath,
     "f.txt=f.txt", "f.txt\\a"},
    {"CreateDirWithLabel of an existing folder", "here\\", kWithLabel, "here", "", kExists, "", ""},
    {"CreateDirWithLabel of a new folder", "", kWithLabel, "new", "", 0, "new\\", ""},
    {"CreateDirWithLabel without the parent", "", kWithLabel, "no\\new", "", kNoPath, "", "no"},
    {"CreateParentDirs stops at the last separator", "", kParents, "x\\y", "", 0, "x\\", "x\\y"},
    {"CreateParentDirs whose last folder exists", "x\\", kParents, "x\\y", "", kExists, "", "x\\y"},
    {"CreateParentDirs with a trailing separator", "x\\", kParents, "x\\y\\", "", 0, "x\\y\\", ""},
    {"CreateParentDirs of a deep file", "", kParents, "p\\q\\r\\leaf.txt", "no SD", 0, "p\\q\\r\\",
     "p\\q\\r\\leaf.txt"},
    {"CreateParentDirs of an empty path", "", kParents, "@", "no SD", kNoPath, "", ""},
    {"CreateParentDirs through a file", "f.txt", kParents, "f.txt\\a\\b", "", kNoPath,
     "f.txt=f.txt", "f.txt\\a"},
    {"CreateParentDirs, nothing before the separator", "", kParents, "@\\vesko-parentless", "no SD",
     0, "", "=\\vesko-parentless"},
    {"CreateParentDirs of a plain name", "", kParents, "@plainname", "no SD", 0, "", "=plainname"},

    {"DeleteDirRecursively of an empty path", "", kDelete, "@", "", kRefused, "", ""},
    {"DeleteDirRecursively of a file", "f.txt", kDelete, "f.txt", "", kRefused, "f.txt", ""},
    {"DeleteDirRecursively of a missing folder", "", kDelete, "nope", "", kNoFile, "", ""},
    {"DeleteDirRecursively below a missing folder", "", kDelete, "no\\deeper", "", kNoPath, "", ""},
    {"DeleteDirRecursively with forward slashes", "t\\a.txt|t\\sub\\deeper\\c.txt", kDelete, "~t\\",
     "", 0, "", "t"},
    {"DeleteDirRecursively keeps dot-folders", kDotTree, kDelete, "t", "", kRefused,
     "t\\.hidden\\keep.txt|t\\sub\\.git\\config",
     "t\\a.txt|t\\.dotfile|t\\sub\\b.txt|t\\sub\\deeper"},
    {"DeleteDirRecursively keeps a read-only file", "!t\\ro\\locked.txt|t\\other\\free.txt",
     kDelete, "t", "", kRefused, "t\\ro\\locked.txt", "t\\other"},
    {"DeleteDirRecursively of a system folder", kSystemTree, kDelete, "sys", "", kRefused,
     "sys\\x.txt", ""},

    {"DeleteDirContentRecursively keeps the folder", "t\\a.txt|t\\sub\\deeper\\c.txt", kContent,
     "t\\", "", 0, "t\\", "t\\a.txt|t\\sub"},
    {"DeleteDirContentRecursively whatever stays", kDotTree + "|!t\\ro\\locked.txt", kContent, "t",
     "", 0, "t\\ro\\locked.txt|t\\.hidden\\keep.txt|t\\sub\\.git\\config",
     "t\\sub\\deeper|t\\a.txt"},
    {"DeleteDirContentRecursively of an empty path", "", kContent, "@", "", kRefused, "", ""},
    {"DeleteDirContentRecursively of a file", "f", kContent, "f", "", kRefused, "f", ""},
    {"DeleteDirContentRecursively of a missing folder", "", kContent, "nope", "", kNoFile, "", ""},
    {"DeleteDirContentRecursively of a system folder", kSystemTree, kContent, "sys", "", kRefused,
     "sys\\x.txt", ""},

    {"DeleteFilesByPrefix at the top, any case", "img1.dcm|imgX|a.dcm|IMGcase|img_sub\\img2.dcm",
     kPrefix, "", "img", 0, "a.dcm|img_sub\\img2.dcm", "img1.dcm|imgX|IMGcase"},
    {"DeleteFilesByPrefix without a match", "a.dcm", kPrefix, "/", "img1", kRefused, "a.dcm", ""},
    {"DeleteFilesByPrefix keeps a read-only match", "!log1.txt|log2.txt", kPrefix, "", "log", 0,
     "log1.txt", "log2.txt"},
    {"DeleteFilesByPrefix of an empty path", "img1", kPrefix, "@", "img", kRefused, "img1", ""},
    {"DeleteFilesByPrefix with an empty prefix", "img1", kPrefix, "", "", kRefused, "img1", ""},
    {"DeleteFilesByPrefix of a missing folder", "", kPrefix, "nope", "img", kRefused, "", ""},
    {"DeleteFilesByPrefix of a file", "img1", kPrefix, "img1", "img", kRefused, "img1", ""},
    {"DeleteFilesByPrefix of a system folder", kSystemTree, kPrefix, "sys", "x", kRefused,
     "sys\\x.txt", ""},

    {"MoveFileLI replaces the destination", "src.txt|dst.txt", kMove, "src.txt", "dst.txt", 0,
     "dst.txt=src.txt", "src.txt"},
    {"MoveFileLI of a missing file", "", kMove, "gone.txt", "x.txt", kNoFile, "", "x.txt"},
    {"ReCreateFileLI truncates", "full.txt", kReCreate, "full.txt", "", 0, "full.txt=", ""},
    {"ReCreateFileLI creates", "", kReCreate, "fresh.txt", "no SD", 0, "fresh.txt=", ""},
    {"ReCreateFileLI truncates without a descriptor", "full.txt", kReCreate, "full.txt", "no SD",
     0, "full.txt=", ""},
    {"ReCreateFileLI without the folder", "", kReCreate, "no\\f.txt", "", kNoPath, "", "no"},
    {"SetFileSecurityLI without a descriptor", "", kLabel, "missing", "no SD", 0, "", ""},
    {"SetFileSecurityLI of a missing file", "", kLabel, "missing", "", kNoFile, "", ""},
};
// clang-format on

DWORD Call(const FsCase& c, const std::string& root) {
    const auto at = [&root](std::string rel) {
        if (rel[0] == '@')
            return C(rel.substr(1));
        const bool forward = rel[0] == '~';
        if (forward)
            rel.erase(0, 1);
        CString path = C(rel.empty() || rel[0] == '/' ? root + rel : root + "\\" + rel);
        if (forward)
            path.Replace('\\', '/');
        return path;
    };
    const CString path = at(c.path);
    const PSECURITY_DESCRIPTOR sd = std::strcmp(c.arg, "no SD") == 0 ? nullptr : LowSD();
    switch (c.op) {
        case kCreateDir:
            return SFileIO::CreateDir(path, sd);
        case kWithLabel:
            return SFileIO::CreateDirWithLabel(path, sd);
        case kParents:
            return SFileIO::CreateParentDirs(path, sd);
        case kDelete:
            return SFileIO::DeleteDirRecursively(path);
        case kContent:
            return SFileIO::DeleteDirContentRecursively(path);
        case kPrefix:
            return SFileIO::DeleteFilesByPrefix(path, CString(c.arg));
        case kMove:
            return SFileIO::MoveFileLI(path, at(c.arg));
        case kReCreate:
            return SFileIO::ReCreateFileLI(path, sd);
        case kLabel:
            return SFileIO::SetFileSecurityLI(path, sd);
    }
    return 0xBADCA11;
}

TEST(SFileIOResults, EachCallAnswersAndLeavesTheTreeAsListed) {
    for (const FsCase& c : kFsCases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir("fs");
        ASSERT_TRUE(MakeTree(dir.Path(), c.tree));
        const DWORD result = Call(c, dir.Path());
        EXPECT_EQ(result, c.expected) << Describe(result);
        EXPECT_EQ(TreeMismatch(dir.Path(), c.present, c.absent), "");
    }
}

TEST(SFileIOResults, LabelResultIsTheSystemsOwn) {
    ScratchDir dir("label");
    ASSERT_TRUE(WriteFileText(dir / "f.txt", "f"));
    ASSERT_NE(LowSD(), nullptr);
    // Wine refuses the label with 5; whatever the system says is the result.
    const BOOL raw = SetFileSecurityA((dir / "f.txt").c_str(), LABEL_SECURITY_INFORMATION, LowSD());
    const DWORD expected = raw ? 0 : GetLastError();
    EXPECT_EQ(SFileIO::SetFileSecurityLI(C(dir / "f.txt"), LowSD()), expected)
        << Describe(expected);
}

// CREATE_ALWAYS gives an existing file no descriptor, so a re-created file is
// labelled through its handle. The handle as ReCreateFileLI opens it (read and
// write) cannot write a label (that takes WRITE_OWNER); LabelOpenFile can.
// Wine takes a label without keeping it: what is written cannot be read back.
TEST(SFileIOResults, ALabelIsWrittenThroughTheOpenFile) {
    ScratchDir dir("relabel");
    ASSERT_TRUE(WriteFileText(dir / "f.txt", "old contents"));
    const UniqueHandle file(CreateFileA((dir / "f.txt").c_str(),
                                        FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_NE(file.Get(), INVALID_HANDLE_VALUE);
    BOOL present = FALSE, defaulted = FALSE;
    PACL sacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorSacl(LowSD(), &present, &sacl, &defaulted) && present);
    const DWORD bare = SetSecurityInfo(file.Get(), SE_FILE_OBJECT, LABEL_SECURITY_INFORMATION,
                                       nullptr, nullptr, nullptr, sacl);
    EXPECT_EQ(bare, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << Describe(bare);

    PSECURITY_DESCRIPTOR rawDaclOnly = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
        "D:(A;;GA;;;WD)", SDDL_REVISION_1, &rawDaclOnly, nullptr));
    const vesko::UniqueLocal daclOnly(rawDaclOnly);
    const struct {
        const char* name;
        HANDLE file;
        PSECURITY_DESCRIPTOR sd;
        DWORD expected;
    } cases[] = {
        {"the low label", file.Get(), LowSD(), 0},
        {"no descriptor", file.Get(), nullptr, 0},
        {"a descriptor without a label", file.Get(), rawDaclOnly, 0},
        {"no handle", nullptr, LowSD(), ERROR_INVALID_HANDLE},
        {"the process's own handle", INVALID_HANDLE_VALUE, LowSD(), ERROR_INVALID_HANDLE},
    };
    for (const auto& c : cases) {
        const DWORD result = SFileIO::LabelOpenFile(c.file, c.sd);
        EXPECT_EQ(result, c.expected) << c.name << ": " << Describe(result);
    }
    const UniqueHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    EXPECT_NE(SFileIO::LabelOpenFile(event.Get(), LowSD()), 0u) << "an event is no file";
    EXPECT_EQ(ReadFileText(dir / "f.txt"), "old contents");
}

TEST(SFileIOResults, ReparsePointsAreNeverFollowed) {
    ScratchDir dir("reparse"), outside("reparse-outside");
    ASSERT_TRUE(MakeTree(outside.Path(), "precious.txt|img1.dcm"));
    ASSERT_TRUE(MakeTree(dir.Path(), "tree\\own.txt"));
    const std::string link = dir / "link", inner = dir / "tree\\link";
    if (!HostLink(link, outside.Path()) || !HostLink(inner, outside.Path()))
        GTEST_SKIP() << "no reparse point can be made here";
    // Named directly, the link is not entered.
    EXPECT_EQ(SFileIO::DeleteDirRecursively(C(link)), 0u);
    EXPECT_EQ(SFileIO::DeleteDirContentRecursively(C(link)), 0u);
    EXPECT_NE(SFileIO::DeleteFilesByPrefix(C(link), CString("img")), 0u);
    EXPECT_EQ(TreeMismatch(outside.Path(), "precious.txt|img1.dcm", ""), "");
    // Inside a tree the tree's own files go and what the link reaches stays.
    EXPECT_EQ(SFileIO::DeleteDirContentRecursively(C(dir / "tree")), 0u);
    EXPECT_EQ(TreeMismatch(dir.Path(), "tree\\", "tree\\own.txt"), "");
    EXPECT_EQ(TreeMismatch(outside.Path(), "precious.txt|img1.dcm", ""), "");
}

TEST(SFileIOResults, HKCUDWordIsWrittenWithTheWholeKeyPathAndOverwritten) {
    char top[64];
    std::snprintf(top, sizeof top, "Software\\VeskoLibTests\\%lu-%lu", GetCurrentProcessId(),
                  GetTickCount());
    const std::string key = std::string(top) + "\\a\\b";
    for (const DWORD value : {42u, 0xDEADBEEFu}) {
        const DWORD result = SFileIO::RegistryHKCUSetValueDWord(C(key), CString("Answer"), value);
        EXPECT_EQ(result, 0u) << Describe(result);
        DWORD type = 0, read = 0, size = sizeof read;
        const LONG status =
            RegGetValueA(HKEY_CURRENT_USER, key.c_str(), "Answer", RRF_RT_ANY, &type, &read, &size);
        EXPECT_EQ(status, ERROR_SUCCESS) << Describe(status);
        EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
        EXPECT_EQ(read, value);
    }
    EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, top), ERROR_SUCCESS);
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\VeskoLibTests");
}

TEST(SFileIOResults, WritableFileIsAFreshEmptyFileOfTheSameName) {
    ScratchDir dir("writable");
    CString out;
    EXPECT_EQ(SFileIO::GetWritableFile(CString("D:\\in\\report.pdf"), C(dir.Path()), out), 0u);
    EXPECT_STREQ(out, (dir / "report.pdf").c_str());
    WriteFileText(dir / "report.pdf", "old data");
    EXPECT_EQ(SFileIO::GetWritableFile(CString("relative/report.pdf"), C(dir.Path()), out), 0u);
    EXPECT_EQ(TreeMismatch(dir.Path(), "report.pdf=", ""), "");
    EXPECT_EQ(SFileIO::GetWritableFile(CString("x.bin"), C(dir / "missing"), out), kNoPath);
    EXPECT_STREQ(out, (dir / "missing\\x.bin").c_str());
    EXPECT_TRUE(SFileIO::IsDestinationWritable(CString()));
    EXPECT_TRUE(SFileIO::IsDestinationWritable(CString("Q:\\no\\such\\place")));
}

// Threads creating sibling folders under a parent that none of them finds
// each have to make or meet that parent; whichever wins, every answer has to
// say whether its own folder is there.
TEST(SFileIOResults, SiblingsRacingForAMissingParentAreEachCreated) {
    constexpr int kRounds = 60, kThreads = 4;
    ScratchDir dir("race");
    for (int round = 0; round < kRounds; ++round) {
        const std::string parent = dir / ("r" + std::to_string(round) + "\\p");
        std::atomic<int> ready{0};
        DWORD results[kThreads] = {};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                ready.fetch_add(1);
                while (ready.load() < kThreads)
                    std::this_thread::yield();
                results[t] = SFileIO::CreateDir(C(parent + "\\c" + std::to_string(t)), LowSD());
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        std::string wrong;
        for (int t = 0; t < kThreads; ++t) {
            const bool made = IsDir(parent + "\\c" + std::to_string(t));
            if (results[t] != 0 || !made)
                wrong += " c" + std::to_string(t) + ": " + Describe(results[t]) +
                         (made ? ", folder there" : ", folder missing");
        }
        ASSERT_EQ(wrong, "") << "round " << round;
    }
}

// ---------------------------------------------------------------------------
// Drive roots, drive-relative and relative paths

// Restores this process's current folder when it goes.
struct CurrentFolder {
    char saved[MAX_PATH] = {};
    CurrentFolder() { GetCurrentDirectoryA(MAX_PATH, saved); }
    ~CurrentFolder() { SetCurrentDirectoryA(saved); }
};

// A drive-relative path ("Q:") names the drive's current folder, and listing
// it as a folder path ("Q:" + "\*") lists the drive's root: neither that, nor
// a root, nor a path relative to the current folder is ever emptied. The
// scratch drive holds a tree that any of these would delete.
TEST(RootGuard, NoDeleteReachesADriveRootOrTheCurrentFolder) {
    ScratchDir folder("drive");
    ScratchDrive drive(folder.Path());
    const std::string d = drive.Root();
    ASSERT_FALSE(d.empty()) << "no drive letter could be pointed at " << folder.Path();
    const std::string tree = "keep.txt|sub\\inner.txt|sub\\deeper\\x.txt|sub\\kept\\";
    ASSERT_TRUE(MakeTree(folder.Path(), tree));
    CurrentFolder restore;

    // The drive is live: a folder below its root is emptied as ever.
    EXPECT_EQ(SFileIO::DeleteDirContentRecursively(C(d + "/sub/deeper")), 0u);
    EXPECT_EQ(TreeMismatch(folder.Path(), "sub\\deeper\\", "sub\\deeper\\x.txt"), "");

    const std::string lower(1, static_cast<char>(d[0] - 'A' + 'a'));
    // cwd: "" this program's folder, else a folder on the scratch drive.
    const struct {
        const char* cwd;
        std::string path;
    } cases[] = {
        {"", d},
        {"", lower + ":"},
        {"", d + "\\"},
        {"", d + "/"},
        {"", d + "\\\\"},
        {"", d + "."},
        {"", d + "sub\\.."},
        {"", d + "\\sub\\.."},
        {"", d + "\\sub/../"},
        {"", d + "\\..."},
        {"", "\\\\?\\" + d + "\\"},
        {"", "\\\\vesko-nohost\\share"},
        {"", "\\\\vesko-nohost\\share\\"},
        {"\\", d},
        {"\\", "\\"},
        {"\\", "/"},
        {"\\", "."},
        {"\\", "sub\\.."},
        {"\\", "sub"},
        {"\\sub", d},
        {"\\sub", ".."},
        {"\\sub", "."},
        {"\\sub", "\\"},
    };
    for (const auto& c : cases) {
        const std::string cwd = *c.cwd ? d + c.cwd : ProgramFolder();
        ASSERT_TRUE(SetCurrentDirectoryA(cwd.c_str())) << cwd;
        const std::pair<const char*, std::function<DWORD()>> ops[] = {
            {"DeleteDirRecursively", [&] { return SFileIO::DeleteDirRecursively(C(c.path)); }},
            {"DeleteDirContentRecursively",
             [&] { return SFileIO::DeleteDirContentRecursively(C(c.path)); }},
            {"DeleteFilesByPrefix",
             [&] { return SFileIO::DeleteFilesByPrefix(C(c.path), CString("k")); }},
        };
        for (const auto& op : ops) {
            SCOPED_TRACE(std::string(op.first) + "(\"" + c.path + "\") from " + cwd);
            // Emptying the drive's root would take the scratch folder too.
            CreateDirectoryA(folder.Path().c_str(), nullptr);
            ASSERT_TRUE(MakeTree(folder.Path(), tree));
            const DWORD result = op.second();
            EXPECT_EQ(result, kRefused) << Describe(result);
            EXPECT_EQ(TreeMismatch(folder.Path(), tree, ""), "");
        }
    }
}

// Creating "Q:\" or the parents of "Q:\name" would ask for "Q:", which
// exists as the drive's current folder, and label that folder.
TEST(RootGuard, NoCreateReachesADriveRootOrTheCurrentFolder) {
    ScratchDir folder("drive");
    ScratchDrive drive(folder.Path());
    const std::string d = drive.Root();
    ASSERT_FALSE(d.empty()) << "no drive letter could be pointed at " << folder.Path();
    CurrentFolder restore;
    ASSERT_TRUE(MakeTree(folder.Path(), "sub\\"));
    ASSERT_TRUE(SetCurrentDirectoryA((d + "\\sub").c_str()));
    const struct {
        Op op;
        std::string path;
        DWORD expected;
        const char* present;
        const char* absent;
    } cases[] = {
        {kCreateDir, d + "\\", ERROR_INVALID_NAME, "", ""},
        {kCreateDir, d + "/", ERROR_INVALID_NAME, "", ""},
        {kCreateDir, d, ERROR_INVALID_NAME, "", ""},
        {kWithLabel, d, ERROR_INVALID_NAME, "", ""},
        {kWithLabel, d + "\\", ERROR_INVALID_NAME, "", ""},
        {kParents, d + "\\name", ERROR_INVALID_NAME, "", "name"},
        {kParents, d + "/name", ERROR_INVALID_NAME, "", "name"},
        {kCreateDir, "\\\\vesko-nohost\\share\\", ERROR_INVALID_NAME, "", ""},
        // Below the root all is as ever.
        {kCreateDir, d + "\\made\\deeper", 0, "made\\deeper\\", ""},
        {kParents, d + "\\made2\\leaf", 0, "made2\\", "made2\\leaf"},
        {kWithLabel, d + "\\sub", kExists, "sub\\", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " op " + std::to_string(c.op));
        const DWORD result = c.op == kCreateDir ? SFileIO::CreateDir(C(c.path), LowSD())
                             : c.op == kParents ? SFileIO::CreateParentDirs(C(c.path), LowSD())
                                                : SFileIO::CreateDirWithLabel(C(c.path), LowSD());
        EXPECT_EQ(result, c.expected) << Describe(result);
        EXPECT_EQ(TreeMismatch(folder.Path(), c.present, c.absent), "");
    }
}

// ---------------------------------------------------------------------------
// Help viewer

// A child of this program ("--sleep <ms>" or "--exit <code>") and a second
// handle to it that outlives whatever takes the first.
struct Child {
    UniqueHandle process, watch;
    explicit Child(const char* args) {
        process = StartProcess("\"" + ThisProgram() + "\" " + args);
        if (process)
            DuplicateHandle(GetCurrentProcess(), process.Get(), GetCurrentProcess(),
                            watch.Receive(), 0, FALSE, DUPLICATE_SAME_ACCESS);
    }
    // The exit code once it has ended; 259 (STILL_ACTIVE) is what ending a
    // viewer gives, so one that does not end within 10 s answers kNotEnded.
    DWORD ExitCode() const {
        DWORD code = 0;
        return WaitForSingleObject(watch.Get(), 10000) == WAIT_OBJECT_0 &&
                       GetExitCodeProcess(watch.Get(), &code)
                   ? code
                   : kNotEnded;
    }
    static constexpr DWORD kNotEnded = 0xFFFFFFFE;
};

// Gives a test the worker's viewer slot: the worker owns what it adopts and
// closes what it held before.
struct HelpSFileIO : SFileIO {
    void AdoptViewer(HANDLE h) { m_hHelpProcess.Reset(h); }
};

// A viewer that has ended is replaced as it is; a running one is ended with
// exit code 259 first; the worker ends its own when it goes.
TEST(HelpViewer, EndedOrRunningViewersAreReplacedAndTheLastEndsWithTheWorker) {
    Child ended("--exit 7"), running("--sleep 30000"), last("--sleep 30000");
    ASSERT_TRUE(ended.watch && running.watch && last.watch);
    ASSERT_EQ(ended.ExitCode(), 7u);
    {
        HelpSFileIO worker;
        EXPECT_EQ(worker.DisplayHelpFile(CString(), nullptr), 0u);
        EXPECT_EQ(worker.GetHelpProcess(), nullptr);
        for (Child* viewer : {&ended, &running, &last}) {
            worker.AdoptViewer(viewer->process.Release());
            if (viewer == &last)
                break;
            EXPECT_EQ(worker.DisplayHelpFile(CString("vesko-missing.chm"), nullptr), 0u);
            ASSERT_NE(worker.GetHelpProcess(), nullptr);
            EXPECT_NE(GetProcessId(worker.GetHelpProcess()), GetProcessId(viewer->watch.Get()));
        }
    }
    EXPECT_EQ(running.ExitCode(), static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(last.ExitCode(), static_cast<DWORD>(STILL_ACTIVE));
}

TEST(HelpViewer, AViewerThatCannotBeQueriedStopsTheCallAndIsKept) {
    HelpSFileIO worker;
    UniqueHandle notAProcess(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    EXPECT_NE(SFileIO::EndHelpProcess(notAProcess.Get()), 0u);
    const HANDLE kept = notAProcess.Get();
    worker.AdoptViewer(notAProcess.Release());
    EXPECT_NE(worker.DisplayHelpFile(CString("vesko-missing.chm"), nullptr), 0u);
    EXPECT_EQ(worker.GetHelpProcess(), kept);
}

// The process handles open in this process. Wine keeps no handle count of its
// own (GetProcessHandleCount answers 0), so each candidate value is asked;
// only process handles count, as the shell may keep other handles of its own
// from one call to the next.
size_t OpenProcessHandles() {
    size_t count = 0;
    for (uintptr_t value = 4; value < 0x10000; value += 4) {
        const HANDLE handle = reinterpret_cast<HANDLE>(value);
        DWORD flags = 0;
        if (GetHandleInformation(handle, &flags) && GetProcessId(handle) != 0)
            ++count;
    }
    return count;
}

// Several host threads asking one worker for the viewer at once: each viewer
// handle is ended and closed exactly once, none is overwritten and kept open,
// and no call meets a handle another call closed already.
TEST(HelpViewer, ConcurrentCallsEndEveryViewerOnceAndKeepNoHandle) {
    constexpr int kThreads = 4, kCalls = 8;
    const auto stress = [] {
        std::string failures;
        std::mutex lock;
        SFileIO worker;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                for (int call = 0; call < kCalls; ++call) {
                    const DWORD result =
                        worker.DisplayHelpFile(CString("vesko-missing.chm"), nullptr);
                    if (result != 0) {
                        std::lock_guard<std::mutex> hold(lock);
                        failures += " " + Describe(result);
                    }
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        return failures;
    };
    stress();  // the shell's own first-use handles
    const size_t before = OpenProcessHandles();
    EXPECT_EQ(stress(), "");
    EXPECT_EQ(OpenProcessHandles(), before);
}

// ---------------------------------------------------------------------------
// Folder table

// The shell's answer without a trailing separator, "" when it has none.
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

enum class Base { kLocalLow, kCompany, kDocuments };
struct FolderEntry {
    const CString& (SFileIO::*get)() const;
    Base base;
    const char* tail;
};
// Every entry but the LE cache folder, which only a version override makes.
const FolderEntry kFolderTable[] = {
    {&SFileIO::GetWritableDir, Base::kLocalLow, "\\Cadra\\4.7\\Temp"},
    {&SFileIO::GetUserMachinePrefDir, Base::kLocalLow, "\\Cadra\\4.7\\MachinePref"},
    {&SFileIO::GetExportTempDir, Base::kLocalLow, "\\Cadra\\4.7\\My PixmurExport"},
    {&SFileIO::GetNorvaneDirValue, Base::kCompany, ""},
    {&SFileIO::GetLogDir, Base::kCompany, "\\CadraLogs"},
    {&SFileIO::GetMachinePrefDir, Base::kCompany, "\\MachinePref"},
    {&SFileIO::GetUserActivityLogDir, Base::kCompany, "\\CadraUserActivityLogs"},
    {&SFileIO::GetDumpDir, Base::kCompany, "\\CadraErrors"},
    {&SFileIO::GetZipDir, Base::kCompany, "\\CadraErrors\\CrashFiles_Zipped"},
    {&SFileIO::GetDefaultDumpDir, Base::kCompany, "\\CadraLogs\\Dumps"},
    {&SFileIO::GetUserDocDir, Base::kDocuments, ""},
};

// The bases as the shell resolves them now; the company folder lies in Public.
struct Bases {
    std::string low = KnownFolder(FOLDERID_LocalAppDataLow);
    std::string company = KnownFolder(FOLDERID_Public) + "\\Norvane\\4.7";
    std::string docs = KnownFolder(FOLDERID_Documents);
    std::string Expected(const FolderEntry& entry) const {
        const std::string& base = entry.base == Base::kLocalLow  ? low
                                  : entry.base == Base::kCompany ? company
                                                                 : docs;
        return base + entry.tail;
    }
};

constexpr char kLocalLowValue[] = "{A520A1A4-1780-4FF6-BD18-167343C5AF16}";
constexpr char kDocumentsValue[] = "Personal";

// The second Init runs with LocalLow and Documents redirected, given with a
// trailing separator that must not be doubled: each Init resolves anew.
TEST(FolderTable, EachInitResolvesAndMakesEveryFolderAndReleaseEmptiesIt) {
    Bases bases;
    ASSERT_FALSE(bases.low.empty());
    ASSERT_FALSE(bases.docs.empty());
    ScratchDir shell("shell");
    ASSERT_TRUE(MakeTree(shell.Path(), "low\\|docs\\"));
    SFileIO worker;
    EXPECT_TRUE(worker.GetWritableDir().IsEmpty());
    worker.SetLastSavedDir(CString("Z:\\saved here"));
    for (const bool redirected : {false, true}) {
        SCOPED_TRACE(redirected ? "redirected" : "as installed");
        std::optional<ShellFolderRedirect> low, docs;
        if (redirected) {
            low.emplace(kLocalLowValue, shell / "low\\");
            docs.emplace(kDocumentsValue, shell / "docs\\");
            bases.low = shell / "low";
            bases.docs = shell / "docs";
        }
        ASSERT_TRUE(worker.Init(&SharedAttr()));
        EXPECT_TRUE(worker.IsInitialized());
        for (const FolderEntry& entry : kFolderTable) {
            const std::string expected = bases.Expected(entry);
            EXPECT_STREQ((worker.*entry.get)(), expected.c_str());
            EXPECT_TRUE(entry.base == Base::kDocuments || IsDir(expected)) << expected;
        }
        // Init forgets the cache folder a version override made.
        EXPECT_TRUE(worker.GetLECacheDir().IsEmpty()) << worker.GetLECacheDir().GetString();
        const std::string cache = bases.low + "\\Cadra\\4.7\\Local Cache_2_5";
        RemoveDirectoryA(cache.c_str());
        worker.MakeVersionSpecificBehavior(SFileIO::eOverrideLECacheDir, CString("2.5.17"));
        EXPECT_STREQ(worker.GetLECacheDir(), cache.c_str());
        EXPECT_TRUE(IsDir(cache));
        RemoveDirectoryA(cache.c_str());
    }
    worker.Release();
    EXPECT_FALSE(worker.IsInitialized());
    for (const FolderEntry& entry : kFolderTable)
        EXPECT_TRUE((worker.*entry.get)().IsEmpty()) << (worker.*entry.get)().GetString();
    EXPECT_TRUE(worker.GetLECacheDir().IsEmpty()) << worker.GetLECacheDir().GetString();
    // What the host set stays.
    EXPECT_STREQ(worker.GetLastSavedDir(), "Z:\\saved here");
    EXPECT_STREQ(worker.GetVersionSuffix(), "_2_5");
}

TEST(FolderTable, VersionSuffixDropsTheLastComponent) {
    SFileIO worker;
    const std::pair<const char*, const char*> cases[] = {
        {"2.5.17", "_2_5"}, {"2.5.17.1", "_2_5_17"}, {"25", "_"}, {"", "_"}, {"7.", "_7"},
        {".9", "_"}};
    for (const auto& c : cases) {
        worker.MakeVersionSpecificBehavior(SFileIO::eOverrideNone, CString(c.first));
        EXPECT_STREQ(worker.GetVersionSuffix(), c.second) << "version \"" << c.first << "\"";
    }
    // Not initialised: the suffix only, no folder from an unresolved base.
    worker.MakeVersionSpecificBehavior(SFileIO::eOverrideLECacheDir, CString("3.1.4"));
    EXPECT_STREQ(worker.GetVersionSuffix(), "_3_1");
    EXPECT_TRUE(worker.GetLECacheDir().IsEmpty()) << worker.GetLECacheDir().GetString();
}

// Collects the ACE records made while it exists, as "<priority> <file> line:
// <text>", instead of printing them.
class LogCapture : public ACE_Log_Msg_Callback {
  public:
    LogCapture() : m_previous(ACE_Log_Msg::instance()->msg_callback(this)) {
        m_flags = ACE_Log_Msg::instance()->flags();
        ACE_Log_Msg::instance()->set_flags(ACE_Log_Msg::MSG_CALLBACK);
        ACE_Log_Msg::instance()->clr_flags(ACE_Log_Msg::STDERR);
    }
    ~LogCapture() override {
        ACE_Log_Msg::instance()->clr_flags(ACE_Log_Msg::MSG_CALLBACK);
        ACE_Log_Msg::instance()->set_flags(m_flags);
        ACE_Log_Msg::instance()->msg_callback(m_previous);
    }
    void log(ACE_Log_Record& record) override {
        ACE_Log_Msg* log = ACE_Log_Msg::instance();
        text += std::to_string(record.type()) + " " + (log->file() ? log->file() : "") +
                (log->linenum() > 0 ? " line: " : " no line: ") + record.msg_data();
    }
    std::string text;

  private:
    ACE_Log_Msg_Callback* m_previous;
    unsigned long m_flags = 0;
};

TEST(FolderTable, AMissingBaseEmptiesItsFoldersAndOnlyDocumentsIsLogged) {
    const struct {
        const char* value;
        const KNOWNFOLDERID* id;
        bool init;  // false: the whole table stays empty
        std::string log;
    } cases[] = {{kLocalLowValue, &FOLDERID_LocalAppDataLow, false, ""},
                 {kDocumentsValue, &FOLDERID_Documents, true,
                  std::to_string(LM_DEBUG) + " sfileio line: Could not initialize document "
                                             "directory. Possibly hosted in a service\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        ScratchDir dir("shell");
        ShellFolderRedirect redirect(c.value, dir / "not-there");
        ASSERT_EQ(KnownFolder(*c.id), "");
        SFileIO worker;
        LogCapture capture;
        EXPECT_EQ(worker.Init(&SharedAttr()), c.init);
        EXPECT_EQ(worker.IsInitialized(), c.init);
        for (const FolderEntry& entry : kFolderTable) {
            EXPECT_EQ((worker.*entry.get)().IsEmpty(), !c.init || entry.base == Base::kDocuments)
                << (worker.*entry.get)().GetString();
        }
        EXPECT_EQ(capture.text, c.log);
        EXPECT_FALSE(IsDir(dir / "not-there"));
        // A cache folder only from a resolved base.
        worker.MakeVersionSpecificBehavior(SFileIO::eOverrideLECacheDir, CString("2.5.17"));
        EXPECT_EQ(worker.GetLECacheDir().IsEmpty(), !c.init) << worker.GetLECacheDir().GetString();
        RemoveDirectoryA(worker.GetLECacheDir());
    }
}

// ---------------------------------------------------------------------------
// Double-byte ANSI code pages

// In code page 932 "ソ" is 0x83 0x5C and "表" 0x95 0x5C: names that end in
// the byte of '\'. The probe below runs under that code page and reports,
// case by case, "<case>|<result>|<what is wrong, or ok>".
const char kSo[] = "\x83\x5C";    // U+30BD
const char kHyou[] = "\x95\x5C";  // U+8868
const wchar_t kSoW[] = L"\u30BD";
const wchar_t kHyouW[] = L"\u8868";

// Expected result of each probe case; every case also checks the tree.
const std::pair<const char*, DWORD> kDoubleByteCases[] = {
    {"CreateDir of a name ending in 0x5C", 0}, {"CreateDir of it with a separator", 0},
    {"CreateDir below a missing parent", 0},   {"CreateParentDirs of a file in it", 0},
    {"CreateParentDirs of it as the leaf", 0}, {"DeleteDirRecursively of it", 0},
    {"DeleteDirContentRecursively of it", 0},  {"DeleteFilesByPrefix in it", 0},
};

TEST(DoubleByteNames, ATrailByteOf0x5CIsNoSeparator) {
    ScratchDir dir("dbcs");
    const std::string report = dir / "report.txt";
    // Wine takes a process's ANSI code page from the Unix locale it starts
    // under, and a Windows child keeps its parent's: a host program starts the
    // probe under the Japanese locale (scripts/setup-packages.sh makes it).
    const std::string program = UnixName(ThisProgram());
    ASSERT_FALSE(program.empty());
    ASSERT_TRUE(StartOnHost("Z:\\usr\\bin\\env", "env LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 wine \"" +
                                                     program + "\" --dbcs-probe \"" + dir.Path() +
                                                     "\""));
    ASSERT_TRUE(WaitFor([&] { return Exists(report); }, 60000)) << "the probe wrote no report";
    std::istringstream lines(ReadFileText(report));
    std::string line;
    std::getline(lines, line);
    ASSERT_EQ(line, "code page 932") << "the probe ran under another ANSI code page";
    for (const auto& expected : kDoubleByteCases) {
        ASSERT_TRUE(std::getline(lines, line)) << "no line for " << expected.first;
        char result[32];
        std::snprintf(result, sizeof result, "0x%08lX",
                      static_cast<unsigned long>(expected.second));
        EXPECT_EQ(line, std::string(expected.first) + "|" + result + "|ok");
    }
}

// The probe's side, in a process whose ANSI code page is 932.
std::wstring Widen(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}
bool IsDirW(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}
bool ExistsW(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}
bool MakeFileW(const std::wstring& path) {
    return UniqueHandle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr))
               .Get() != INVALID_HANDLE_VALUE;
}
bool EmptyDirW(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    const vesko::UniqueFindHandle find(FindFirstFileW((path + L"\\*").c_str(), &data));
    for (bool more = find.IsValid(); more; more = FindNextFileW(find.Get(), &data)) {
        if (std::wcscmp(data.cFileName, L".") && std::wcscmp(data.cFileName, L".."))
            return false;
    }
    return find.IsValid();
}

int DoubleByteProbe(const std::string& dir) {
    std::string out = "code page " + std::to_string(GetACP()) + "\n";
    const std::string work = dir + "\\work";
    const std::wstring w = Widen(work);
    CreateDirectoryW(w.c_str(), nullptr);
    const std::string so = work + "\\" + kSo, hyou = work + "\\" + kHyou;
    const std::wstring soW = w + L"\\" + kSoW, hyouW = w + L"\\" + kHyouW;
    const auto note = [&out](const char* name, DWORD result, bool ok, const char* wrong) {
        char code[32];
        std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(result));
        out += std::string(name) + "|" + code + "|" + (ok ? "ok" : wrong) + "\n";
    };
    const PSECURITY_DESCRIPTOR sd = LowSD();

    DWORD r = SFileIO::CreateDir(C(so), sd);
    note(kDoubleByteCases[0].first, r, IsDirW(soW), "no folder");
    RemoveDirectoryW(soW.c_str());
    r = SFileIO::CreateDir(C(hyou + "\\"), sd);
    note(kDoubleByteCases[1].first, r, IsDirW(hyouW), "no folder");
    RemoveDirectoryW(hyouW.c_str());
    r = SFileIO::CreateDir(C(so + "\\a" + kHyou), sd);
    note(kDoubleByteCases[2].first, r, IsDirW(soW + L"\\a" + kHyouW), "no folder");
    r = SFileIO::CreateParentDirs(C(hyou + "\\leaf.txt"), sd);
    note(kDoubleByteCases[3].first, r, IsDirW(hyouW) && !ExistsW(hyouW + L"\\leaf.txt"),
         "no parent, or the leaf made too");
    r = SFileIO::CreateParentDirs(C(work + "\\p\\" + kSo), sd);
    note(kDoubleByteCases[4].first, r, IsDirW(w + L"\\p") && !ExistsW(w + L"\\p\\" + kSoW),
         "no parent, or the leaf made too");

    const std::wstring t = w + L"\\t" + kSoW;
    CreateDirectoryW(t.c_str(), nullptr);
    CreateDirectoryW((t + L"\\s" + kHyouW).c_str(), nullptr);
    MakeFileW(t + L"\\f.txt");
    MakeFileW(t + L"\\s" + kHyouW + L"\\g.txt");
    r = SFileIO::DeleteDirRecursively(C(work + "\\t" + kSo));
    note(kDoubleByteCases[5].first, r, !ExistsW(t), "still there");
    CreateDirectoryW(t.c_str(), nullptr);
    CreateDirectoryW((t + L"\\s" + kHyouW).c_str(), nullptr);
    MakeFileW(t + L"\\f.txt");
    MakeFileW(t + L"\\s" + kHyouW + L"\\g.txt");
    r = SFileIO::DeleteDirContentRecursively(C(work + "\\t" + kSo));
    note(kDoubleByteCases[6].first, r, IsDirW(t) && EmptyDirW(t), "not emptied, or gone");
    MakeFileW(t + L"\\img1.dcm");
    MakeFileW(t + L"\\a.dcm");
    r = SFileIO::DeleteFilesByPrefix(C(work + "\\t" + kSo), CString("img"));
    note(kDoubleByteCases[7].first, r, !ExistsW(t + L"\\img1.dcm") && ExistsW(t + L"\\a.dcm"),
         "img1.dcm kept, or a.dcm gone");

    // Whatever this made goes with it: the test's own process could not
    // spell these names in its code page.
    RemoveTree(work);
    // Written whole, then renamed: the test reads it as soon as it appears.
    const std::string report = dir + "\\report.txt";
    return WriteFileText(report + ".part", out) &&
                   MoveFileA((report + ".part").c_str(), report.c_str())
               ? 0
               : 1;
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
    if (argc == 3 && std::strcmp(argv[1], "--dbcs-probe") == 0)
        return DoubleByteProbe(argv[2]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
