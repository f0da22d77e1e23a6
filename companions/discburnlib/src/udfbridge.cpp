#include "udfbridge.h"

#include "discbytes.h"

#include <cstring>
#include <string>

using namespace discbytes;

namespace {

constexpr uint16_t kUdfRevision = 0x0102;
enum Tag : uint16_t {
    kPrimary = 1,
    kAnchor = 2,
    kImplementationUse = 4,
    kPartition = 5,
    kLogicalVolume = 6,
    kUnallocated = 7,
    kTerminating = 8,
    kIntegrity = 9,
    kFileSet = 256,
    kFileIdentifier = 257,
    kFileEntry = 261,
};

// CRC-ITU-T (polynomial 0x1021, start 0), as descriptor tags carry it.
uint16_t Crc(const uint8_t* data, size_t size) {
    uint32_t crc = 0;
    for (size_t i = 0; i < size; ++i) {
        crc ^= static_cast<uint32_t>(data[i]) << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
    }
    return static_cast<uint16_t>(crc);
}

// Finishes a descriptor of size bytes whose body is written: its tag with the
// body's CRC and the tag's own checksum. location is where the descriptor
// lies (an image sector, or a partition block for what is inside it).
void Seal(uint8_t* d, uint16_t id, uint32_t location, size_t size) {
    Le16(d, id);
    Le16(d + 2, 2);  // descriptor version of UDF up to 2.00
    Le16(d + 6, 1);  // serial number
    Le16(d + 8, Crc(d + 16, size - 16));
    Le16(d + 10, static_cast<uint32_t>(size - 16));
    Le32(d + 12, location);
    uint8_t sum = 0;
    for (int i = 0; i < 16; ++i)
        if (i != 4)
            sum = static_cast<uint8_t>(sum + d[i]);
    d[4] = sum;
}

// An entity identifier; the suffix is written by the caller.
void Regid(uint8_t* p, const char* id) {
    memset(p, 0, 32);
    memcpy(p + 1, id, strlen(id));
}
void DomainRegid(uint8_t* p) {
    Regid(p, "*OSTA UDF Compliant");
    Le16(p + 24, kUdfRevision);
}
void ImplementationRegid(uint8_t* p) {
    Regid(p, "*VeskoLib");
}

void Charspec(uint8_t* p) {
    p[0] = 0;  // CS0
    memcpy(p + 1, "OSTA Compressed Unicode", 23);
}

// OSTA compressed Unicode: 8 bits a character when all fit, else 16 bits big
// endian. Returns the bytes written (0 for an empty text); at most max bytes.
size_t Compressed(uint8_t* p, size_t max, const std::wstring& text) {
    if (text.empty() || max < 2)
        return 0;
    bool wide = false;
    for (wchar_t c : text)
        wide = wide || c > 0xFF;
    size_t n = std::min(text.size(), (max - 1) / (wide ? 2 : 1));
    if (wide && n > 0 && n < text.size() && IS_HIGH_SURROGATE(text[n - 1]))
        --n;  // never a pair cut in two
    p[0] = wide ? 16 : 8;
    for (size_t i = 0; i < n; ++i)
        wide ? Be16(p + 1 + i * 2, text[i]) : void(p[1 + i] = static_cast<uint8_t>(text[i]));
    return 1 + n * (wide ? 2 : 1);
}

// A fixed-size text field whose last byte tells how much of it is used.
void Dstring(uint8_t* p, size_t size, const std::wstring& text) {
    memset(p, 0, size);
    p[size - 1] = static_cast<uint8_t>(Compressed(p, size - 1, text));
}

void LongAd(uint8_t* p, uint32_t length, uint32_t block) {
    Le32(p, length);
    Le32(p + 4, block);
    Le16(p + 8, 0);  // the one partition
}

}  // namespace

void UdfBridge::Time(uint8_t* p) const {
    const SYSTEMTIME& t = m_layout.Recorded();
    Le16(p, 0x1000);  // local time with an offset of 0: UTC
    Le16(p + 2, t.wYear);
    p[4] = static_cast<uint8_t>(t.wMonth);
    p[5] = static_cast<uint8_t>(t.wDay);
    p[6] = static_cast<uint8_t>(t.wHour);
    p[7] = static_cast<uint8_t>(t.wMinute);
    p[8] = static_cast<uint8_t>(t.wSecond);
    p[9] = static_cast<uint8_t>(t.wMilliseconds / 10);
    p[10] = static_cast<uint8_t>(t.wMilliseconds % 10 * 10);
    p[11] = 0;
}

