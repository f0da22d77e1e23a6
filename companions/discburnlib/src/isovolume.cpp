#include "isovolume.h"

#include "discbytes.h"

#include <cstdio>
#include <cstring>

using namespace discbytes;

namespace {

constexpr uint8_t kFolderFlag = 0x02, kMoreExtentsFlag = 0x80;

// The label as d-characters (A-Z, 0-9, _), at most 32.

// The Joliet label: 16 UTF-16 units, no pair cut in two, none of the
// characters Joliet keeps out of its identifiers.
std::u16string JolietLabel(const std::wstring& label) {
    size_t keep = std::min<size_t>(label.size(), 16);
    if (keep < label.size() && keep > 0 && IS_HIGH_SURROGATE(label[keep - 1]))
        --keep;
    std::u16string out(label.begin(), label.begin() + keep);
    for (char16_t& c : out)
        if (c < 0x20 || std::u16string(u"*/:;?\\").find(c) != std::u16string::npos)
            c = u'_';
    return out;
}

std::vector<uint8_t> JolietBytes(const std::u16string& name) {
    std::vector<uint8_t> out(name.size() * 2);
    for (size_t i = 0; i < name.size(); ++i)
        Be16(&out[i * 2], name[i]);
    return out;
}

}  // namespace

void IsoVolume::Date7(uint8_t* out) const {
    const SYSTEMTIME& t = m_layout.Recorded();
    out[0] = static_cast<uint8_t>(t.wYear - 1900);
    out[1] = static_cast<uint8_t>(t.wMonth);
    out[2] = static_cast<uint8_t>(t.wDay);
    out[3] = static_cast<uint8_t>(t.wHour);
    out[4] = static_cast<uint8_t>(t.wMinute);
    out[5] = static_cast<uint8_t>(t.wSecond);
    out[6] = 0;  // UTC
}

void IsoVolume::Date17(uint8_t* out) const {
    const SYSTEMTIME& t = m_layout.Recorded();
    char text[32];
    snprintf(text, sizeof text, "%04u%02u%02u%02u%02u%02u%02u", t.wYear % 10000u, t.wMonth, t.wDay,
             t.wHour, t.wMinute, t.wSecond, t.wMilliseconds / 10u);
    memcpy(out, text, 16);
    out[16] = 0;  // UTC
}

uint32_t IsoVolume::Record(uint8_t* out, uint32_t extent, uint32_t bytes, uint8_t flags,
                           const uint8_t* id, size_t idBytes) const {
    const uint32_t len = DiscLayout::RecordBytes(idBytes);
    memset(out, 0, len);
    out[0] = static_cast<uint8_t>(len);
    Both32(out + 2, extent);
    Both32(out + 10, bytes);
    Date7(out + 18);
    out[25] = flags;
    Both16(out + 28, 1);
    out[32] = static_cast<uint8_t>(idBytes);
    memcpy(out + 33, id, idBytes);
    return len;
}

void IsoVolume::Descriptor(bool joliet, uint8_t* out) const {
    const std::vector<DiscNode>& nodes = m_layout.Nodes();
    const DiscNode& root = nodes[0];
    out[0] = joliet ? 2 : 1;
    memcpy(out + 1, "CD001", 5);
    out[6] = 1;
    if (joliet) {
        Ucs2Text(out + 8, 32, u"");
        Ucs2Text(out + 40, 32, JolietLabel(m_layout.Label()));
        // UCS-2 level 3: the escape sequence that makes this tree Joliet.
        memcpy(out + 88, "%/E", 3);
    } else {
        Text(out + 8, 32, "");
        Text(out + 40, 32, DiscLayout::DChars(m_layout.Label(), 32));
    }
    Both32(out + 80, static_cast<uint32_t>(m_layout.Sectors()));
    Both16(out + 120, 1);
    Both16(out + 124, 1);
    Both16(out + 128, DiscLayout::kSector);
    const uint32_t pathBytes = joliet ? m_layout.JolietPathBytes() : m_layout.IsoPathBytes();
    Both32(out + 132, pathBytes);
    Le32(out + 140,
         m_layout.SectorOf(joliet ? DiscLayout::Part::JolietPathL : DiscLayout::Part::IsoPathL));
    Be32(out + 148,
         m_layout.SectorOf(joliet ? DiscLayout::Part::JolietPathM : DiscLayout::Part::IsoPathM));
    const uint8_t self = 0;
    Record(out + 156, joliet ? root.jolietDir : root.isoDir,
           joliet ? root.jolietDirBytes : root.isoDirBytes, kFolderFlag, &self, 1);
    // Volume set, publisher, preparer, application, then three file names.
    const size_t fields[] = {190, 318, 446, 574};
    for (size_t at : fields)
        joliet ? Ucs2Text(out + at, 128, u"") : Text(out + at, 128, "");
    joliet ? Ucs2Text(out + 574, 128, u"VESKOLIB") : Text(out + 574, 128, "VESKOLIB");
    for (size_t at : {702, 739, 776})
        joliet ? Ucs2Text(out + at, 36, u"") : Text(out + at, 37, "");
    Date17(out + 813);                             // created
    Date17(out + 830);                             // modified
    Text(out + 847, 16, "0000000000000000", '0');  // never expires
    Text(out + 864, 16, "0000000000000000", '0');  // effective at once
    out[881] = 1;
}

