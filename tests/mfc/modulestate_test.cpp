// Module state switching, framework exceptions, critical sections and the
// start-up of a framework DLL (the probe DLL beside the test).
#include <afxwin.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include <vesko/raii.h>

#include "mfcprobe_ids.h"

namespace {

struct Probe {
    vesko::UniqueModule module{LoadLibraryA("mfcprobe.dll")};
    template <typename F>
    F Get(const char* name) const {
        return reinterpret_cast<F>(GetProcAddress(module.Get(), name));
    }
};

TEST(FrameworkDll, StartsInItsOwnStateAndItsStringsAreFoundOnlyThere) {
    Probe probe;
    ASSERT_TRUE(probe.module) << GetLastError();
    EXPECT_STREQ(probe.Get<const char* (*)()>("ProbeStartup")(),
                 "init 1, own state 1, registered 1, own resources 1");
    EXPECT_NE(probe.Get<AFX_MODULE_STATE* (*)()>("ProbeModuleState")(), AfxGetModuleState());

    // String lookups follow the current state.
    CString text;
    ASSERT_TRUE(text.LoadString(IDS_PROBE_SHARED));
    EXPECT_EQ(text, "text of the test program");
    EXPECT_FALSE(text.LoadString(IDS_PROBE_DLL_ONLY));
    char buffer[128] = {};
    ASSERT_TRUE(
        probe.Get<BOOL (*)(UINT, char*, int)>("ProbeLoadOwnString")(IDS_PROBE_SHARED, buffer, 128));
    EXPECT_STREQ(buffer, "text of the probe DLL");
    // After the call the test program's state is current again.
    ASSERT_TRUE(text.LoadString(IDS_PROBE_EXE_ONLY));
    EXPECT_EQ(text, "only in the test program");
}

TEST(ModuleState, ManagedStateIsPerThreadAndRestoredAlsoWhenAnExceptionPasses) {
    AFX_MODULE_STATE other = {};
    other.m_hCurrentResourceHandle = GetModuleHandleA("kernel32.dll");
    AFX_MODULE_STATE* before = AfxGetModuleState();
    try {
        AFX_MANAGE_STATE(&other);
        EXPECT_EQ(AfxGetModuleState(), &other);
        EXPECT_EQ(AfxGetResourceHandle(), other.m_hCurrentResourceHandle);
        AFX_MODULE_STATE* seenByOtherThread = nullptr;
        std::thread([&] { seenByOtherThread = AfxGetModuleState(); }).join();
        EXPECT_NE(seenByOtherThread, &other);
        AfxThrowResourceException();
    } catch (CResourceException* e) {
        e->Delete();
    }
    EXPECT_EQ(AfxGetModuleState(), before);
}

TEST(FrameworkExceptions, MemoryExceptionIsStaticOthersAreHeapAndDeleteFreesThem) {
    CException* thrown[2] = {};
    for (CException*& slot : thrown) {
        try {
            AfxThrowMemoryException();
        } catch (CException* e) {
            slot = e;
            e->Delete();  // a no-op for the static object
        }
    }
    EXPECT_NE(dynamic_cast<CMemoryException*>(thrown[0]), nullptr);
    EXPECT_EQ(thrown[0], thrown[1]);
    try {
        AfxThrowOleException(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
        FAIL() << "no exception";
    } catch (COleException* e) {
        EXPECT_EQ(e->m_sc, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
        char text[256] = {};
        EXPECT_TRUE(e->GetErrorMessage(text, sizeof text));
        EXPECT_GT(lstrlenA(text), 0);
        e->Delete();
    }
    // E_OUTOFMEMORY takes the form of the memory exception.
    EXPECT_THROW(AfxThrowOleException(E_OUTOFMEMORY), CMemoryException*);
}

TEST(CriticalSectionTest, SerialisesThreads) {
    CCriticalSection cs;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                CSingleLock lock(&cs, TRUE);
                const long seen = counter;
                counter = seen + 1;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 80000);
    EXPECT_EQ(cs.m_sect.SpinCount & 0xFFFFFF, 0u);
}

}  // namespace
