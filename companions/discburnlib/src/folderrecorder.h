// FolderRecorder: the virtual recorder. A folder stands for the disc: its
// contents are the disc's contents, its free space the capacity minus the
// bytes of the files in it. A burn copies into it (each file under a
// temporary name, renamed when complete), an erase empties it. On
// write-once media a folder that holds anything is a closed disc.
#pragma once

#include "recorder.h"

class FolderRecorder : public Recorder {
  public:
    explicit FolderRecorder(const CDExpManager::Drive& drive);

    CD::EError Validate() override;
    CD::EError FreeBytes(unsigned long long& free) override;
    CD::EError Burn(const std::string& source, bool verify, RecorderJob& job) override;
    CD::EError Erase(bool full, RecorderJob& job) override;

  private:
    CDExpManager::Drive m_drive;
};
