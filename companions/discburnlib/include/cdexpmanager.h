// CDExpManager: the disc export service of DiscBurnLib. The drive text
// chooses what stands behind it:
//   - a drive letter ("E:", "E:\") with a recorder behind it: the disc in
//     that drive, written through IMAPI2 (Windows' own burning service) from
//     the same image as below;
//   - "<file>.iso": a disc image file, ISO 9660 with Joliet names (and a UDF
//     bridge for files of 4 GiB or more, names Joliet cannot hold, and media
//     larger than a CD), which any burner, virtual drive or operating system
//     reads. A missing or empty file is a blank disc; a burn writes the whole
//     image at once and closes the disc;
//   - any other folder: the virtual recorder. The folder's contents are the
//     disc's contents, its free space the capacity minus the bytes of the
//     files in it; burning copies into the folder, erasing empties it.
//     Machines without a burner (and the tests) use it in place of a drive.
// Every event, record and error below is the same whichever stands behind.
//
// Drive text (SetDrive / GetDrive): the path, then options after "?", joined
// by "&", each at most once, case-insensitive:
//   a medium (default cd)   capacity (2048-byte sectors)      write-once
//     cd, cd-rw / cd-r      360000 (an 80-minute CD)          cd-r
//     dvd, dvd-rw / dvd-r   2295104 (single layer, 4.7 GB)    dvd-r
//     dvd-dl / dvd-dl-r     4171712 (dual layer, 8.5 GB)      dvd-dl-r
//     bd, bd-re / bd-r      12219392 (25 GB)                  bd-r
//   size=<bytes>            any capacity, decimal, above 0 (an image holds
//                           the whole sectors of it); rewritable
//   speed=<KiB per second>  a burn writes no faster (a real drive's pace;
//                           tests use it to cancel a burn that is surely
//                           still running)
// e.g. "D:\export\study.iso?dvd-r&speed=1385". A name ending in ".iso" is an
// image; with a trailing separator it is a folder of that name. A trailing
// separator on a folder is ignored. The folder or image need not exist when
// the drive is selected (a drive without a disc): IsValid and ValidateDrive
// tell. On a real drive the medium in it decides capacity and kind; the
// options other than speed are ignored there.
//
// Media rules. A write-once disc takes one burn: once it holds anything, a
// burn is refused with eMediaNotBlank and its free space is 0; erasing it is
// refused with eNotSupported. An image takes one burn whatever its kind (it
// is written as one closed session): a rewritable one is erased first. The
// virtual recorder's rewritable folders take any number of burns.
//
// Synchronous operations:
//   IsValid             true when a drive is selected and its folder exists.
//   SetDrive(text)      eOK: selected. Null or "": the selection is cleared,
//                       eNoDrive. Malformed text: eInvalidDrive, the previous
//                       selection stays. While a job runs: eDriveBusy,
//                       nothing changes.
//   GetDrive(out)       eOK with the text SetDrive accepted; eNoDrive (and an
//                       empty string) when none is selected.
//   GetDriveAvailSpace  eOK with the free bytes (0 when the folder holds more
//                       than the capacity, or a write-once disc holds
//                       anything); an image's in whole sectors after the file
//                       systems' own, 0 once written; eNoDrive; eInvalidDrive
//                       when the folder is missing or not a folder, or an
//                       image's folder is missing or the image is a folder or
//                       a link.
//   ValidateDrive       eNoDrive, eInvalidDrive (as above) or eOK.
//
// Jobs. StartBurn, StartErase, StartGetDriveAvailSpace and StartValidateDrive
// return at once; the job runs on the manager's worker thread, which posts
// its events (Observable::PostEvent, delivered on that thread). One job runs
// at a time. Events, with the data argument:
//   1  null                  the job started
//   2  CD::EError (bits)     validation result
//   3  free KiB (bits)       space query result, capped at 0xFFFFFFFF
//   4  new CDProgress        progress: kind, value1 = KiB done,
//                            value2 = KiB of the whole job
//   5  new CDResult          burn/erase outcome: first = operation
//                            (1 burn, 2 erase), second = CD::EError
//   6  operation (bits)      the job finished: 1 burn, 2 erase,
//                            3 space query, 4 validation
//   7  operation (bits)      the job was cancelled or stopped; posted
//                            before its 5 and 6
// "(bits)" data is the pointer's own value, no address: nothing to free. The
// records of events 4 and 5 are allocated for that one event and belong to
// the delivery: observers borrow them for the duration of their OnEvent and
// the manager destroys each one after every observer has returned. Each job
// posts, in this order:
//   StartValidateDrive       1, 2 (the ValidateDrive result), 6(4)
//   StartGetDriveAvailSpace  1, 3 (free KiB; 0 without a usable drive), 6(3)
//   StartBurn(source, verify)
//                            1, 4(burn)..., [4(verify)...], [7(1)], 5(1, e), 6(1)
//   StartErase(full)         1, [4(erase)...], [7(2)], 5(2, e), 6(2)
// A job that fails before moving data posts no 4. Progress starts at 0 KiB,
// never decreases, and ends at the total; while data moves it is posted at
// least every 1% of the total (jobs above 400 KiB; smaller ones in 4 KiB
// steps) and at least every 100 ms. A job is no longer busy when its 5 (or
// 2, 3) is posted, so an observer may start the next job from there; that
// job's 1 follows this job's 6.
//
// Burn: source is a file, copied into the disc folder under its own name, or
// a folder, whose whole tree is copied into the disc folder (its contents,
// not the folder itself). Files of the same name on the disc are replaced.
// verify = true compares every copied file with its source afterwards. The
// space needed (the source's file bytes) is checked against the free space
// before anything is written. Each file is written under a temporary name
// and renamed when complete, so the disc never shows a half-copied file.
// Outcomes (CDResult second):
//   eOK             copied (and verified)
//   eNoDrive        no drive selected
//   eInvalidDrive   the drive's folder is missing or not a folder
//   eSourceNotFound source null, empty, missing or unreadable
//   eNotSupported   the source and the disc folder lie inside each other,
//                   or the image file lies inside the source
//   eMediaNotBlank  a write-once disc (or an image) that already holds a burn
//   eNoSpace        more than fits: nothing written
//   eWriteFailed    a write or the verification failed: what the job wrote
//                   is removed again
//   eCancelled      Cancel: what the job wrote is removed
//   eStopped        Stop: the files completed before it stay, the file in
//                   progress is discarded
//   eDriveBusy      another job was running (see below)
// An image burn writes the image of the source (its 4 counts the image's
// bytes, its verification the files' bytes) under a temporary name beside
// the image file, renamed once complete and verified: after eWriteFailed,
// eCancelled or eStopped the disc is still blank. A source file that changes
// size or vanishes while the image is written gives eSourceNotFound.
// Erase: full = true deletes file by file with eProgressErase progress
// (KiB of deleted files); false deletes without progress. Outcomes: eOK,
// eNoDrive, eInvalidDrive, eWriteFailed (a file or folder could not be
// deleted), eCancelled / eStopped (deleting ends at the next file; what is
// deleted stays deleted), eDriveBusy; eNotSupported on write-once media.
// An image's erase removes the image file (full: one 4 for its bytes).
//
// Cancel and Stop act on the running (or accepted, not yet started) job and
// take effect within one 256 KiB chunk; without a job they do nothing.
// Cancel wins over Stop.
//
// Busy: a Start while a job runs starts nothing and posts only its result,
// on the calling thread before Start returns, with no 1 or 6 (those always
// belong to the running job): burn and erase post 5 with eDriveBusy,
// validation posts 2 with eDriveBusy; a space query is answered with 3 and
// the free space at that moment, since reading it disturbs nothing.
//
// Destruction while a job runs cancels the job, lets it post its remaining
// events (7, 5 eCancelled, 6) and waits for the worker to end, at most one
// second (kDestroyWaitMs): an observer that blocks (a SendMessage to the
// destroying thread, say) cannot hang the destructor. A worker still running
// then finishes the cancelled job on its own, with the module it runs in
// pinned; what it posts after the destructor is dropped. An observer may
// destroy the manager from inside its own event callback: the destructor
// then neither waits for nor joins the worker it runs on, the delivery of
// that event ends, and nothing more is posted.
#pragma once

