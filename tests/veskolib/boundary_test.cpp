// veskolib.dll at its boundary with a host that links it: what its load
// starts, where its log records go, and which exceptions an allocation
// failure sends across.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <exception>
#include <functional>
#include <initializer_list>
#include <string>
#include <typeinfo>

#include <cveskolibapp.h>
#include <fileioservice.h>
#include <iomanager.h>

#include "res/veskolibres.h"
#include "testsupport.h"

using vesko::test::ScratchDir;
using vesko::test::ShellFolderRedirect;

namespace {

// What WSACleanup reported at the start of main, after the load of the
// library and before anything of the library ran: 0 when the load had
// started Winsock, else the error.
int g_winsockAfterLoad = -1;

TEST(Load, StartsNoWinsock) {
    // WSACleanup right after the load: a library that called WSAStartup from
    // its entry point (under the loader lock) would let it succeed.
    EXPECT_EQ(g_winsockAfterLoad, WSANOTINITIALISED);
}

// The lines of text that contain every one of parts.
std::string LinesWith(const std::string& text, std::initializer_list<std::string> parts) {
    std::string found;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        bool all = true;
        for (const std::string& part : parts)
            all = all && line.find(part) != std::string::npos;
        if (all)
            found += line + "\n";
        start = end + 1;
    }
    return found;
}

TEST(Log, TheFolderTableRecordLandsInVeskoLibLogInTheLogFolder) {
    // Earlier runs' records stay in the file (and Wine reuses process ids):
    // only what this run appends counts.
    std::string path;
    {
        FileIOService* fileIO = IOManager::GetIOManager().GetFileIOService();
        ASSERT_NE(fileIO, nullptr);
        ASSERT_FALSE(fileIO->GetLogDir().IsEmpty());
        path = std::string(fileIO->GetLogDir()) + "\\VeskoLib.log";
        IOManager::ReleaseIOManager();
    }
    const size_t before = vesko::test::ReadFileText(path).size();
    // Without a documents folder the folder table makes its one record.
    ScratchDir shell("shell");
    ShellFolderRedirect documents("Personal", shell / "not-there");
    ASSERT_NE(IOManager::GetIOManager().GetFileIOService(), nullptr);
    std::string text = vesko::test::ReadFileText(path);
    text.erase(0, std::min(before, text.size()));
    const std::string pid = "pid=" + std::to_string(GetCurrentProcessId()) + " ";
    const std::string lines = LinesWith(text, {pid, "LM_DEBUG",
                                               "Could not initialize document directory. Possibly "
                                               "hosted in a service"});
    EXPECT_NE(lines, "") << path << " holds:\n" << text;
    // One record, with the source it came from.
    EXPECT_EQ(LinesWith(lines, {"sfileio("}), lines);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1) << lines;
    IOManager::ReleaseIOManager();
}

// Makes one module's allocations fail while armed: the module's import of the
// C runtime's malloc is pointed at a function that returns null then. The
// allocator is the outside world here; nothing in the library is replaced.
// The few bytes the runtime takes for a thread's exception state on its
// first throw still come: without them it aborts rather than throws, and a
// heap out of room for objects still has room for those.
using MallocFn = void*(__cdecl*)(size_t);
std::atomic<bool> g_failAllocations{false};
MallocFn g_realMalloc = nullptr;
constexpr size_t kSmallestFailing = 32;

void* __cdecl FailingMalloc(size_t size) {
    return g_failAllocations && size >= kSmallestFailing ? nullptr : g_realMalloc(size);
}

// Allocation fails for one scope; ends when an exception leaves the scope, so
// that the handler can allocate again.
struct FailingScope {
    FailingScope() { g_failAllocations = true; }
    ~FailingScope() { g_failAllocations = false; }
    FailingScope(const FailingScope&) = delete;
    FailingScope& operator=(const FailingScope&) = delete;
};

TEST(Memory, AnAllocationFailureReachesTheHostAsTheFrameworksMemoryException) {
    const struct {
        const char* name;
        HMODULE module;  // whose allocations fail
        std::function<void()> action;
    } cases[] = {
        {"a string the library loads", GetModuleHandleA("veskolib.dll"),
         [] { CVeskoLibApp::LoadStringA(1, IDS_MODE_DIRECT); }},
        {"the manager the library builds", GetModuleHandleA("veskolib.dll"),
         [] { IOManager::GetIOManager(); }},
        {"a string the host makes", GetModuleHandleA(nullptr), [] { CString text('x', 4096); }},
        {"a string the host appends to", GetModuleHandleA(nullptr),
         [] {
             CString text("short");
             text += CString('y', 4096);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vesko::test::ImportHook hook(c.module, "malloc", reinterpret_cast<void*>(&FailingMalloc));
        ASSERT_TRUE(hook.Hooked()) << "no malloc import to fail";
        g_realMalloc = reinterpret_cast<MallocFn>(hook.Original());
        std::string thrown = "nothing";
        try {
            FailingScope failing;
            c.action();
        } catch (CMemoryException* e) {
            thrown = "CMemoryException";
            e->Delete();
        } catch (CException* e) {
            thrown = std::string("another framework exception: ") + typeid(*e).name();
            e->Delete();
        } catch (const std::exception& e) {
            thrown = std::string(typeid(e).name()) + " (" + e.what() + ")";
        } catch (...) {
            thrown = "an unknown exception";
        }
        EXPECT_EQ(thrown, "CMemoryException");
    }
    // The failed build left no manager behind: the next call builds one.
    IOManager& manager = IOManager::GetIOManager();
    EXPECT_NE(manager.GetFileIOService(), nullptr);
    IOManager::ReleaseIOManager();
}

TEST(Memory, AnIndexOutsideTheStringIsAnInvalidArgument) {
    CString text("abc");
    const struct {
        const char* name;
        std::function<void()> action;
    } cases[] = {{"GetAt(-1)", [&] { text.GetAt(-1); }},
                 {"GetAt(4)", [&] { text.GetAt(4); }},
                 {"operator[](7)", [&] { (void)text[7]; }},
                 {"SetAt(3)", [&] { text.SetAt(3, 'x'); }}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string thrown = "nothing";
        try {
            c.action();
        } catch (CInvalidArgException* e) {
            thrown = "CInvalidArgException";
            e->Delete();
        } catch (const std::exception& e) {
            thrown = std::string(typeid(e).name()) + " (" + e.what() + ")";
        }
        EXPECT_EQ(thrown, "CInvalidArgException");
    }
    // The terminator may be read, as the framework's string allows.
    EXPECT_EQ(text.GetAt(3), '\0');
    EXPECT_STREQ(text, "abc");
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything else of this program calls into the library.
    g_winsockAfterLoad = WSACleanup() == 0 ? 0 : WSAGetLastError();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
