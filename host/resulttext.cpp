#include "resulttext.h"

#include <cstdio>

namespace veskohost {

std::string ResultText(DWORD code) {
    char head[32];
    std::snprintf(head, sizeof head, code > 0xFFFF ? "0x%08lX" : "%lu",
                  static_cast<unsigned long>(code));
    if (code == 0xFFFFFFFF)
        return std::string(head) + " (refused by the library: not a plain folder, or empty)";
    char text[512] = {};
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                        0, text, sizeof text, nullptr))
        return std::string(head) + " (no system text)";
    std::string t = text;
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r' || t.back() == ' '))
        t.pop_back();
    return std::string(head) + " (" + t + ")";
}

std::string DiscResultText(CD::EError error) {
    switch (error) {
        case CD::eOK:
            return "eOK (done)";
        case CD::eBrokerFailure:
            return "eBrokerFailure (the broker call did not succeed)";
        case CD::eNoDrive:
            return "eNoDrive (no drive selected)";
        case CD::eInvalidDrive:
            return "eInvalidDrive (the drive is missing or not a recorder)";
        case CD::eDriveBusy:
            return "eDriveBusy (another disc job is running)";
        case CD::eNoSpace:
            return "eNoSpace (the source does not fit on the disc)";
        case CD::eSourceNotFound:
            return "eSourceNotFound (nothing to burn at that path)";
        case CD::eWriteFailed:
            return "eWriteFailed (writing to the disc failed)";
        case CD::eCancelled:
            return "eCancelled (the job was cancelled)";
        case CD::eStopped:
            return "eStopped (the job was stopped)";
        case CD::eNotSupported:
            return "eNotSupported (the drive cannot do that)";
        case CD::eNoMedia:
            return "eNoMedia (no disc, or one the drive cannot write)";
        case CD::eMediaNotBlank:
            return "eMediaNotBlank (the disc is not blank)";
    }
    return "unknown disc result " + std::to_string(static_cast<unsigned>(error));
}

}  // namespace veskohost
