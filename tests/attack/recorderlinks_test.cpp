// The virtual recorder in direct mode: a burn copies no link. Under Wine a
// host link to a file lists as the file itself, so a burn of a folder that
// holds one would copy the file it leads to (wherever that is) onto the disc.
#include "cdexpmanager.h"
#include "cdprogress.h"
#include "cdresult.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <vesko/raii.h>

namespace {

using vesko::test::Exists;
using vesko::test::ScratchDir;

// Signals when a job has finished (event 6). The records are the service's.
class JobEnd : public Observer {
  public:
    void OnEvent(Observable*, unsigned int eventId, void*) override {
        if (eventId == 6)
            SetEvent(m_done.Get());
    }
    bool Wait() const { return WaitForSingleObject(m_done.Get(), 10000) == WAIT_OBJECT_0; }

  private:
    vesko::UniqueHandle m_done{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
};

TEST(RecorderLinks, ABurnCopiesNeitherAFileLinkNorAFolderLink) {
    ScratchDir source("rl-source"), disc("rl-disc"), outside("rl-outside");
    ASSERT_TRUE(vesko::test::WriteFileText(source / "plain.txt", "plain"));
    ASSERT_TRUE(vesko::test::WriteFileText(outside / "secret.txt", "secret"));
    ASSERT_TRUE(CreateDirectoryA((outside / "folder").c_str(), nullptr));
    ASSERT_TRUE(vesko::test::WriteFileText(outside / "folder\\inner.txt", "inner"));
    // A link to a file is no reparse point to Wine: HostLink cannot see it
    // made, so it is looked for by name.
    vesko::test::HostLink(source / "file-link.txt", outside / "secret.txt");
    ASSERT_TRUE(vesko::test::HostLink(source / "folder-link", outside / "folder"));
    ASSERT_TRUE(Exists(source / "file-link.txt"));

    CDExpManager recorder;
    JobEnd end;
    recorder.AddObserver(&end);
    ASSERT_EQ(CD::eOK, recorder.SetDrive(disc.Path().c_str()));
    recorder.StartBurn(source.Path().c_str(), false);
    ASSERT_TRUE(end.Wait()) << "the burn did not end";
    recorder.RemoveObserver(&end);

    EXPECT_TRUE(Exists(disc / "plain.txt"));
    EXPECT_FALSE(Exists(disc / "file-link.txt")) << "the file a link leads to was copied";
    EXPECT_FALSE(Exists(disc / "folder-link")) << "a folder link was copied";
    // The links go by themselves (deleting a file link under Wine takes its
    // target with it: the scratch target is expendable, the link is removed
    // first all the same).
    vesko::test::HostLink(source / "file-link.txt");
    vesko::test::HostLink(source / "folder-link");
}

}  // namespace
