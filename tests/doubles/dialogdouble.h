// Test doubles of DialogLib and ReportLib, and the helper tests use to drive
// them. The doubles are built as dialoglib.dll and reportlib.dll into the
// test programs' folder with the real libraries' exports: a program (or the
// broker, started from it) that loads them there gets scripted answers
// instead of dialogs nobody could click.
//
// They talk to tests through two files in the folder named by the
// environment variable VESKO_DIALOG_DOUBLE_DIR, so that a double loaded in
// another process (the broker inherits the variable) is driven the same way.
// Both files hold one record a line; fields are separated by one tab; in
// every field '%', tab, CR and LF are written %25, %09, %0D, %0A.
//
// script.txt, written by the test: answers.
//   <function> TAB <result> [TAB <key>=<value>]...
//   Empty lines and lines starting with '#' are ignored. The n-th call of a
//   function answers with the n-th line for that function (calls counted in
//   calls.log); when there are fewer lines, the last one answers again; with
//   none, or without VESKO_DIALOG_DOUBLE_DIR, the result is IDCANCEL (2)
//   and no out argument changes. The function returns <result>; each key
//   fills an out argument:
//     DoModalSaveImgDlg      path=<text>   filter=<n> (*value1, when not
//                            null)  flags=<n> (*value2, when not null)
//     DoModalTrevoltFileDlg  path=<text>   file=<text> (repeatable: each is
//                            appended to the files vector, in order)
//     DoModalFolderDlg       folder=<text>
//     DoModalPrintSelDialog  text=<text>   (the result text)
//
// calls.log, appended by the doubles: one line per call, written before the
// answer is applied.
//   <function> TAB <process id> TAB <argument>...
//   Arguments in the function's order: texts as given, numbers in decimal,
//   window and instance handles as 0x<hex>, DWORD* as "null" or "ptr",
//   out texts as their value on entry, the files vector as its size on
//   entry:
//     DoModalSaveImgDlg      title folder filterIndex fileName extension
//                            owner instance flags path value1 value2
//     DoModalTrevoltFileDlg  mode extension fileName flags filter owner
//                            path files
//     DoModalFolderDlg       owner title folder
//     DoModalPrintSelDialog  owner choice caption prompt result
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace vesko::test {

constexpr const char* kDialogDoubleDirVariable = "VESKO_DIALOG_DOUBLE_DIR";

inline std::string EncodeField(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '%':
                out += "%25";
                break;
            case '\t':
                out += "%09";
                break;
            case '\r':
                out += "%0D";
                break;
            case '\n':
                out += "%0A";
                break;
            default:
                out += c;
        }
    }
    return out;
}

inline std::string DecodeField(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const std::string hex = text.substr(i + 1, 2);
            char* end = nullptr;
            const long value = std::strtol(hex.c_str(), &end, 16);
            if (end == hex.c_str() + 2) {
                out += static_cast<char>(value);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

// A line's fields, decoded.
inline std::vector<std::string> SplitFields(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        fields.push_back(DecodeField(
            line.substr(start, tab == std::string::npos ? std::string::npos : tab - start)));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

// A file's lines without their line ends; empty when it cannot be read.
inline std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return lines;
    std::string line;
    for (int c; (c = std::fgetc(file)) != EOF;) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines.push_back(line);
            line.clear();
        } else {
            line += static_cast<char>(c);
        }
    }
    if (!line.empty())
        lines.push_back(line);
    std::fclose(file);
    return lines;
}

// One call the doubles logged.
struct DoubleCall {
    std::string function;
    unsigned long processId = 0;
    std::vector<std::string> args;
};

// Points VESKO_DIALOG_DOUBLE_DIR of this process (and of the processes it
// starts from now on) at folder, with an empty script and log, for one
// scope; the previous value comes back afterwards.
class DialogDouble {
  public:
    explicit DialogDouble(std::string folder) : m_folder(std::move(folder)) {
        char previous[MAX_PATH * 2] = {};
        m_hadPrevious =
            GetEnvironmentVariableA(kDialogDoubleDirVariable, previous, sizeof previous) > 0;
        m_previous = previous;
        DeleteFileA(ScriptPath().c_str());
        DeleteFileA(LogPath().c_str());
        SetEnvironmentVariableA(kDialogDoubleDirVariable, m_folder.c_str());
    }
    ~DialogDouble() {
        SetEnvironmentVariableA(kDialogDoubleDirVariable,
                                m_hadPrevious ? m_previous.c_str() : nullptr);
    }
    DialogDouble(const DialogDouble&) = delete;
    DialogDouble& operator=(const DialogDouble&) = delete;

    std::string ScriptPath() const { return m_folder + "\\script.txt"; }
    std::string LogPath() const { return m_folder + "\\calls.log"; }

    // Appends the answer for the next call of function not yet scripted.
    // Returns false when the script cannot be written.
    bool Answer(const std::string& function, int result,
                const std::vector<std::pair<std::string, std::string>>& outs = {}) const {
        std::string line = EncodeField(function) + "\t" + std::to_string(result);
        for (const auto& out : outs)
            line += "\t" + EncodeField(out.first + "=" + out.second);
        line += "\n";
        FILE* file = std::fopen(ScriptPath().c_str(), "ab");
        if (!file)
            return false;
        const bool ok = std::fwrite(line.data(), 1, line.size(), file) == line.size();
        return std::fclose(file) == 0 && ok;
    }

    // Every call logged so far, oldest first.
    std::vector<DoubleCall> Calls() const {
        std::vector<DoubleCall> calls;
        for (const std::string& line : ReadLines(LogPath())) {
            std::vector<std::string> fields = SplitFields(line);
            DoubleCall call;
            call.function = fields[0];
            if (fields.size() > 1)
                call.processId = std::strtoul(fields[1].c_str(), nullptr, 10);
            if (fields.size() > 2)
                call.args.assign(fields.begin() + 2, fields.end());
            calls.push_back(std::move(call));
        }
        return calls;
    }

  private:
    std::string m_folder;
    std::string m_previous;
    bool m_hadPrevious = false;
};

}  // namespace vesko::test
