#include "reportlib.h"

#include <string>
#include <vector>

namespace {

const char* const kChoices[] = {"All images", "Selected images", "Current image"};
constexpr int kChoiceCount = 3;
constexpr WORD kFirstChoiceId = 1001;
constexpr WORD kPromptId = 1000;
constexpr WORD kButtonClass = 0x0080;
constexpr WORD kStaticClass = 0x0082;

std::wstring Wide(const char* text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (n <= 0)
        return {};
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &out[0], n);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

// An in-memory dialog template: the header, then each item on a DWORD
// boundary, strings as UTF-16. The vector's storage is suitably aligned.
class DialogTemplate {
  public:
    DialogTemplate(const std::wstring& title, short cx, short cy, WORD items) {
        PutDword(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | DS_SETFONT);
        PutDword(0);  // extended style
        m_words.push_back(items);
        PutShorts(0, 0, cx, cy);
        m_words.push_back(0);  // no menu
        m_words.push_back(0);  // the standard dialog class
        PutText(title);
        m_words.push_back(8);  // font size in points
        PutText(L"MS Shell Dlg");
    }
    void AddItem(DWORD style, short x, short y, short cx, short cy, WORD id, WORD classAtom,
                 const std::wstring& text) {
        if (m_words.size() % 2)
            m_words.push_back(0);
        PutDword(style | WS_CHILD | WS_VISIBLE);
        PutDword(0);
        PutShorts(x, y, cx, cy);
        m_words.push_back(id);
        m_words.push_back(0xFFFF);
        m_words.push_back(classAtom);
        PutText(text);
        m_words.push_back(0);  // no creation data
    }
    const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(m_words.data()); }

  private:
    void PutDword(DWORD value) {
        m_words.push_back(LOWORD(value));
        m_words.push_back(HIWORD(value));
    }
    void PutShorts(short a, short b, short c, short d) {
        for (short s : {a, b, c, d})
            m_words.push_back(static_cast<WORD>(s));
    }
    void PutText(const std::wstring& text) {
        m_words.insert(m_words.end(), text.begin(), text.end());
        m_words.push_back(0);
    }

    std::vector<WORD> m_words;
};

struct DialogState {
    int choice;
};

INT_PTR CALLBACK PrintSelectionProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            SetWindowLongPtrA(dialog, DWLP_USER, lParam);
            const auto* state = reinterpret_cast<const DialogState*>(lParam);
            CheckRadioButton(dialog, kFirstChoiceId, kFirstChoiceId + kChoiceCount - 1,
                             kFirstChoiceId + state->choice);
            return TRUE;
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK) {
                auto* state = reinterpret_cast<DialogState*>(GetWindowLongPtrA(dialog, DWLP_USER));
                for (int i = 0; i < kChoiceCount; ++i)
                    if (IsDlgButtonChecked(dialog, kFirstChoiceId + i) == BST_CHECKED)
                        state->choice = i;
                EndDialog(dialog, IDOK);
                return TRUE;
            }
            if (LOWORD(wParam) == IDCANCEL) {
                EndDialog(dialog, IDCANCEL);
                return TRUE;
            }
            break;
        default:
            break;
    }
    return FALSE;
}

HINSTANCE ThisModule() {
    HMODULE self = nullptr;
    GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(&PrintSelectionProc), &self);
    return self;
}

}  // namespace

int DoModalPrintSelDialog(HWND owner, int choice, CString caption, const CString& prompt,
                          CString& result) {
    DialogState state{choice >= 0 && choice < kChoiceCount ? choice : 0};
    DialogTemplate dialog(Wide(caption.IsEmpty() ? "Print" : caption.GetString()), 180, 104, 6);
    dialog.AddItem(SS_LEFT, 7, 7, 166, 18, kPromptId, kStaticClass, Wide(prompt.GetString()));
    for (int i = 0; i < kChoiceCount; ++i) {
        const DWORD style = BS_AUTORADIOBUTTON | WS_TABSTOP | (i == 0 ? WS_GROUP : 0);
        dialog.AddItem(style, 14, static_cast<short>(28 + 14 * i), 150, 12,
                       static_cast<WORD>(kFirstChoiceId + i), kButtonClass, Wide(kChoices[i]));
    }
    dialog.AddItem(BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP, 68, 83, 50, 14, IDOK, kButtonClass,
                   L"OK");
    dialog.AddItem(BS_PUSHBUTTON | WS_TABSTOP, 123, 83, 50, 14, IDCANCEL, kButtonClass, L"Cancel");

    const INT_PTR answer = DialogBoxIndirectParamA(
        ThisModule(), dialog.Get(), owner, PrintSelectionProc, reinterpret_cast<LPARAM>(&state));
    if (answer == IDOK)
        result = kChoices[state.choice];
    return static_cast<int>(answer);
}
