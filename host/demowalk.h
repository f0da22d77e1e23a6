// The demo's walk through every service of the library, in whichever mode
// the library chose. Each step prints its result code in words.
#pragma once

#include <windows.h>

#include <string>

class FileIOService;
class CDExpService;

namespace veskohost {

class DemoWalk {
  public:
    // Runs the walk; returns the number of steps whose result was not the
    // one expected.
    int Run();

  private:
    void PrintFolders(FileIOService& io);
    void FileSteps(FileIOService& io);
    void RegistrySteps(FileIOService& io);
    void HelpSteps(FileIOService& io);
    void DiscSteps(CDExpService& disc);
    void Cleanup(FileIOService& io);

    // Prints one step; a result outside the expected ones counts as a failure.
    void Step(const char* what, DWORD code, DWORD expected = 0, DWORD alsoAccepted = 0);
    void Check(const char* what, bool ok, const std::string& detail);

    std::string m_scratch;
    std::string m_writableDir;
    int m_failures = 0;
};

}  // namespace veskohost
