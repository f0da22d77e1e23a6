// Module state switching, framework exceptions, critical sections, message
// maps and the start-up of a framework DLL (the probe DLL beside the test).
#include <afxwin.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "mfcprobe_ids.h"

namespace {

struct Probe {
    HMODULE module = LoadLibraryA("mfcprobe.dll");
    ~Probe() {
        if (module)
            FreeLibrary(module);
    }
    template <typename F>
    F Get(const char* name) const {
        return reinterpret_cast<F>(GetProcAddress(module, name));
    }
};

TEST(FrameworkDllStartUp, ConstructsTheAppAndRunsInitInstanceOnceInItsOwnState) {
    Probe probe;
    ASSERT_NE(probe.module, nullptr) << GetLastError();
    EXPECT_EQ(probe.Get<int (*)()>("ProbeInitCount")(), 1);
    EXPECT_TRUE(probe.Get<BOOL (*)()>("ProbeStateWasOwn")());
    EXPECT_TRUE(probe.Get<BOOL (*)()>("ProbeAppIsRegistered")());
    EXPECT_EQ(probe.Get<HINSTANCE (*)()>("ProbeResourceAtInit")(), probe.module);
    // The DLL's state is its own, not the process's.
    EXPECT_NE(probe.Get<AFX_MODULE_STATE* (*)()>("ProbeModuleState")(), AfxGetModuleState());
}

TEST(ModuleState, StringLookupFollowsTheCurrentState) {
    Probe probe;
    ASSERT_NE(probe.module, nullptr);
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

TEST(ModuleState, Maintain2RestoresThePreviousStateAlsoWhenAnExceptionPasses) {
    AFX_MODULE_STATE other = {};
    other.m_hCurrentResourceHandle = GetModuleHandleA("kernel32.dll");
    AFX_MODULE_STATE* before = AfxGetModuleState();
    try {
        AFX_MANAGE_STATE(&other);
        EXPECT_EQ(AfxGetModuleState(), &other);
        EXPECT_EQ(AfxGetResourceHandle(), other.m_hCurrentResourceHandle);
        AfxThrowResourceException();
    } catch (CResourceException* e) {
        e->Delete();
    }
    EXPECT_EQ(AfxGetModuleState(), before);
}

TEST(ModuleState, EachThreadHasItsOwnCurrentState) {
    AFX_MODULE_STATE other = {};
    AFX_MANAGE_STATE(&other);
    AFX_MODULE_STATE* seenByOtherThread = nullptr;
    std::thread([&] { seenByOtherThread = AfxGetModuleState(); }).join();
    EXPECT_NE(seenByOtherThread, &other);
    EXPECT_EQ(AfxGetModuleState(), &other);
}

TEST(FrameworkExceptions, MemoryExceptionIsStaticOthersAreHeapAndDeleteFreesThem) {
    CMemoryException* first = nullptr;
    CMemoryException* second = nullptr;
    try {
        AfxThrowMemoryException();
    } catch (CMemoryException* e) {
        first = e;
        e->Delete();  // a no-op for the static object
    }
    try {
        AfxThrowMemoryException();
    } catch (CException* e) {
        second = dynamic_cast<CMemoryException*>(e);
        e->Delete();
    }
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(first, second);

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

class CMapProbe : public CCmdTarget {
  public:
    void OnAbout() { ++m_calls; }
    int m_calls = 0;
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CMapProbe, CCmdTarget){WM_COMMAND, 0, 57664,
                                         57664,      1, static_cast<AFX_PMSG>(&CMapProbe::OnAbout)},
    END_MESSAGE_MAP()

        TEST(MessageMaps, EntriesAreFoundThroughTheMap) {
    CMapProbe target;
    const AFX_MSGMAP_ENTRY* entry = target.FindMessageMapEntry(WM_COMMAND, 0, 57664);
    ASSERT_NE(entry, nullptr);
    (target.*(entry->pfn))();
    EXPECT_EQ(target.m_calls, 1);
    EXPECT_EQ(target.FindMessageMapEntry(WM_COMMAND, 0, 1), nullptr);
}

}  // namespace
