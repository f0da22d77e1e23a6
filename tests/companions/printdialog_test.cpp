// The real ReportLib print-selection dialog, loaded from the product folder
// by path, with a thread playing the user.
#include "reportlib.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <vesko/raii.h>

namespace {

using PrintSelDialogFn = int (*)(HWND, int, CString, const CString&, CString&);

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

TEST(PrintDialog, ReturnsTheChoiceTheUserPickedAndLeavesTheResultOnCancel) {
    // The test folder holds ReportLib's double; the product sits in bin/.
    char full[MAX_PATH] = {};
    GetFullPathNameA((vesko::test::ProgramFolder() + "\\..\\bin\\reportlib.dll").c_str(), MAX_PATH,
                     full, nullptr);
    vesko::UniqueModule library(LoadLibraryExA(full, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    ASSERT_TRUE(library) << full << ": " << vesko::test::Describe(GetLastError());
    // The export under the name this compiler gives the function.
    const auto show = reinterpret_cast<PrintSelDialogFn>(GetProcAddress(
        library.Get(),
        "_Z21DoModalPrintSelDialogP6HWND__i8CStringTIc15StrTraitMFC_DLLIcEERKS4_RS4_"));
    ASSERT_NE(show, nullptr);

    const struct {
        int choice;
        CString caption;
        const char* shownAs;
        CString prompt;
        int pick;  // -1: cancel
        std::string seen, answer;
    } rows[] = {
        {1, "Print study", "Print study", "Which images shall be printed?", 2,
         "Print study|Which images shall be printed?|1", "1 Current image"},
        // An empty caption gets the default; an out-of-range choice the first.
        {7, "", "Print", "", -1, "Print||0", "2 unchanged"},
    };
    for (const auto& row : rows) {
        CString result("unchanged");
        std::string seen;
        std::thread player(PlayUser, std::ref(seen), row.shownAs, row.pick);
        const int answer = show(nullptr, row.choice, row.caption, row.prompt, result);
        player.join();
        EXPECT_EQ(seen, row.seen);
        EXPECT_EQ(std::to_string(answer) + " " + result.GetString(), row.answer) << row.seen;
    }
}

}  // namespace