void UdfBridge::VolumeSequence(uint32_t first, uint8_t* out) const {
    const uint32_t kS = DiscLayout::kSector;
    const std::wstring& label = m_layout.Label();
    // Primary volume descriptor.
    uint8_t* d = out;
    Le32(d + 16, 0);
    Dstring(d + 24, 32, label);
    Le16(d + 56, 1);
    Le16(d + 58, 1);
    Le16(d + 60, 2);
    Le16(d + 62, 2);
    Le32(d + 64, 1);
    Le32(d + 68, 1);
    // The volume set's name starts with 16 characters unique to this volume:
    // the recording time, in hexadecimal.
    const SYSTEMTIME& t = m_layout.Recorded();
    wchar_t set[32];
    swprintf(set, 32, L"%08X%08X", (t.wYear << 16) | (t.wMonth << 8) | t.wDay,
             (t.wHour << 24) | (t.wMinute << 16) | (t.wSecond << 8) | (t.wMilliseconds & 0xFF));
    Dstring(d + 72, 128, set);
    Charspec(d + 200);
    Charspec(d + 264);
    ImplementationRegid(d + 344);
    Time(d + 376);
    ImplementationRegid(d + 388);
    Seal(d, kPrimary, first, 512);
    // Implementation use volume descriptor: the logical volume's information.
    d = out + kS;
    Le32(d + 16, 1);
    Regid(d + 20, "*UDF LV Info");
    Le16(d + 44, kUdfRevision);
    Charspec(d + 52);
    Dstring(d + 116, 128, label);
    ImplementationRegid(d + 352);
    Seal(d, kImplementationUse, first + 1, 512);
    // Partition descriptor: one read-only partition to the last anchor.
    d = out + 2 * kS;
    Le32(d + 16, 2);
    Le16(d + 20, 1);  // allocated
    Le16(d + 22, 0);
    Regid(d + 24, "+NSR02");
    Le32(d + 184, 1);  // read only
    Le32(d + 188, m_layout.PartitionStart());
    Le32(d + 192, m_layout.PartitionSectors());
    ImplementationRegid(d + 196);
    Seal(d, kPartition, first + 2, 512);
    // Logical volume descriptor.
    d = out + 3 * kS;
    Le32(d + 16, 3);
    Charspec(d + 20);
    Dstring(d + 84, 128, label);
    Le32(d + 212, kS);
    DomainRegid(d + 216);
    LongAd(d + 248, kS, 0);  // the file set descriptor
    Le32(d + 264, 6);
    Le32(d + 268, 1);
    ImplementationRegid(d + 272);
    Le32(d + 432, 2 * kS);  // integrity sequence
    Le32(d + 436, DiscLayout::kUdfIntegrity);
    d[440] = 1;  // type 1 partition map
    d[441] = 6;
    Le16(d + 442, 1);
    Le16(d + 444, 0);
    Seal(d, kLogicalVolume, first + 3, 446);
    // Unallocated space: none (a read-only medium).
    d = out + 4 * kS;
    Le32(d + 16, 4);
    Seal(d, kUnallocated, first + 4, 24);
    Seal(out + 5 * kS, kTerminating, first + 5, 512);
}

void UdfBridge::Integrity(uint32_t sector, uint8_t* out) const {
    Time(out + 16);
    Le32(out + 28, 1);  // closed
    Le64(out + 40, DiscLayout::UniqueId(static_cast<uint32_t>(m_layout.Nodes().size())));
    Le32(out + 72, 1);
    Le32(out + 76, 46);
    Le32(out + 80, 0);  // no free space
    Le32(out + 84, m_layout.PartitionSectors());
    ImplementationRegid(out + 88);
    Le32(out + 120, m_layout.Files());
    Le32(out + 124, m_layout.Folders());
    Le16(out + 128, kUdfRevision);
    Le16(out + 130, kUdfRevision);
    Le16(out + 132, kUdfRevision);
    Seal(out, kIntegrity, sector, 134);
    Seal(out + DiscLayout::kSector, kTerminating, sector + 1, 512);
}

void UdfBridge::FileSet(uint8_t* out) const {
    Time(out + 16);
    Le16(out + 28, 3);
    Le16(out + 30, 3);
    Le32(out + 32, 1);
    Le32(out + 36, 1);
    Charspec(out + 48);
    Dstring(out + 112, 128, m_layout.Label());
    Charspec(out + 240);
    Dstring(out + 304, 32, m_layout.Label());
    LongAd(out + 400, DiscLayout::kSector, Block(m_layout.Nodes()[0].udfEntry));
    DomainRegid(out + 416);
    Seal(out, kFileSet, 0, 512);
    Seal(out + DiscLayout::kSector, kTerminating, 1, 512);
}

