// Recorder: the kind of drive behind a CDExpManager selection. The manager
// parses the drive text, queues jobs on its worker and posts events 1, 2, 3,
// 5, 6 and 7; a recorder does the drive's own work and reports progress
// (event 4) through the RecorderJob it is given.
//   FolderRecorder  a folder that plays the disc (the virtual recorder)
//   ImageRecorder   an image file ("<file>.iso")
//   Imapi2Recorder  a real recorder behind a drive letter, through IMAPI2
#pragma once

#include "cdexpmanager.h"

#include <memory>
#include <string>

class RecorderJob;

class Recorder {
  public:
    virtual ~Recorder() = default;

    // The recorder for a parsed drive: IMAPI2 for a drive letter with a
    // recorder behind it, an image for an image file, otherwise a folder.
    static std::unique_ptr<Recorder> Create(const CDExpManager::Drive& drive);

    // eOK when a burn or erase could start now; otherwise what stands in its
    // way (eInvalidDrive, eNoMedia, eDriveBusy...).
    virtual CD::EError Validate() = 0;
    // The bytes a burn may still put on the medium, after file-system
    // overhead; 0 on a written write-once medium.
    virtual CD::EError FreeBytes(unsigned long long& free) = 0;
    // Burns source (a full path: a file, or a folder whose contents make the
    // disc), verifying afterwards when asked. Returns the CDResult error.
    // eCancelled / eStopped when the job's interruption ended it (the
    // manager then posts 7). Progress goes through job.
    virtual CD::EError Burn(const std::string& source, bool verify, RecorderJob& job) = 0;
    virtual CD::EError Erase(bool full, RecorderJob& job) = 0;
};
