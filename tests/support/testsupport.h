// Helpers shared by the test programs.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include <vesko/raii.h>

namespace vesko::test {

// A fresh folder under %TEMP% that is removed with everything in it when the
// object goes away. Path() has no trailing separator.
class ScratchDir {
  public:
    explicit ScratchDir(const char* tag = "t");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& Path() const { return m_path; }
    // Path() + "\\" + relative.
    std::string operator/(const std::string& relative) const { return m_path + "\\" + relative; }

  private:
    std::string m_path;
};

// Writes a file (creating nothing but the file); returns false on failure.
bool WriteFileText(const std::string& path, const std::string& text);
// Writes a file of any Unicode name, of any length ("\\?\" is put before a
// full path); returns false on failure.
bool WriteFileWide(const std::wstring& path, const std::string& data);
// size bytes that no two paths share: a file read in another one's place
// shows.
std::string DistinctBytes(const std::wstring& path, size_t size);
// The file's contents, or an empty string when it cannot be read.
std::string ReadFileText(const std::string& path);
bool Exists(const std::string& path);
bool IsDir(const std::string& path);
// Removes a tree without following junctions, whatever its names; clears
// read-only attributes.
void RemoveTree(const std::string& path);
// Makes a symbolic link to target (or, with no target, removes link) through
// the host's ln or rm: Wine creates no junction, but it reports host symbolic
// links as reparse points. True when the link is a reparse point (or gone)
// afterwards.
bool HostLink(const std::string& link, const std::string& target = {});
// The Unix name Wine gives a Windows path; "" when it has none.
std::string UnixName(const std::string& path);
// Starts a host program through Wine (program as a Windows path, such as
// Z:\bin\ln). Wine gives no handle that tells when it ends: callers watch
// for its effect, with WaitFor (true when done() held in time).
bool StartOnHost(const char* program, std::string commandLine);
bool WaitFor(const std::function<bool()>& done, DWORD milliseconds);
// Runs a bash script on the host in folder (a Windows path), with a UTF-8
// locale (host tools turn disc names into the locale's characters), and
// waits for it: its exit status, -1 when it could not start or did not end in
// time. output gets what it printed on both streams.
int RunOnHost(const std::string& folder, const std::string& script, std::string& output,
              DWORD milliseconds = 120000);
// A free drive letter of the prefix pointed at a folder for one scope. Wine
// finds its drives through the links in the prefix's dosdevices folder
// (DefineDosDevice does not reach its file access), so the link is made there.
class ScratchDrive {
  public:
    explicit ScratchDrive(const std::string& folder);
    ~ScratchDrive();
    ScratchDrive(const ScratchDrive&) = delete;
    ScratchDrive& operator=(const ScratchDrive&) = delete;
    // "Q:", or "" when no drive could be mapped.
    std::string Root() const { return m_letter ? std::string(1, m_letter) + ":" : ""; }

  private:
    char m_letter = 0;
    std::string m_link;
};
// Points one of the user's shell folders elsewhere in the prefix's HKCU for
// one scope and restores the value exactly (type and data, or its absence).
class ShellFolderRedirect {
  public:
    ShellFolderRedirect(const char* value, const std::string& path);
    ~ShellFolderRedirect();
    ShellFolderRedirect(const ShellFolderRedirect&) = delete;
    ShellFolderRedirect& operator=(const ShellFolderRedirect&) = delete;

  private:
    const char* m_value;
    bool m_had;
    DWORD m_type = 0, m_size = 1024;
    BYTE m_data[1024] = {};
};
// Takes the broker's LocalServer32 registration away for one scope and puts
// it back afterwards, in both registry views (a 32-bit broker is registered in
// both, and COM may look in either); ok tells whether there was one to take.
class BrokerUnregistered {
  public:
    BrokerUnregistered();
    ~BrokerUnregistered();
    BrokerUnregistered(const BrokerUnregistered&) = delete;
    BrokerUnregistered& operator=(const BrokerUnregistered&) = delete;
    static constexpr const char* kKey =
        "Software\\Classes\\CLSID\\{2068FDF2-0BE6-47E8-B5C9-CCE78A2FCA9D}\\LocalServer32";
    bool ok = false;

  private:
    struct View {
        REGSAM flag;
        bool taken = false;
        char command[MAX_PATH * 2] = {};
        DWORD size = sizeof(command);
    };
    View m_views[2] = {{KEY_WOW64_64KEY}, {KEY_WOW64_32KEY}};
};
// This program's full path, and the folder that holds it (the broker, the
// doubles and the helper DLLs sit beside it).
std::string ThisProgram();
std::string ProgramFolder();
// Starts command (with environment, a block, when given); the process, none
// when it cannot (the reason is in GetLastError).
vesko::UniqueHandle StartProcess(std::string command, char* environment = nullptr);
// "0x%08X (text of FormatMessage)" for failure messages.
std::string Describe(DWORD code);

// Trees written as entries separated by '|', relative to a root: "a\\b\\" is a
// folder, "^a\\b\\" a system folder, "a\\f.txt" a file, "!a\\f.txt" a read-only
// one. MakeTree makes the missing parents and writes each file's own entry
// into it; false when a file or an attribute could not be made.
bool MakeTree(const std::string& root, const std::string& entries);
// What differs from the expectation, or "" when nothing does: each entry of
// present must be there (a folder when it ends in '\\'; "f=text" also checks
// the contents), none of absent. An entry starting with '=' is a path as given.
std::string TreeMismatch(const std::string& root, const std::string& present,
                         const std::string& absent);

// Points one module's import of a function (by name, from whichever DLL) at
// a replacement for the object's life, and back afterwards: how a test makes
// the C runtime fail or watches it for one module only. Hooked() is false
// when the module imports no such function.
class ImportHook {
  public:
    ImportHook(HMODULE module, const char* function, void* replacement);
    ~ImportHook();
    ImportHook(const ImportHook&) = delete;
    ImportHook& operator=(const ImportHook&) = delete;
    bool Hooked() const { return m_slot != nullptr; }
    // What the import pointed at before.
    void* Original() const { return m_original; }

  private:
    void Write(void* target);
    void** m_slot = nullptr;
    void* m_original = nullptr;
};

}  // namespace vesko::test
