#include "recorder.h"

#include "folderrecorder.h"
#include "imagerecorder.h"
#include "imapi2recorder.h"

std::unique_ptr<Recorder> Recorder::Create(const CDExpManager::Drive& drive) {
    if (drive.image)
        return std::make_unique<ImageRecorder>(drive);
    if (auto recorder = Imapi2Recorder::ForDrive(drive))
        return recorder;
    return std::make_unique<FolderRecorder>(drive);
}
