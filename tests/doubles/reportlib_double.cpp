// ReportLib's export, answering from a script instead of showing a dialog.
#include "reportlib.h"

#include "dialogdouble.h"

int DoModalPrintSelDialog(HWND owner, int choice, CString caption, const CString& prompt,
                          CString& result) {
    const auto [answer, outs] = vesko::test::RecordCall(
        "DoModalPrintSelDialog", {vesko::test::HandleField(owner), std::to_string(choice),
                                  caption.GetString(), prompt.GetString(), result.GetString()});
    for (const auto& [key, value] : outs)
        if (key == "text")
            result = value.c_str();
    return answer;
}
