// veskolib.dll as a host loads it: its application object has chosen the
// English satellite beside it at load, and CVeskoLibApp::LoadStringA looks
// there or in the caller's resources.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include <cveskolibapp.h>

#include "res/veskolibres.h"

namespace {

TEST(LoadStringA, EachStateFindsItsOwnTextAndAnUnknownIdThrowsWithTheHostStateKept) {
    AFX_MODULE_STATE* host = AfxGetModuleState();
    ASSERT_EQ(host->m_hCurrentResourceHandle, GetModuleHandleA(nullptr));
    // The program's table holds id 1 too, with another text. Null: throws.
    const struct {
        int useLibrary;
        unsigned int id;
        const char* expected;
    } cases[] = {{1, IDS_VESKOLIB_NAME, "VeskoLib"},
                 {1, IDS_MODE_DIRECT, "Direct mode: every service acts in this process"},
                 {0, IDS_VESKOLIB_NAME, "String of the test program"},
                 {1, 4242, nullptr},
                 {0, 4242, nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE("state " + std::to_string(c.useLibrary) + ", id " + std::to_string(c.id));
        try {
            EXPECT_STREQ(CVeskoLibApp::LoadStringA(c.useLibrary, c.id),
                         c.expected ? c.expected : "(a resource exception)");
        } catch (CResourceException* e) {
            e->Delete();
            EXPECT_EQ(c.expected, nullptr) << "threw";
        }
        EXPECT_EQ(AfxGetModuleState(), host);
    }
    CString seen;
    std::thread([&seen] { seen = CVeskoLibApp::LoadStringA(1, IDS_VESKOLIB_NAME); }).join();
    EXPECT_STREQ(seen, "VeskoLib") << "on another thread";
}

}  // namespace
