// DiscLayout: where every part of a disc image lies, worked out from the
// source's directory entries alone. The ISO 9660 and Joliet trees and the UDF
// bridge share one copy of each file's data; the layout holds names, sizes
// and sector numbers, never a file's contents nor a generated sector.
#pragma once

#include "cdexpservice.h"
#include "discimage.h"
#include "discnode.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

class DiscLayout {
  public:
    static constexpr uint32_t kSector = DiscImage::kSectorSize;
    // The largest extent one ISO 9660 directory record can give (a multiple
    // of the sector below 4 GiB); larger files take several records.
    static constexpr uint64_t kIsoExtent = 0xFFFFF800ull;
    // The largest extent one UDF allocation descriptor can give (30 bits).
    static constexpr uint64_t kUdfExtent = 0x3FFFF800ull;
    // Where the UDF bridge's fixed parts lie.
    static constexpr uint32_t kUdfMainVds = 32, kUdfReserveVds = 48, kUdfVdsSectors = 16;
    static constexpr uint32_t kUdfIntegrity = 64, kUdfAnchor = 256;

    enum class Part {
        Zero,
        Primary,      // ISO 9660 primary volume descriptor
        Joliet,       // its supplementary volume descriptor
        Terminator,   // volume descriptor set terminator
        Recognition,  // UDF volume recognition sequence (3 sectors)
        UdfMain,
        UdfReserve,
        UdfIntegrity,  // logical volume integrity descriptor and its terminator
        UdfAnchor,
        UdfFileSet,  // file set descriptor and its terminator
        UdfEntries,  // one file entry per node, in node order
        IsoPathL,
        IsoPathM,
        JolietPathL,
        JolietPathM,
        IsoDir,
        JolietDir,
        UdfDir,
        FileData,
    };
    struct Region {
        uint64_t start;    // first sector
        uint64_t sectors;  // length in sectors
        Part part;
        uint32_t node;  // the folder or file of a directory or data region
    };

    // Names the tree's entries for each file system and places everything.
    // eNotSupported when something cannot be held (a name UDF cannot store,
    // too many folders for a path table, a file too large for one entry).
    CD::EError Build(std::vector<DiscNode> nodes, std::wstring base, const std::wstring& label,
                     const FILETIME& recorded, bool udf);

    const std::vector<DiscNode>& Nodes() const { return m_nodes; }
    const std::vector<Region>& Regions() const { return m_regions; }
    // The region holding sector (the last region when beyond the end).
    size_t Find(uint64_t sector) const;
    const std::wstring& Base() const { return m_base; }
    const std::wstring& Label() const { return m_label; }
    const SYSTEMTIME& Recorded() const { return m_recorded; }
    bool Udf() const { return m_udf; }
    uint64_t Sectors() const { return m_sectors; }
    uint64_t FileBytes() const { return m_fileBytes; }
    uint32_t Folders() const { return m_folders; }
    uint32_t Files() const { return m_files; }
    // Folders in path table order (breadth first, as the tree sorts them).
    const std::vector<uint32_t>& IsoFolders() const { return m_isoFolders; }
    const std::vector<uint32_t>& JolietFolders() const { return m_jolietFolders; }
    uint32_t IsoPathBytes() const { return m_isoPathBytes; }
    uint32_t JolietPathBytes() const { return m_jolietPathBytes; }
    // The sector where a part begins (the first region of that part).
    uint32_t SectorOf(Part part) const;
    uint32_t PartitionStart() const { return m_partitionStart; }
    uint32_t PartitionSectors() const { return m_partitionSectors; }
    // The UDF unique id of a node (the root's is 0; 1 to 15 are reserved).
    static uint64_t UniqueId(uint32_t node) { return node == 0 ? 0 : node + 15; }

    // Bytes of one directory record with an identifier of idBytes bytes.
    static uint32_t RecordBytes(size_t idBytes) {
        return static_cast<uint32_t>(33 + idBytes + (idBytes % 2 == 0 ? 1 : 0));
    }
    // Bytes of a UDF file identifier descriptor for a name; 0 when the name
    // does not fit one.
    static uint32_t FidBytes(const std::wstring& name);
    // text in ISO 9660 d-characters (A-Z, 0-9, _), what every reader takes:
    // lower case raised, anything else '_', at most max of them.
    static std::string DChars(const std::wstring& text, size_t max);
    static uint32_t Extents(uint64_t size, uint64_t extent) {
        return size == 0 ? 1 : static_cast<uint32_t>((size + extent - 1) / extent);
    }

  private:
    void NameIso(uint32_t folder);
    bool NameJoliet(uint32_t folder);
    std::vector<uint32_t> BreadthFirst(bool joliet) const;
    uint32_t DirBytes(uint32_t folder, bool joliet) const;
    void Add(Part part, uint64_t sectors, uint32_t node = 0);

    std::vector<DiscNode> m_nodes;
    std::vector<Region> m_regions;
    std::wstring m_base, m_label;
    SYSTEMTIME m_recorded{};
    bool m_udf = false;
    uint64_t m_sectors = 0, m_fileBytes = 0;
    uint32_t m_folders = 0, m_files = 0;
    std::vector<uint32_t> m_isoFolders, m_jolietFolders;
    uint32_t m_isoPathBytes = 0, m_jolietPathBytes = 0;
    uint32_t m_partitionStart = 0, m_partitionSectors = 0;
};
