#include "recorder.h"

#include "folderrecorder.h"
#include "imagerecorder.h"

std::unique_ptr<Recorder> Recorder::Create(const CDExpManager::Drive& drive) {
    if (drive.image)
        return std::make_unique<ImageRecorder>(drive);
    return std::make_unique<FolderRecorder>(drive);
}