void IsoVolume::PathTable(bool joliet, bool bigEndian, const Window& window) const {
    const std::vector<DiscNode>& nodes = m_layout.Nodes();
    size_t at = 0;
    uint8_t out[8 + 256];
    for (uint32_t f : joliet ? m_layout.JolietFolders() : m_layout.IsoFolders()) {
        if (window.Past(at))
            break;
        const DiscNode& dir = nodes[f];
        std::vector<uint8_t> id;
        if (f == 0)
            id.assign(1, 0);
        else if (joliet)
            id = JolietBytes(dir.jolietName);
        else
            id.assign(dir.isoName.begin(), dir.isoName.end());
        const DiscNode& parent = nodes[dir.parent];
        const uint32_t extent = joliet ? dir.jolietDir : dir.isoDir;
        const uint32_t number = f == 0 ? 1 : (joliet ? parent.jolietNumber : parent.isoNumber);
        const size_t len = 8 + id.size() + id.size() % 2;
        memset(out, 0, len);
        out[0] = static_cast<uint8_t>(id.size());
        bigEndian ? Be32(out + 2, extent) : Le32(out + 2, extent);
        bigEndian ? Be16(out + 6, number) : Le16(out + 6, number);
        memcpy(out + 8, id.data(), id.size());
        // Path table records run on across sectors.
        window.Put(at, out, len);
        at += len;
    }
}

void IsoVolume::Directory(uint32_t folder, bool joliet, const Window& window) const {
    const std::vector<DiscNode>& nodes = m_layout.Nodes();
    const DiscNode& dir = nodes[folder];
    const DiscNode& parent = nodes[dir.parent];
    uint64_t pos = 0;
    uint8_t record[256];
    // Records never cross a sector: one that does not fit starts the next.
    auto place = [&pos](uint32_t len) {
        if (pos % DiscLayout::kSector + len > DiscLayout::kSector)
            pos = (pos + DiscLayout::kSector - 1) / DiscLayout::kSector * DiscLayout::kSector;
    };
    auto put = [&](uint32_t len) {
        window.Put(pos, record, len);
        pos += len;
    };
    const uint8_t self = 0, up = 1;
    place(34);
    put(Record(record, joliet ? dir.jolietDir : dir.isoDir,
               joliet ? dir.jolietDirBytes : dir.isoDirBytes, kFolderFlag, &self, 1));
    place(34);
    put(Record(record, joliet ? parent.jolietDir : parent.isoDir,
               joliet ? parent.jolietDirBytes : parent.isoDirBytes, kFolderFlag, &up, 1));
    for (uint32_t child : joliet ? dir.jolietOrder : dir.isoOrder) {
        if (window.Past(pos))
            break;
        const DiscNode& node = nodes[child];
        std::vector<uint8_t> id =
            joliet ? JolietBytes(node.jolietName)
                   : std::vector<uint8_t>(node.isoName.begin(), node.isoName.end());
        const uint32_t len = DiscLayout::RecordBytes(id.size());
        if (node.folder) {
            place(len);
            put(Record(record, joliet ? node.jolietDir : node.isoDir,
                       joliet ? node.jolietDirBytes : node.isoDirBytes, kFolderFlag, id.data(),
                       id.size()));
            continue;
        }
        // A file of 4 GiB or more is told in several records, one per
        // extent, each but the last flagged that more follow.
        const uint32_t extents = DiscLayout::Extents(node.size, DiscLayout::kIsoExtent);
        for (uint32_t e = 0; e < extents; ++e) {
            const uint64_t offset = e * DiscLayout::kIsoExtent;
            const uint64_t bytes = std::min(DiscLayout::kIsoExtent, node.size - offset);
            const uint32_t extent =
                node.size == 0 ? 0
                               : node.data + static_cast<uint32_t>(offset / DiscLayout::kSector);
            place(len);
            put(Record(record, extent, static_cast<uint32_t>(bytes),
                       e + 1 < extents ? kMoreExtentsFlag : 0, id.data(), id.size()));
        }
    }
}

void IsoVolume::Write(const DiscLayout::Region& region, const Window& window) const {
    using Part = DiscLayout::Part;
    uint8_t* out = window.out;  // the one-sector parts come whole
    switch (region.part) {
        case Part::Primary:
            Descriptor(false, out);
            break;
        case Part::Joliet:
            Descriptor(true, out);
            break;
        case Part::Terminator:
            out[0] = 255;
            memcpy(out + 1, "CD001", 5);
            out[6] = 1;
            break;
        case Part::IsoPathL:
            PathTable(false, false, window);
            break;
        case Part::IsoPathM:
            PathTable(false, true, window);
            break;
        case Part::JolietPathL:
            PathTable(true, false, window);
            break;
        case Part::JolietPathM:
            PathTable(true, true, window);
            break;
        case Part::IsoDir:
            Directory(region.node, false, window);
            break;
        case Part::JolietDir:
            Directory(region.node, true, window);
            break;
        default:
            break;
    }
}
