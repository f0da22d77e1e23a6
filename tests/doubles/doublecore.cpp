#include "doublecore.h"

#include "dialogdouble.h"

#include <vesko/raii.h>

#include <cstdio>

namespace vesko::test {

const std::string* ScriptedAnswer::Find(const std::string& key) const {
    for (const auto& out : outs)
        if (out.first == key)
            return &out.second;
    return nullptr;
}

std::vector<std::string> ScriptedAnswer::All(const std::string& key) const {
    std::vector<std::string> values;
    for (const auto& out : outs)
        if (out.first == key)
            values.push_back(out.second);
    return values;
}

std::string HandleField(const void* handle) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

std::string PointerField(const void* pointer) {
    return pointer ? "ptr" : "null";
}

ScriptedAnswer RecordCall(const char* function, const std::vector<std::string>& args) {
    ScriptedAnswer answer;
    char folder[MAX_PATH * 2] = {};
    if (!GetEnvironmentVariableA(kDialogDoubleDirVariable, folder, sizeof folder))
        return answer;
    const std::string script = std::string(folder) + "\\script.txt";
    const std::string log = std::string(folder) + "\\calls.log";

    // Counting earlier calls and appending this one must not interleave with
    // a double in another thread or process.
    UniqueHandle mutex(CreateMutexA(nullptr, FALSE, "Local\\VeskoDialogDoubleLog"));
    const bool locked = mutex && WaitForSingleObject(mutex.Get(), 10000) != WAIT_FAILED;

    size_t earlier = 0;
    for (const std::string& line : ReadLines(log))
        if (SplitFields(line)[0] == function)
            ++earlier;
    std::vector<std::vector<std::string>> answers;
    for (const std::string& line : ReadLines(script)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> fields = SplitFields(line);
        if (fields[0] == function && fields.size() >= 2)
            answers.push_back(std::move(fields));
    }

    std::string record = EncodeField(function) + "\t" + std::to_string(GetCurrentProcessId());
    for (const std::string& arg : args)
        record += "\t" + EncodeField(arg);
    record += "\n";
    if (FILE* file = std::fopen(log.c_str(), "ab")) {
        std::fwrite(record.data(), 1, record.size(), file);
        std::fclose(file);
    }
    if (locked)
        ReleaseMutex(mutex.Get());

    if (answers.empty())
        return answer;
    const std::vector<std::string>& chosen = answers[std::min(earlier, answers.size() - 1)];
    answer.result = std::atoi(chosen[1].c_str());
    for (size_t i = 2; i < chosen.size(); ++i) {
        const size_t equals = chosen[i].find('=');
        if (equals == std::string::npos)
            continue;
        answer.outs.emplace_back(chosen[i].substr(0, equals), chosen[i].substr(equals + 1));
    }
    return answer;
}

}  // namespace vesko::test
