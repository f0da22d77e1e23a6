// Imapi2Recorder: a real recorder behind a drive letter, driven through
// IMAPI2 (imapi2.dll, Windows Vista and later). The burn writes one data
// session: the source laid out as a disc image (DiscImage, ISO 9660 + Joliet,
// with a UDF bridge on DVD and larger media) and streamed to IDiscFormat2Data
// through a DiscImageComStream, so nothing is staged on the hard disk.
//
// COM: every call enters the multithreaded apartment for its own duration
// when its thread is in no apartment yet, and leaves it again; a thread
// already in an apartment (STA or MTA) stays as it was.
//
// Threads: Write and EraseMedia run on a helper thread (Imapi2Worker) while
// the job's thread posts the progress IMAPI2 reports (from whichever thread
// IMAPI2 raises Update on) and sends the host's Cancel or Stop to the drive
// within 50 ms, whether or not the drive reports meanwhile. A caller in a
// single-threaded apartment writes on its own thread instead (progress and
// cancel then go with IMAPI2's Update events).
//
// ForDrive: a recorder only for a drive text that is a drive letter ("R:" or
// "R:\"), when IMAPI2 is there (Windows; not Wine) and lists a recorder whose
// volume path names that letter; otherwise null (the caller falls back to
// the folder recorder).
//
// Validate / FreeBytes read the drive without taking it. As with the folder
// recorder, a disc that already holds a session is a valid disc (a
// rewritable one can be erased) with no free space; only a burn refuses it.
//   eOK            a medium IMAPI2 can write or erase. FreeBytes: on a blank
//                  (or overwritable) medium the free sectors x 2048 less the
//                  file systems' own sectors (DiscImage::EmptySectorCount),
//                  0 at least; 0 on a medium that holds a session (closed,
//                  or appendable with data: the image is laid out from
//                  sector 0, so it cannot follow an earlier session)
//   eInvalidDrive  the recorder is gone, or IMAPI2 fails on it
//   eNoMedia       no medium, or one this recorder cannot write (a pressed
//                  disc, damaged, write-protected, unknown)
//   eDriveBusy     another program holds the recorder exclusively
//
// Burn(source, verify, job), in this order:
//   the drive's state as above (nothing touched yet) -> that error, and
//   eMediaNotBlank for a medium that holds a session
//   the image: eSourceNotFound / eNotSupported from DiscImage::Create
//   eNoSpace       the image needs more sectors than are free: the drive is
//                  not touched
//   an interruption asked for before the drive is taken -> eCancelled /
//                  eStopped, nothing written
//   eDriveBusy     exclusive access refused (another program took it)
//   then IMAPI2 writes, closing the medium (no later session is appended).
//   Progress: event 4 eProgressBurn from IMAPI2's Update events (sectors
//   written x 2048, of the image's bytes), then eProgressVerify while IMAPI2
//   verifies (verify asks IMAPI2 for a full verification through
//   IBurnVerification; IMAPI2 tells verification only in time, so it is
//   posted as elapsed / estimated time of the image's bytes). No 4 before
//   IMAPI2 reports; the phase ends at its total on success.
//   eOK            written (and verified)
//   eCancelled / eStopped  the job's interruption was seen and the write
//                  cancelled (CancelWrite). A disc has no undo:
//                  Stop and Cancel both leave an unclosed, partly written
//                  session; a write-once medium is then used up
//   eWriteFailed   IMAPI2 failed midway (a drive error, loss of streaming,
//                  the verification failed, a source file changed while it
//                  was read)
//   Exclusive access is released and the sink unadvised on every path.
//
// Erase(full, job) through IDiscFormat2Erase:
//   eInvalidDrive / eDriveBusy / eNoMedia as above
//   eNotSupported  a write-once or read-only medium: nothing to erase
//   an interruption asked for before the drive is taken -> eCancelled /
//                  eStopped, nothing erased
//   eOK            blank. full = true blanks the whole medium with
//                  eProgressErase progress (the medium's bytes, in
//                  proportion to IMAPI2's elapsed / estimated seconds);
//                  false blanks quickly, without progress
//   eWriteFailed   the drive failed to erase
//   What Cancel and Stop cannot do: IMAPI2 has no way to stop a blanking
//   once the drive runs it (IDiscFormat2Erase has no cancel). An
//   interruption that arrives after EraseMedia began is not honoured: the
//   erase runs to its end and reports eOK (the medium is blank), since
//   claiming eCancelled for a completed erase would tell the host its data
//   might still be there.
#pragma once

#include "recorder.h"

#include <memory>
#include <string>

struct IDiscRecorder2;

class Imapi2Recorder : public Recorder {
  public:
    // A recorder for drive, or null (see above).
    static std::unique_ptr<Recorder> ForDrive(const CDExpManager::Drive& drive);

    CD::EError Validate() override;
    CD::EError FreeBytes(unsigned long long& free) override;
    CD::EError Burn(const std::string& source, bool verify, RecorderJob& job) override;
    CD::EError Erase(bool full, RecorderJob& job) override;

    // The name IMAPI2 shows as the recorder's exclusive owner.
    static constexpr const wchar_t* kClientName = L"VeskoLib";

  private:
    // What the drive holds now.
    struct Medium {
        CD::EError state = CD::eOK;  // eOK: writable now
        int type = 0;                // IMAPI_MEDIA_PHYSICAL_TYPE
        unsigned long long freeSectors = 0;
        unsigned long long totalSectors = 0;
        bool udf = false;  // DVD and larger carry the UDF bridge
    };

    explicit Imapi2Recorder(std::wstring uniqueId);
    // The recorder, initialised; eInvalidDrive when it is gone.
    CD::EError OpenRecorder(struct IDiscRecorder2** recorder) const;
    // Reads the medium through the data format; state tells.
    CD::EError Inspect(IDiscRecorder2* recorder, Medium& medium) const;
    // Opens the recorder and inspects its medium, in COM for the call only:
    // the questions that take nothing (Validate, FreeBytes).
    CD::EError ReadMedium(Medium& medium) const;

    std::wstring m_uniqueId;
};
