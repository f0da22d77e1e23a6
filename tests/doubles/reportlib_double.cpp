// ReportLib's export, answering from a script instead of showing a dialog.
#include "reportlib.h"

#include "doublecore.h"

using vesko::test::HandleField;
using vesko::test::RecordCall;

int DoModalPrintSelDialog(HWND owner, int choice, CString caption, const CString& prompt,
                          CString& result) {
    const auto answer = RecordCall("DoModalPrintSelDialog",
                                   {HandleField(owner), std::to_string(choice), caption.GetString(),
                                    prompt.GetString(), result.GetString()});
    if (const std::string* value = answer.Find("text"))
        result = value->c_str();
    return answer.result;
}
