// ImageRecorder: a disc image file ("<file>.iso") stands for the disc in the
// drive. A missing or empty file is a blank disc; a burn writes one whole
// image of the source (ISO 9660 + Joliet, with UDF where needed), which
// closes the disc. A closed disc takes no second burn (eMediaNotBlank): a
// rewritable one is erased first (the file is removed), a write-once one
// (cd-r, dvd-r, ...) cannot be erased (eNotSupported).
//
// Space: the capacity in whole 2048-byte sectors less the file systems' own
// sectors on a blank disc, 0 on a closed one. A burn whose image (file data
// in whole sectors plus every directory and descriptor) exceeds the capacity
// is refused with eNoSpace before anything is written.
//
// The image is written under a temporary name beside the file and renamed
// once complete (and verified, when asked): a failed, cancelled or stopped
// burn leaves the disc blank, never half written. Verification reads the
// written image back through an independent reader and compares every file
// with its source. All-zero stretches of the image are left as holes where
// the file system supports it, so a sparse source stays cheap.
#pragma once

#include "recorder.h"

class ImageRecorder : public Recorder {
  public:
    explicit ImageRecorder(const CDExpManager::Drive& drive);

    CD::EError Validate() override;
    CD::EError FreeBytes(unsigned long long& free) override;
    CD::EError Burn(const std::string& source, bool verify, RecorderJob& job) override;
    CD::EError Erase(bool full, RecorderJob& job) override;

  private:
    // Whether the disc holds an image (the file exists and is not empty).
    bool IsWritten() const;
    // UDF is added for anything larger than a CD.
    bool WantsUdf() const;
    unsigned long long CapacitySectors() const;

    CDExpManager::Drive m_drive;
};
