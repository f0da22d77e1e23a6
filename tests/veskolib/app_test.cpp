// veskolib.dll as a host loads it: its application object has chosen the
// English satellite beside it at load, and CVeskoLibApp::LoadStringA looks
// there or in the caller's resources.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include <cveskolibapp.h>
#include <fileioservice.h>
#include <iomanager.h>

#include "res/veskolibres.h"

namespace {

constexpr unsigned int kUnknownId = 4242;

TEST(LoadStringA, LibraryStateFindsTheSatellitesTextWhileTheHostsStateIsCurrent) {
    AFX_MODULE_STATE* host = AfxGetModuleState();
    ASSERT_EQ(host->m_hCurrentResourceHandle, GetModuleHandleA(nullptr));
    const CString library = CVeskoLibApp::LoadStringA(1, IDS_VESKOLIB_NAME);
    EXPECT_STREQ(library, "VeskoLib");
    EXPECT_STREQ(CVeskoLibApp::LoadStringA(1, IDS_MODE_DIRECT),
                 "Direct mode: every service acts in this process");
    EXPECT_EQ(AfxGetModuleState(), host);
}

TEST(LoadStringA, CallersStateFindsTheCallersText) {
    EXPECT_STREQ(CVeskoLibApp::LoadStringA(0, 1), "String of the test program");
}

TEST(LoadStringA, UnknownIdThrowsAResourceExceptionAndRestoresTheState) {
    AFX_MODULE_STATE* host = AfxGetModuleState();
    for (int useLibrary : {1, 0}) {
        bool thrown = false;
        try {
            const CString s = CVeskoLibApp::LoadStringA(useLibrary, kUnknownId);
            ADD_FAILURE() << "returned \"" << s.GetString() << "\" for an unknown id (state "
                          << useLibrary << ")";
        } catch (CResourceException* e) {
            thrown = true;
            e->Delete();
        }
        EXPECT_TRUE(thrown) << "state " << useLibrary;
        EXPECT_EQ(AfxGetModuleState(), host) << "state " << useLibrary;
    }
}

TEST(LoadStringA, WorksOnAnyThread) {
    CString seen;
    std::thread worker([&seen] { seen = CVeskoLibApp::LoadStringA(1, IDS_VESKOLIB_NAME); });
    worker.join();
    EXPECT_STREQ(seen, "VeskoLib");
}

TEST(Host, GetsTheManagerAndTheFolderTableThroughTheDll) {
    IOManager& manager = IOManager::GetIOManager();
    EXPECT_EQ(&manager, &IOManager::GetIOManager());
    // The stand-in beside the program answers "direct" unless told otherwise.
    EXPECT_FALSE(manager.IsIEProtectedMode());
    FileIOService* fileIO = manager.GetFileIOService();
    ASSERT_NE(fileIO, nullptr);
    const CString writable = fileIO->GetWritableDir();
    EXPECT_NE(writable.Find("\\Cadra\\4.7\\Temp"), -1) << writable.GetString();
    EXPECT_EQ(GetFileAttributesA(writable) & FILE_ATTRIBUTE_DIRECTORY,
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_NE(manager.GetFileDlgService(), nullptr);
    IOManager::ReleaseIOManager();
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
