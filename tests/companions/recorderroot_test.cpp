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
using vesko::test::ScratchDrive;

namespace {

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
    ScratchDrive drive(disc.Path());
    ASSERT_FALSE(drive.Root().empty()) << "no drive letter could be mapped to " << disc.Path();
    const std::string image = source / "image.bin";
    ASSERT_TRUE(vesko::test::WriteFileText(image, std::string(10 * 1024, 'x')));

    CDExpManager recorder;
    JobLog log;
    recorder.AddObserver(&log);
    ASSERT_EQ(recorder.SetDrive((drive.Root() + "\\?size=1048576").c_str()), CD::eOK);
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