#include "discburnlibdef.h"

#include "cdexpservice.h"
#include "cdnotifiable.h"
#include "runnable.h"

#include <memory>
#include <string>

class DISCBURNLIB_API CDExpManager : public CDExpService, public CDNotifiable, public Runnable {
  public:
    CDExpManager();
    ~CDExpManager() override;
    CDExpManager(const CDExpManager&) = delete;
    CDExpManager& operator=(const CDExpManager&) = delete;

    bool IsValid() const override;
    CD::EError SetDrive(const char* drive) override;
    CD::EError GetDrive(CString& drive) override;
    CD::EError GetDriveAvailSpace(unsigned long long& space) override;
    CD::EError ValidateDrive() override;
    void StartGetDriveAvailSpace() override;
    void StartValidateDrive() override;
    void StartBurn(const char* source, bool flag) override;
    void StartErase(bool flag) override;
    void Cancel() override;
    void Stop() override;

    // Posts one event to the observers (CDNotifiable). A record behind data
    // stays the caller's.
    void Notify(unsigned int eventId, void* data) override;
    // The worker thread's body (Runnable): runs accepted jobs until the
    // manager is destroyed. Started by the first job; never call it directly.
    void Run() override;

    // A drive text split into folder and capacity.
    struct Drive {
        std::string text;                 // as given to SetDrive
        std::string folder;               // folder, image file or drive root, without a
                                          // trailing separator (but "C:\")
        bool image = false;               // an image file ("<file>.iso")
        unsigned long long capacity = 0;  // bytes (an image holds whole sectors of it)
        bool writeOnce = false;           // cd-r, dvd-r, bd-r: no erase, one burn
        unsigned long long speed = 0;     // KiB per second; 0: unpaced
    };
    // Parses drive text; false when it is malformed.
    static bool ParseDrive(const char* text, Drive& drive);
    // Whether drive text names a real recorder (a drive letter with one
    // behind it): the disc in it, no path of the file system.
    static bool IsRecorderDrive(const char* text);

    enum Operation : unsigned int { eBurn = 1, eErase = 2, eSpaceQuery = 3, eValidation = 4 };
    enum Request : int { eNone = 0, eCancelRequest = 1, eStopRequest = 2 };

    // How long the destructor waits for a worker that is still busy.
    static constexpr unsigned long kDestroyWaitMs = 1000;

  private:
    // The drive selection, the job queue and the worker: shared with the
    // worker thread, which may outlive the manager (see above).
    struct Core;
    std::shared_ptr<Core> m_pCore;
};
