// The real ReportLib print-selection dialog, loaded from the product folder
// by path, with a thread playing the user.
#include "reportlib.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <vesko/raii.h>

namespace {

using PrintSelDialogFn = int (*)(HWND, int, CString, const CString&, CString&);

// The export whose decorated name contains name, found in the module's
// export table (the C++ decoration belongs to the compiler).
FARPROC FindExport(HMODULE module, const char* name) {
    auto* base = reinterpret_cast<const BYTE*>(module);
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const auto& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (!dir.VirtualAddress)
        return nullptr;
    auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        const char* exported = reinterpret_cast<const char*>(base + names[i]);
        if (std::strstr(exported, name))
            return GetProcAddress(module, exported);
    }
    return nullptr;
}

// Plays the user: waits for the dialog with caption, then reports
// "<caption>|<prompt>|<index of the checked choice>", clicks the choice pick
// (-1: cancels) and closes the dialog.
void PlayUser(std::string& seen, const char* caption, int pick) {
    HWND dialog = nullptr;
    for (int i = 0; i < 500 && !(dialog = FindWindowA(nullptr, caption)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // The dialog is up once its controls exist.
    for (int i = 0; dialog && i < 200 && !GetDlgItem(dialog, IDOK); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!dialog)
        return;
    char title[256] = {}, prompt[256] = {};
    GetWindowTextA(dialog, title, sizeof title);
    GetWindowTextA(FindWindowExA(dialog, nullptr, "Static", nullptr), prompt, sizeof prompt);
    // The three choices are the radio buttons, in order.
    std::vector<HWND> radios;
    for (HWND child = nullptr; (child = FindWindowExA(dialog, child, "Button", nullptr));)
        if ((GetWindowLongA(child, GWL_STYLE) & 0xF) == BS_AUTORADIOBUTTON)
            radios.push_back(child);
    int checked = -1;
    for (size_t i = 0; i < radios.size(); ++i)
        if (SendMessageA(radios[i], BM_GETCHECK, 0, 0) == BST_CHECKED)
            checked = static_cast<int>(i);
    seen = std::string(title) + "|" + prompt + "|" + std::to_string(checked);
    if (pick >= 0 && pick < static_cast<int>(radios.size()))
        SendMessageA(radios[static_cast<size_t>(pick)], BM_CLICK, 0, 0);
    PostMessageA(dialog, WM_COMMAND, pick >= 0 ? IDOK : IDCANCEL, 0);
}

class PrintDialog : public ::testing::Test {
  protected:
    void SetUp() override {
        // Without a display, Wine can show windows only through its null
        // graphics driver (HKCU\Software\Wine\Drivers, Graphics = "null",
        // set before the prefix's wineserver starts).
        HWND probe = CreateWindowExA(0, "STATIC", "probe", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                     nullptr, nullptr);
        if (!probe)
            GTEST_SKIP()
                << "this Wine prefix cannot create windows (no display, no null graphics driver)";
        DestroyWindow(probe);
        // The test folder holds ReportLib's double; the product sits in bin/.
        char exe[MAX_PATH] = {}, full[MAX_PATH] = {};
        GetModuleFileNameA(nullptr, exe, MAX_PATH);
        std::string path = exe;
        path = path.substr(0, path.find_last_of('\\')) + "\\..\\bin\\reportlib.dll";
        GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
        library.Reset(LoadLibraryExA(full, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
        ASSERT_TRUE(library) << full << ": " << vesko::test::Describe(GetLastError());
        show =
            reinterpret_cast<PrintSelDialogFn>(FindExport(library.Get(), "DoModalPrintSelDialog"));
        ASSERT_NE(show, nullptr);
    }

    // Shows the dialog while a thread plays the user; returns the answer.
    int Show(int choice, const CString& caption, const char* shownAs, const CString& prompt,
             CString& result, int pick, std::string& seen) {
        std::thread player(PlayUser, std::ref(seen), shownAs, pick);
        const int answer = show(nullptr, choice, caption, prompt, result);
        player.join();
        return answer;
    }

    vesko::UniqueModule library;
    PrintSelDialogFn show = nullptr;
};

TEST_F(PrintDialog, ReturnsTheChoiceTheUserPicked) {
    CString result("unchanged");
    std::string seen;
    const int answer =
        Show(1, "Print study", "Print study", "Which images shall be printed?", result, 2, seen);
    EXPECT_EQ(seen, "Print study|Which images shall be printed?|1") << "answer " << answer;
    EXPECT_EQ(answer, IDOK);
    EXPECT_STREQ(result, "Current image");
}

TEST_F(PrintDialog, CancelLeavesTheResultAlone) {
    CString result("unchanged");
    std::string seen;
    // An empty caption gets the default; an out-of-range choice the first.
    const int answer = Show(7, CString(), "Print", "", result, -1, seen);
    EXPECT_EQ(seen, "Print||0") << "answer " << answer;
    EXPECT_EQ(answer, IDCANCEL);
    EXPECT_STREQ(result, "unchanged");
}

}  // namespace
