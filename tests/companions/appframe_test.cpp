// AppFrameLib's application base against real satellite DLLs: this program
// ships companions_appframeENU.dll and companions_appframeDEU.dll beside
// itself, each with string 101 in its language, and has its own string 101.
#include "basewinapp.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <vesko/raii.h>

namespace {

constexpr const char* kProbeArgument = "--language-probe";
constexpr UINT kStringId = 101;

struct TestApp : BaseWinApp {};

std::string LoadText(HINSTANCE module, UINT id) {
    char text[256] = {};
    const int n = LoadStringA(module, id, text, sizeof text);
    return std::string(text, n > 0 ? static_cast<size_t>(n) : 0);
}

std::string Hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04lX", value);
    return text;
}

// A module state for module, as the framework makes for a module.
AFX_MODULE_STATE StateOf(HMODULE module) {
    AFX_MODULE_STATE state = {};
    state.m_hCurrentInstanceHandle = module;
    return state;
}

TEST(BaseWinApp, ASatelliteBecomesTheResourceModuleWhileTheAppLives) {
    AFX_MODULE_STATE state = StateOf(GetModuleHandleA(nullptr));
    const HINSTANCE program = state.m_hCurrentInstanceHandle;
    ASSERT_EQ(LoadText(program, kStringId), "from the program itself");
    {
        TestApp app;
        app.InitializeResources(&state);
        EXPECT_NE(state.m_hCurrentResourceHandle, program) << "no satellite was chosen";
        const std::string text = LoadText(state.m_hCurrentResourceHandle, kStringId);
        EXPECT_EQ(text, app.GetLanguageID() == 0x0407 ? "vom deutschen Satelliten"
                                                      : "from the English satellite")
            << "language " << Hex(app.GetLanguageID());
        // The framework's own lookups follow the state.
        AFX_MANAGE_STATE(&state);
        CString viaFramework;
        EXPECT_TRUE(viaFramework.LoadString(kStringId));
        EXPECT_EQ(std::string(viaFramework.GetString()), text);
        EXPECT_TRUE(app.InitInstance());
    }
    // The satellite went with the application: lookups are back on the module.
    EXPECT_EQ(state.m_hCurrentResourceHandle, program);
    // No kernel32<LANG>.dll lies beside kernel32: it keeps its own resources.
    AFX_MODULE_STATE kernel = StateOf(GetModuleHandleA("kernel32.dll"));
    TestApp app;
    app.InitializeResources(&kernel);
    EXPECT_EQ(kernel.m_hCurrentResourceHandle, kernel.m_hCurrentInstanceHandle);
    EXPECT_EQ(app.GetLanguageID(), GetUserDefaultUILanguage());
    app.InitializeResources(nullptr);  // ignored
}

// Runs this program as a probe under a Unix locale (which Wine turns into the
// user's UI language) and returns "<UI language>|<chosen language>|<text>".
std::string ProbeUnderLocale(const char* locale) {
    vesko::test::ScratchDir scratch("appframe");
    const std::string out = scratch / "probe.txt";
    // The environment block: ours with the locale variables replaced.
    std::string block;
    for (const char* p = GetEnvironmentStringsA(); *p; p += std::strlen(p) + 1) {
        const std::string entry = p, name = entry.substr(0, entry.find('='));
        if (name != "LANG" && name != "LC_ALL" && name != "LC_MESSAGES" && name != "LANGUAGE")
            block += entry + '\0';
    }
    block += std::string("LANG=") + locale + '\0' + "LC_ALL=" + locale + '\0' + '\0';
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string command = std::string("\"") + exe + "\" " + kProbeArgument + " \"" + out + "\"";
    STARTUPINFOA si{sizeof si};
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(exe, &command[0], nullptr, nullptr, FALSE, 0, &block[0], nullptr, &si, &pi))
        return "CreateProcess failed: " + vesko::test::Describe(GetLastError());
    vesko::UniqueHandle process(pi.hProcess), thread(pi.hThread);
    WaitForSingleObject(process.Get(), 30000);
    return vesko::test::ReadFileText(out);
}

TEST(BaseWinApp, ChoosesTheSatelliteOfTheUserLanguageElseEnglish) {
    const std::string german = ProbeUnderLocale("de_DE.UTF-8");
    if (german.rfind("0x0407|", 0) != 0)
        GTEST_SKIP() << "Wine did not take the UI language from the locale: " << german;
    EXPECT_EQ(german, "0x0407|0x0407|vom deutschen Satelliten");
    // No French satellite: English is the fallback, and the language reported.
    EXPECT_EQ(ProbeUnderLocale("fr_FR.UTF-8"), "0x040C|0x0409|from the English satellite");
    EXPECT_EQ(ProbeUnderLocale("en_US.UTF-8"), "0x0409|0x0409|from the English satellite");
}

int Probe(const char* out) {
    AFX_MODULE_STATE state = StateOf(GetModuleHandleA(nullptr));
    TestApp app;
    app.InitializeResources(&state);
    const std::string line = Hex(GetUserDefaultUILanguage()) + "|" + Hex(app.GetLanguageID()) +
                             "|" + LoadText(state.m_hCurrentResourceHandle, kStringId);
    return vesko::test::WriteFileText(out, line) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::strcmp(argv[1], kProbeArgument) == 0)
        return Probe(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
