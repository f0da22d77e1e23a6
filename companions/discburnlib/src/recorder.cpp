#include "recorder.h"

#include "folderrecorder.h"

std::unique_ptr<Recorder> Recorder::Create(const CDExpManager::Drive& drive) {
    return std::make_unique<FolderRecorder>(drive);
}
