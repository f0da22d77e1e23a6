// The part both dialog doubles share: log a call, find its scripted answer.
// File formats: dialogdouble.h.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace vesko::test {

struct ScriptedAnswer {
    int result = IDCANCEL;
    std::vector<std::pair<std::string, std::string>> outs;

    // The value of the first key, or null.
    const std::string* Find(const std::string& key) const;
    // Every value of key, in script order.
    std::vector<std::string> All(const std::string& key) const;
};

// Appends the call to calls.log and returns its answer from script.txt.
ScriptedAnswer RecordCall(const char* function, const std::vector<std::string>& args);

std::string HandleField(const void* handle);
std::string PointerField(const void* pointer);

}  // namespace vesko::test
