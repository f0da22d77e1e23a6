// DiscImage: the image of a data disc, laid out from a source tree and read
// as one stream of 2048-byte sectors. ISO 9660 with Joliet names (Unicode,
// up to 64 characters), and a UDF bridge in the same image when a file or the
// medium needs it (a file of 4 GiB or more, a name Joliet cannot hold, DVD
// and larger media). Create lays the image out from the source's directory
// entries alone; file data is read only while the image is read, so a source
// tree is never held in memory nor copied to disk twice.
#pragma once

#include "cdexpservice.h"

#include <windows.h>

#include <memory>
#include <string>

struct DiscImageOptions {
    std::wstring label;   // volume label; "" takes the source's own name
    FILETIME recorded{};  // recording date (UTC); all zero: now
    bool udf = false;     // add the UDF bridge even when nothing needs it
};

class DiscImage {
  public:
    static constexpr unsigned kSectorSize = 2048;

    // Lays out the image of source, a full path: a file goes onto the disc
    // under its own name, a folder's contents (not the folder) make the
    // disc. Links (junctions, symbolic links) are left out. Returns eOK and
    // the image, eSourceNotFound (missing, unreadable, a listing failed) or
    // eNotSupported (something no disc file system here can hold).
    static CD::EError Create(const std::wstring& source, const DiscImageOptions& options,
                             std::unique_ptr<DiscImage>& image);
    // Sectors of the image of an empty tree: the file systems' own overhead.
    static unsigned long long EmptySectorCount(bool udf);

    virtual ~DiscImage() = default;
    // The whole image, in sectors and bytes.
    virtual unsigned long long SectorCount() const = 0;
    unsigned long long ByteCount() const { return SectorCount() * kSectorSize; }
    // Bytes of file data in the image.
    virtual unsigned long long FileBytes() const = 0;
    virtual bool HasUdf() const = 0;

    // Reads on from Position(); read is 0 at the end of the image. False when
    // a source file can no longer be read as it was laid out (gone, or its
    // size changed): the image would not be what was promised.
    virtual bool Read(void* buffer, size_t size, size_t& read) = 0;
    virtual unsigned long long Position() const = 0;
    // Moves to any byte of the image (a reader may ask for the end first).
    virtual bool Seek(unsigned long long position) = 0;
};
