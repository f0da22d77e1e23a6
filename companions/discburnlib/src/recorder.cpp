#include "recorder.h"

#include "folderrecorder.h"
#include "imapi2recorder.h"

std::unique_ptr<Recorder> Recorder::Create(const CDExpManager::Drive& drive) {
    if (auto recorder = Imapi2Recorder::ForDrive(drive))
        return recorder;
    return std::make_unique<FolderRecorder>(drive);
}
