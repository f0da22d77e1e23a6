// The optional policy file "veskobroker.policy" beside veskobroker.exe, read
// once when the broker starts. It widens what the broker serves; it can never
// narrow the built-in rules. Format: one setting per line, "name = value";
// blank lines and lines starting with '#' or ';' are ignored.
//
//   root = <absolute folder>          a folder tree the file methods and the
//                                     disc recorder may work in
//   registry = <key below HKCU>       a key whose DWORD values may be set
//
// Lines that are not understood, and values that the broker's path or key
// rules refuse, are skipped and named in the audit log.
#pragma once

#include <string>
#include <vector>

namespace vesko::broker {

class PolicyFile {
  public:
    struct Entry {
        unsigned line = 0;
        std::wstring name;   // lower case
        std::wstring value;  // blanks around it removed
    };

    // Reads the file; false when there is none (which is not an error).
    bool Load(const std::wstring& path);

    const std::vector<Entry>& Entries() const { return m_entries; }
    // Lines that are neither settings nor comments.
    const std::vector<unsigned>& BadLines() const { return m_badLines; }

    // "<folder of this executable>\veskobroker.policy".
    static std::wstring BesideExecutable();

  private:
    std::vector<Entry> m_entries;
    std::vector<unsigned> m_badLines;
};

}  // namespace vesko::broker
