// DiscImageStream: a DiscImage read as a stream. Descriptor and directory
// sectors are generated from the layout when read (one region at a time);
// file data is read from the source files, straight into the caller's buffer.
#pragma once

#include "discimage.h"
#include "disclayout.h"
#include "isovolume.h"
#include "udfbridge.h"

#include <vesko/raii.h>

#include <cstdint>
#include <vector>

class DiscImageStream final : public DiscImage {
  public:
    explicit DiscImageStream(DiscLayout layout);

    unsigned long long SectorCount() const override { return m_layout.Sectors(); }
    unsigned long long FileBytes() const override { return m_layout.FileBytes(); }
    bool HasUdf() const override { return m_layout.Udf(); }
    bool Read(void* buffer, size_t size, size_t& read) override;
    unsigned long long Position() const override { return m_position; }
    bool Seek(unsigned long long position) override;

  private:
    // Sectors of a directory or path table generated at a time.
    static constexpr uint64_t kWindowSectors = 16;
    // Copies from a generated region; false never (generation cannot fail).
    size_t ReadGenerated(size_t regionIndex, uint8_t* out, size_t size);
    // Reads file data (and the zeros that fill its last sector).
    bool ReadFileData(const DiscLayout::Region& region, uint8_t* out, size_t size, size_t& done);

    DiscLayout m_layout;
    IsoVolume m_iso;
    UdfBridge m_udf;
    unsigned long long m_position = 0;
    // The last generated unit: a region (or one file entry sector).
    std::vector<uint8_t> m_cache;
    size_t m_cacheRegion = SIZE_MAX;
    uint64_t m_cacheStart = 0;  // first sector of the cached bytes
    // The open source file and where its handle stands.
    vesko::UniqueHandle m_file;
    uint32_t m_fileNode = 0;
    uint64_t m_fileOffset = 0;
};
