// Doubles of DialogLib and ReportLib (dialoglib.dll and reportlib.dll with the real exports,
// built into the test programs' folder) and the helper tests drive them with. Tests and
// doubles, in this process or another (the broker inherits the variable), meet in two files in
// the folder named by VESKO_DIALOG_DOUBLE_DIR: one record a line, fields separated by a tab,
// and '%', tab, CR and LF in a field written %25, %09, %0D, %0A.
//
// script.txt (the test): <function> TAB <result> [TAB <key>=<value>]...
//   The n-th call of a function takes its n-th line (the last one again when there are fewer;
//   empty and '#' lines skipped); with none, or without the variable, IDCANCEL and no out
//   argument changes. Keys fill out arguments:
//     DoModalSaveImgDlg      path, filter (*value1 when not null), flags (*value2 likewise)
//     DoModalTrevoltFileDlg  path, file (repeatable: appended to the files vector in order)
//     DoModalFolderDlg       folder
//     DoModalPrintSelDialog  text (the result text)
// calls.log (the doubles): <function> TAB <process id> TAB <argument>..., written before the
//   answer applies. Arguments in the function's order: texts as given, numbers in decimal,
//   handles as 0x<hex>, DWORD* as "null" or "ptr", out texts and the files vector's size as on
//   entry.
#pragma once

#include <windows.h>

#include <vesko/raii.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace vesko::test {

constexpr const char* kDialogDoubleDirVariable = "VESKO_DIALOG_DOUBLE_DIR";
using Pairs = std::vector<std::pair<std::string, std::string>>;

// A file's records, their fields decoded; none when it cannot be read.
inline std::vector<std::vector<std::string>> ReadRecords(const std::string& path) {
    std::vector<std::vector<std::string>> records;
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        auto& fields = records.emplace_back(1);
        for (size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '\t') {
                fields.emplace_back();
            } else if (line[i] == '%' && i + 2 < line.size() &&
                       std::isxdigit(static_cast<unsigned char>(line[i + 1])) &&
                       std::isxdigit(static_cast<unsigned char>(line[i + 2]))) {
                fields.back() += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                fields.back() += line[i];
            }
        }
    }
    return records;
}

inline bool AppendRecord(const std::string& path, const std::vector<std::string>& fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        line += i ? "\t" : "";
        for (char c : fields[i]) {
            char code[4] = {c};
            if (c == '%' || c == '\t' || c == '\r' || c == '\n')
                std::snprintf(code, sizeof code, "%%%02X", c);
            line += code;
        }
    }
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << line << '\n';
    out.close();
    return !out.fail();
}

// One call the doubles logged.
struct DoubleCall {
    std::string function;
    unsigned long processId = 0;
    std::vector<std::string> args;
};

// Points VESKO_DIALOG_DOUBLE_DIR of this process (and of the processes it starts from now on) at
// folder, with an empty script and log, for one scope.
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

    // Appends the answer for the next call of function not yet scripted; false when the script
    // cannot be written.
    bool Answer(const std::string& function, int result, const Pairs& outs = {}) const {
        std::vector<std::string> fields{function, std::to_string(result)};
        for (const auto& [key, value] : outs)
            fields.push_back(key + "=" + value);
        return AppendRecord(ScriptPath(), fields);
    }

    // Every call logged so far, oldest first.
    std::vector<DoubleCall> Calls() const {
        std::vector<DoubleCall> calls;
        for (auto& fields : ReadRecords(LogPath())) {
            fields.resize(std::max<size_t>(fields.size(), 2));
            calls.push_back({fields[0],
                             std::strtoul(fields[1].c_str(), nullptr, 10),
                             {fields.begin() + 2, fields.end()}});
        }
        return calls;
    }

  private:
    std::string m_folder;
    std::string m_previous;
    bool m_hadPrevious = false;
};

// The doubles' side: logs a call of function and returns its scripted result and outs.
inline std::pair<int, Pairs> RecordCall(const char* function, std::vector<std::string> args) {
    char folder[MAX_PATH * 2] = {};
    if (!GetEnvironmentVariableA(kDialogDoubleDirVariable, folder, sizeof folder))
        return {IDCANCEL, {}};
    const std::string dir = folder;
    // Counting earlier calls and appending this one must not interleave with a double in another
    // thread or process.
    UniqueHandle mutex(CreateMutexA(nullptr, FALSE, "Local\\VeskoDialogDoubleLog"));
    const bool locked = mutex && WaitForSingleObject(mutex.Get(), 10000) != WAIT_FAILED;
    size_t earlier = 0, lines = 0;
    for (const auto& fields : ReadRecords(dir + "\\calls.log"))
        earlier += fields[0] == function;
    std::vector<std::string> chosen;  // the line number earlier, else the last one
    for (auto& fields : ReadRecords(dir + "\\script.txt"))
        if (fields.size() >= 2 && fields[0] == function && lines++ <= earlier)
            chosen = std::move(fields);
    args.insert(args.begin(), {function, std::to_string(GetCurrentProcessId())});
    AppendRecord(dir + "\\calls.log", args);
    if (locked)
        ReleaseMutex(mutex.Get());
    Pairs outs;
    for (size_t i = 2; i < chosen.size(); ++i)
        if (const size_t equals = chosen[i].find('='); equals != std::string::npos)
            outs.emplace_back(chosen[i].substr(0, equals), chosen[i].substr(equals + 1));
    return {chosen.empty() ? IDCANCEL : std::atoi(chosen[1].c_str()), outs};
}

inline std::string HandleField(const void* handle) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

}  // namespace vesko::test
