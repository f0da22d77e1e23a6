// The virtual recorder on a whole drive: a drive letter of the Wine prefix
// mapped to an empty scratch folder, so that the disc folder is a drive root.
// A root lists no "." or ".." entries, so an empty one lists nothing at all.
#include "cdexpmanager.h"
#include "cdprogress.h"
#include "cdresult.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include <vesko/raii.h>

using vesko::test::ScratchDir;

namespace {

// The Unix name of a Windows path (Wine's own export), empty when unknown.
std::string UnixName(const std::string& path) {
    using UnixNameFn = char*(CDECL*)(LPCWSTR);
    const auto unixName = reinterpret_cast<UnixNameFn>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name"));
    std::wstring wide(path.size() + 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    char* name = unixName ? unixName(wide.c_str()) : nullptr;
    const std::string out = name ? name : "";
    HeapFree(GetProcessHeap(), 0, name);
    return out;
}

// Starts a host command (Wine starts Unix programs by their path) and waits
// until done() holds: the end of such a program cannot be waited for.
bool RunHost(const char* program, std::string command, const std::function<bool()>& done) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (CreateProcessA(program, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &info)) {
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    for (int i = 0; i < 100 && !done(); ++i)
        Sleep(20);
    return done();
}

// A free drive letter mapped to a folder for one scope, through the prefix's
// dosdevices folder (what Wine resolves drive letters with, live).
class MappedDrive {
  public:
    explicit MappedDrive(const std::string& folder) {
        const std::string c = UnixName("C:\\");  // <prefix>/dosdevices/c:/
        const size_t at = c.rfind("/c:/");
        if (at == std::string::npos)
            return;
        // The first letter that names no drive.
        char letter = 'V';
        while (letter > 'L' &&
               GetDriveTypeA((std::string(1, letter) + ":\\").c_str()) != DRIVE_NO_ROOT_DIR)
            --letter;
        const std::string root = std::string(1, letter) + ":\\";
        if (letter == 'L')
            return;
        m_link = c.substr(0, at + 1) + static_cast<char>(letter - 'A' + 'a') + ":";
        if (RunHost("Z:\\bin\\ln", "ln -s \"" + UnixName(folder) + "\" \"" + m_link + "\"",
                    [&] { return GetFileAttributesA(root.c_str()) != INVALID_FILE_ATTRIBUTES; }))
            m_root = root;
    }
    ~MappedDrive() {
        if (!m_link.empty())
            RunHost("Z:\\bin\\rm", "rm -f \"" + m_link + "\"", [this] {
                return GetFileAttributesA(m_root.c_str()) == INVALID_FILE_ATTRIBUTES;
            });
    }
    MappedDrive(const MappedDrive&) = delete;
    MappedDrive& operator=(const MappedDrive&) = delete;
    // "X:\", empty when no letter could be mapped.
    const std::string& Root() const { return m_root; }

  private:
    std::string m_link;
    std::string m_root;
};

// The events of one job as "id:data ...", once its 6 has arrived. Records
// are the service's: an observer only reads them.
class JobLog : public Observer {
  public:
    void OnEvent(Observable*, unsigned int eventId, void* data) override {
        std::string text = std::to_string(eventId) + ":";
        if (eventId == 4)
            return;  // how often progress comes is not the point here
        if (eventId == 5) {
            const auto* result = static_cast<CDResult*>(data);
            text += std::to_string(result->GetFirst()) + "," + std::to_string(result->GetSecond());
        } else {
            text += std::to_string(reinterpret_cast<uintptr_t>(data));
        }
        std::lock_guard<std::mutex> lock(m_lock);
        m_text += (m_text.empty() ? "" : " ") + text;
        m_finished = eventId == 6;
        m_arrived.notify_all();
    }
    std::string WaitFinished() {
        std::unique_lock<std::mutex> lock(m_lock);
        m_arrived.wait_for(lock, std::chrono::seconds(30), [this] { return m_finished; });
        m_finished = false;
        return std::exchange(m_text, {});
    }

  private:
    std::mutex m_lock;
    std::condition_variable m_arrived;
    std::string m_text;
    bool m_finished = false;
};

TEST(RecorderOnADriveRoot, AnEmptyRootIsAValidDiscWithItsWholeCapacityFree) {
    ScratchDir disc("rootdisc"), source("rootsrc");
    MappedDrive drive(disc.Path());
    ASSERT_FALSE(drive.Root().empty()) << "no drive letter could be mapped to " << disc.Path();
    const std::string image = source / "image.bin";
    ASSERT_TRUE(vesko::test::WriteFileText(image, std::string(10 * 1024, 'x')));

    CDExpManager recorder;
    JobLog log;
    recorder.AddObserver(&log);
    ASSERT_EQ(recorder.SetDrive((drive.Root() + "?size=1048576").c_str()), CD::eOK);
    unsigned long long space = 7;
    const struct {
        const char* step;
        std::function<std::string()> run;
        std::string expected;
    } steps[] = {
        {"valid", [&] { return std::to_string(recorder.IsValid()); }, "1"},
        {"validate", [&] { return std::to_string(recorder.ValidateDrive()); }, "0"},
        {"space",
         [&] {
             const CD::EError e = recorder.GetDriveAvailSpace(space);
             return std::to_string(e) + " " + std::to_string(space);
         },
         "0 1048576"},
        {"space job",
         [&] {
             recorder.StartGetDriveAvailSpace();
             return log.WaitFinished();
         },
         "1:0 3:1024 6:3"},
        {"erase empty",
         [&] {
             recorder.StartErase(false);
             return log.WaitFinished();
         },
         "1:0 5:2,0 6:2"},
        {"burn",
         [&] {
             recorder.StartBurn(image.c_str(), true);
             const std::string events = log.WaitFinished();
             return events + " " + vesko::test::ReadFileText(disc / "image.bin").substr(0, 3);
         },
         "1:0 5:1,0 6:1 xxx"},
        {"space used",
         [&] {
             const CD::EError e = recorder.GetDriveAvailSpace(space);
             return std::to_string(e) + " " + std::to_string(space);
         },
         "0 " + std::to_string(1048576 - 10 * 1024)},
        {"erase",
         [&] {
             recorder.StartErase(true);
             const std::string events = log.WaitFinished();
             return events + " " + std::to_string(vesko::test::Exists(disc / "image.bin"));
         },
         "1:0 5:2,0 6:2 0"},
    };
    for (const auto& s : steps)
        EXPECT_EQ(s.run(), s.expected) << s.step << " on " << drive.Root();
    recorder.RemoveObserver(&log);
}

}  // namespace