void UdfBridge::Entry(uint32_t index, uint8_t* out) const {
    const DiscNode& node = m_layout.Nodes()[index];
    // ICB tag: a single direct entry.
    Le16(out + 20, 4);
    Le16(out + 24, 1);
    out[27] = node.folder ? 4 : 5;
    Le16(out + 34, 0);           // short allocation descriptors
    Le32(out + 36, 0xFFFFFFFF);  // no owner
    Le32(out + 40, 0xFFFFFFFF);
    // Everyone may read (and enter a folder); the medium is read-only anyway.
    const uint32_t access = node.folder ? 0x09 : 0x08;  // read (8), execute (1)
    Le32(out + 44, access | access << 5 | access << 10);
    uint32_t links = 1;
    if (node.folder)
        for (uint32_t child : node.children)
            links += m_layout.Nodes()[child].folder ? 1 : 0;
    Le16(out + 48, links);
    const uint64_t bytes = node.folder ? node.udfDirBytes : node.size;
    Le64(out + 56, bytes);
    Le64(out + 64, (bytes + DiscLayout::kSector - 1) / DiscLayout::kSector);
    Time(out + 72);
    Time(out + 84);
    Time(out + 96);
    Le32(out + 108, 1);
    ImplementationRegid(out + 128);
    Le64(out + 160, DiscLayout::UniqueId(index));
    uint32_t ads = 0;
    if (node.folder) {
        Le32(out + 176, node.udfDirBytes);
        Le32(out + 180, Block(node.udfDir));
        ads = 1;
    } else {
        for (uint64_t offset = 0; offset < node.size; offset += DiscLayout::kUdfExtent, ++ads) {
            const uint64_t length = std::min(DiscLayout::kUdfExtent, node.size - offset);
            Le32(out + 176 + ads * 8, static_cast<uint32_t>(length));
            Le32(out + 180 + ads * 8,
                 Block(node.data) + static_cast<uint32_t>(offset / DiscLayout::kSector));
        }
    }
    Le32(out + 172, ads * 8);
    Seal(out, kFileEntry, Block(node.udfEntry), 176 + ads * 8);
}

void UdfBridge::Identifiers(uint32_t folder, const Window& window) const {
    const std::vector<DiscNode>& nodes = m_layout.Nodes();
    const DiscNode& dir = nodes[folder];
    uint64_t pos = 0;
    uint8_t d[512];
    // Identifiers run on across blocks; the tag names the block it starts in.
    auto fid = [&](uint8_t characteristics, uint32_t target, const std::wstring& name) {
        const uint32_t size = DiscLayout::FidBytes(name);
        memset(d, 0, size);
        Le16(d + 16, 1);
        d[18] = characteristics;
        LongAd(d + 20, DiscLayout::kSector, Block(nodes[target].udfEntry));
        d[19] = static_cast<uint8_t>(Compressed(d + 38, 255, name));
        const uint32_t block = Block(dir.udfDir) + static_cast<uint32_t>(pos / DiscLayout::kSector);
        Seal(d, kFileIdentifier, block, size);
        window.Put(pos, d, size);
        pos += size;
    };
    fid(0x0A, dir.parent, L"");  // the parent folder
    for (uint32_t child : dir.children) {
        if (window.Past(pos))
            break;
        fid(nodes[child].folder ? 0x02 : 0x00, child, nodes[child].name);
    }
}

void UdfBridge::Write(const DiscLayout::Region& region, uint32_t node, const Window& window) const {
    using Part = DiscLayout::Part;
    uint8_t* out = window.out;
    const uint32_t start = static_cast<uint32_t>(region.start);
    switch (region.part) {
        case Part::Recognition: {
            const char* ids[] = {"BEA01", "NSR02", "TEA01"};
            for (int i = 0; i < 3; ++i) {
                uint8_t* d = out + i * DiscLayout::kSector;
                memcpy(d + 1, ids[i], 5);
                d[6] = 1;
            }
            break;
        }
        case Part::UdfMain:
        case Part::UdfReserve:
            VolumeSequence(start, out);
            break;
        case Part::UdfIntegrity:
            Integrity(start, out);
            break;
        case Part::UdfAnchor:
            Le32(out + 16, DiscLayout::kUdfVdsSectors * DiscLayout::kSector);
            Le32(out + 20, DiscLayout::kUdfMainVds);
            Le32(out + 24, DiscLayout::kUdfVdsSectors * DiscLayout::kSector);
            Le32(out + 28, DiscLayout::kUdfReserveVds);
            Seal(out, kAnchor, start, 512);
            break;
        case Part::UdfFileSet:
            FileSet(out);
            break;
        case Part::UdfEntries:
            Entry(node, out);
            break;
        case Part::UdfDir:
            Identifiers(region.node, window);
            break;
        default:
            break;
    }
}
