// The real ReportLib print-selection dialog, driven by a thread that plays
// the user: finds the dialog, reads it, picks a choice and closes it. The
// test folder holds ReportLib's double, so the real DLL is loaded from the
// product folder by path.
#include "reportlib.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

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

// What the simulated user saw and did.
struct User {
    int pick = -1;  // the choice to click, -1 to cancel
    std::string caption;
    std::string prompt;
    int initiallyChecked = -1;
    bool found = false;
};

void PlayUser(User& user, const char* caption) {
    HWND dialog = nullptr;
    for (int i = 0; i < 500 && !dialog; ++i) {
        dialog = FindWindowA(nullptr, caption);
        if (!dialog)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!dialog)
        return;
    // The dialog is up once its controls exist.
    for (int i = 0; i < 200 && !GetDlgItem(dialog, IDOK); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    user.found = true;
    char text[256] = {};
    GetWindowTextA(dialog, text, sizeof text);
    user.caption = text;
    HWND prompt = FindWindowExA(dialog, nullptr, "Static", nullptr);
    GetWindowTextA(prompt, text, sizeof text);
    user.prompt = text;
    // The three choices are the radio buttons, in order.
    HWND radios[3] = {};
    HWND child = nullptr;
    for (int n = 0; n < 3;) {
        child = FindWindowExA(dialog, child, "Button", nullptr);
        if (!child)
            break;
        if ((GetWindowLongA(child, GWL_STYLE) & 0xF) == BS_AUTORADIOBUTTON)
            radios[n++] = child;
    }
    for (int i = 0; i < 3; ++i)
        if (radios[i] && SendMessageA(radios[i], BM_GETCHECK, 0, 0) == BST_CHECKED)
            user.initiallyChecked = i;
    if (user.pick >= 0 && radios[user.pick]) {
        SendMessageA(radios[user.pick], BM_CLICK, 0, 0);
        PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    } else {
        PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    }
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
        // Product binaries sit in bin/, beside the test folder bin-test/.
        char exe[MAX_PATH] = {};
        GetModuleFileNameA(nullptr, exe, MAX_PATH);
        std::string path = exe;
        path = path.substr(0, path.find_last_of('\\')) + "\\..\\bin\\reportlib.dll";
        char full[MAX_PATH] = {};
        GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
        library.Reset(LoadLibraryExA(full, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
        ASSERT_TRUE(library) << full << ": " << vesko::test::Describe(GetLastError());
        show =
            reinterpret_cast<PrintSelDialogFn>(FindExport(library.Get(), "DoModalPrintSelDialog"));
        ASSERT_NE(show, nullptr);
    }

    struct Module {
        HMODULE h = nullptr;
        ~Module() {
            if (h)
                FreeLibrary(h);
        }
        void Reset(HMODULE m) { h = m; }
        HMODULE Get() const { return h; }
        explicit operator bool() const { return h != nullptr; }
    } library;
    PrintSelDialogFn show = nullptr;
};

TEST_F(PrintDialog, ReturnsTheChoiceTheUserPicked) {
    User user;
    user.pick = 2;
    std::thread player(PlayUser, std::ref(user), "Print study");
    CString result("unchanged");
    const int answer =
        show(nullptr, 1, CString("Print study"), CString("Which images shall be printed?"), result);
    player.join();
    ASSERT_TRUE(user.found) << "the dialog never appeared; answer " << answer;
    EXPECT_EQ(answer, IDOK);
    EXPECT_STREQ(result, "Current image");
    EXPECT_EQ(user.caption, "Print study");
    EXPECT_EQ(user.prompt, "Which images shall be printed?");
    EXPECT_EQ(user.initiallyChecked, 1);
}

TEST_F(PrintDialog, CancelLeavesTheResultAlone) {
    User user;
    std::thread player(PlayUser, std::ref(user), "Print");
    CString result("unchanged");
    // An empty caption gets the default; an out-of-range choice the first.
    const int answer = show(nullptr, 7, CString(), CString(""), result);
    player.join();
    ASSERT_TRUE(user.found) << "the dialog never appeared; answer " << answer;
    EXPECT_EQ(answer, IDCANCEL);
    EXPECT_STREQ(result, "unchanged");
    EXPECT_EQ(user.initiallyChecked, 0);
}

}  // namespace
