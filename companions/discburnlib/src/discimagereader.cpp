#include "discimagereader.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <new>
#include <utility>

namespace {

constexpr unsigned long long kSector = DiscImageReader::kSectorSize;
// A folder's own listing larger than this is taken as malformed: it bounds
// what a crafted image can make the reader hold in memory (a folder of ten
// thousand long names needs a few MiB).
constexpr unsigned long long kMaxFolderBytes = 64ull << 20;
// Descriptors read through chains (volume descriptor pointers, allocation
// extents): a crafted chain must end.
constexpr unsigned kMaxVolumeDescriptors = 4096;
constexpr unsigned kMaxAllocationBlocks = 65536;

unsigned Le16(const unsigned char* p) {
    return p[0] | (p[1] << 8);
}
unsigned long Le32(const unsigned char* p) {
    return static_cast<unsigned long>(p[0]) | (static_cast<unsigned long>(p[1]) << 8) |
           (static_cast<unsigned long>(p[2]) << 16) | (static_cast<unsigned long>(p[3]) << 24);
}
unsigned long long Le64(const unsigned char* p) {
    return Le32(p) | (static_cast<unsigned long long>(Le32(p + 4)) << 32);
}

// The CRC of UDF descriptor tags: CRC-ITU-T, polynomial 0x1021, initial 0.
unsigned Crc16(const unsigned char* data, size_t size) {
    unsigned crc = 0;
    for (size_t i = 0; i < size; ++i) {
        crc ^= static_cast<unsigned>(data[i]) << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) & 0xFFFF : (crc << 1) & 0xFFFF;
    }
    return crc;
}

std::wstring Number(unsigned long long value) {
    return std::to_wstring(value);
}
std::wstring Quoted(const std::wstring& path) {
    return L"\"" + (path.empty() ? std::wstring(L"\\") : path) + L"\"";
}
std::wstring Join(const std::wstring& parent, const std::wstring& name) {
    return parent.empty() ? name : parent + L"\\" + name;
}
std::wstring SystemText(DWORD code) {
    wchar_t text[256] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   text, 255, nullptr);
    std::wstring out = text;
    while (!out.empty() && (out.back() == L'\n' || out.back() == L'\r' || out.back() == L' '))
        out.pop_back();
    return L"error " + Number(code) + (out.empty() ? L"" : L" (" + out + L")");
}

// A name becomes one step of a relative path: anything that could step out
// of its folder or into another one (separators, "." and "..", NUL) would let
// a crafted image make the comparison read files outside the source.
bool PlainName(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..")
        return false;
    return name.find_first_of(std::wstring(L"\\/\0", 3)) == std::wstring::npos;
}

// UCS-2 big endian, as Joliet records names; ";1" version suffixes and the
// dot ISO 9660 leaves after a name without extension are not part of it.
std::wstring JolietName(const unsigned char* p, size_t size, bool folder) {
    std::wstring name;
    for (size_t i = 0; i + 1 < size; i += 2)
        name += static_cast<wchar_t>((p[i] << 8) | p[i + 1]);
    if (!folder) {
        const size_t semicolon = name.rfind(L';');
        if (semicolon != std::wstring::npos &&
            name.find_first_not_of(L"0123456789", semicolon + 1) == std::wstring::npos)
            name.erase(semicolon);
        if (name.size() > 1 && name.back() == L'.')
            name.pop_back();
    }
    return name;
}

// OSTA compressed Unicode: a first byte of 8 (one byte per character) or 16
// (big-endian UTF-16 units). False for anything else.
bool UdfName(const unsigned char* p, size_t size, std::wstring& name) {
    name.clear();
    if (size == 0)
        return false;
    if (p[0] == 8) {
        for (size_t i = 1; i < size; ++i)
            name += static_cast<wchar_t>(p[i]);
        return true;
    }
    if (p[0] == 16 && (size - 1) % 2 == 0) {
        for (size_t i = 1; i + 1 < size; i += 2)
            name += static_cast<wchar_t>((p[i] << 8) | p[i + 1]);
        return true;
    }
    return false;
}

// A path every file function takes however long it is (deep source trees
// pass MAX_PATH easily).
std::wstring LongPath(const std::wstring& full) {
    if (full.compare(0, 4, L"\\\\?\\") == 0)
        return full;
    if (full.compare(0, 2, L"\\\\") == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

}  // namespace

// ---------------------------------------------------------------------------
// Reading files

DiscImageReader::File::File(const DiscImageReader& reader, const Entry& entry)
    : m_reader(reader), m_extents(entry.extents), m_size(entry.size) {}

bool DiscImageReader::File::Read(void* buffer, size_t size, size_t& read) {
    read = 0;
    auto* out = static_cast<unsigned char*>(buffer);
    while (read < size && m_extent < m_extents.size()) {
        const Extent& extent = m_extents[m_extent];
        const unsigned long long left = extent.length - m_within;
        const size_t step = static_cast<size_t>(std::min<unsigned long long>(left, size - read));
        if (extent.zeros)
            std::memset(out + read, 0, step);
        else if (!m_reader.ReadAt(extent.offset + m_within, out + read, step))
            return false;
        read += step;
        m_within += step;
        if (m_within == extent.length) {
            ++m_extent;
            m_within = 0;
        }
    }
    return true;
}

bool DiscImageReader::ReadAt(unsigned long long offset, void* buffer, size_t size) const {
    if (!m_image || offset > m_imageBytes || size > m_imageBytes - offset)
        return false;
    auto* out = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const DWORD want = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!ReadFile(m_image.Get(), out, want, &got, &at) || got == 0)
            return false;
        out += got;
        offset += got;
        size -= got;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Opening

bool DiscImageReader::Fail(std::wstring text) {
    m_error = std::move(text);
    return false;
}

bool DiscImageReader::Open(const std::wstring& image, Tree tree) {
    // A tree too large for memory (or a crafted image that claims one) fails the open like any
    // other reason: the caller is a worker that must go on and report.
    try {
        return OpenTree(image, tree);
    } catch (const std::bad_alloc&) {
        m_entries.clear();
        m_entries.shrink_to_fit();
        m_fileBytes = 0;
        m_image.Reset();
        try {
            m_error = L"There is not enough memory to read the image";
        } catch (const std::bad_alloc&) {
            m_error.clear();
        }
        return false;
    }
}

bool DiscImageReader::OpenTree(const std::wstring& image, Tree tree) {
    m_image.Reset();
    m_imageBytes = 0;
    m_error.clear();
    m_hasUdf = m_hasJoliet = m_isUdf = false;
    m_volumeSectors = 0;
    std::memset(m_jolietRoot, 0, sizeof m_jolietRoot);
    m_entries.clear();
    m_fileBytes = 0;
    m_partitions.clear();

    m_image.Reset(CreateFileW(image.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (m_image.Get() == INVALID_HANDLE_VALUE) {
        m_image.Release();
        return Fail(L"The image " + image + L" cannot be opened: " + SystemText(GetLastError()));
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(m_image.Get(), &size))
        return Fail(L"The size of the image " + image + L" is unknown: " +
                    SystemText(GetLastError()));
    m_imageBytes = static_cast<unsigned long long>(size.QuadPart);

    bool ok = ScanRecognition();
    if (ok) {
        if (tree == Tree::kUdf && !m_hasUdf)
            ok = Fail(L"The image holds no UDF file system");
        else if (tree == Tree::kJoliet && !m_hasJoliet)
            ok = Fail(L"The image holds no Joliet file system");
        else if (tree == Tree::kUdf || (tree == Tree::kPreferred && m_hasUdf))
            ok = ReadUdf();
        else if (!m_hasJoliet)
            ok = Fail(L"The image holds neither a UDF nor a Joliet file system");
        else
            ok = ReadJoliet();
    }
    if (!ok) {
        m_entries.clear();
        m_fileBytes = 0;
        m_image.Reset();
        return false;
    }
    for (const Entry& entry : m_entries)
        m_fileBytes += entry.size;
    return true;
}

bool DiscImageReader::ReadSector(unsigned long long sector, unsigned char* buffer,
                                 const wchar_t* what) {
    if (sector >= m_imageBytes / kSector)
        return Fail(L"The image is truncated: " + std::wstring(what) + L" lies at sector " +
                    Number(sector) + L", the image ends at sector " +
                    Number(m_imageBytes / kSector));
    if (!ReadAt(sector * kSector, buffer, kSector))
        return Fail(L"The image cannot be read at sector " + Number(sector) + L": " +
                    SystemText(GetLastError()));
    return true;
}

bool DiscImageReader::AddEntry(const std::wstring& parent, const std::wstring& name, Entry entry,
                               std::set<std::wstring>& siblings) {
    if (!PlainName(name))
        return Fail(L"The folder " + Quoted(parent) + L" holds an entry with an invalid name");
    if (!siblings.insert(name).second)
        return Fail(L"The folder " + Quoted(parent) + L" holds " + Quoted(name) + L" twice");
    entry.path = Join(parent, name);
    m_entries.push_back(std::move(entry));
    return true;
}

// The descriptors from sector 16 on: ISO 9660's (primary, Joliet's
// supplementary, terminator), then UDF's extended area (BEA01, NSR02 or
// NSR03, TEA01).
bool DiscImageReader::ScanRecognition() {
    unsigned char sector[kSector];
    bool extended = false;
    for (unsigned long long s = 16;; ++s) {
        if (s >= 16 + 256)
            return Fail(L"The image's volume descriptors do not end");
        if (!ReadSector(s, sector, L"a volume descriptor"))
            return false;
        const std::string id(reinterpret_cast<const char*>(sector) + 1, 5);
        if (id == "CD001") {
            if (sector[0] == 1) {
                if (Le16(sector + 128) != kSector)
                    return Fail(L"The ISO 9660 volume's block size is " +
                                Number(Le16(sector + 128)) + L", not 2048");
                m_volumeSectors = Le32(sector + 80);
            } else if (sector[0] == 2 && sector[88] == '%' && sector[89] == '/' &&
                       (sector[90] == '@' || sector[90] == 'C' || sector[90] == 'E')) {
                if (Le16(sector + 128) != kSector)
                    return Fail(L"The Joliet volume's block size is " + Number(Le16(sector + 128)) +
                                L", not 2048");
                m_hasJoliet = true;
                std::memcpy(m_jolietRoot, sector + 156, sizeof m_jolietRoot);
            }
        } else if (id == "BEA01") {
            extended = true;
        } else if (id == "NSR02" || id == "NSR03") {
            m_hasUdf = m_hasUdf || extended;
        } else if (id == "TEA01") {
            break;
        } else if (id != "BOOT2" && id != "CDW02") {
            break;
        }
    }
    if (m_volumeSectors > m_imageBytes / kSector)
        return Fail(L"The image is truncated: its volume has " + Number(m_volumeSectors) +
                    L" sectors, the image " + Number(m_imageBytes / kSector));
    return true;
}

// ---------------------------------------------------------------------------
// Joliet

bool DiscImageReader::ReadJoliet() {
    struct Folder {
        unsigned long long sector, length;
        std::wstring path;
        unsigned depth;
    };
    const unsigned char* root = m_jolietRoot;
    if (root[0] < 34 || !(root[25] & 0x02))
        return Fail(L"The Joliet root record is malformed");
    std::vector<Folder> pending{{Le32(root + 2) + root[1], Le32(root + 10), L"", 0}};
    std::set<unsigned long long> visited;
    std::vector<unsigned char> data;
    while (!pending.empty()) {
        const Folder folder = std::move(pending.back());
        pending.pop_back();
        if (!visited.insert(folder.sector).second)
            return Fail(L"The folder " + Quoted(folder.path) +
                        L" is a folder already read (a loop in the Joliet tree)");
        const unsigned long long sectors = (folder.length + kSector - 1) / kSector;
        if (folder.length > kMaxFolderBytes)
            return Fail(L"The folder " + Quoted(folder.path) + L" is too large (" +
                        Number(folder.length) + L" bytes)");
        if (folder.sector + sectors > m_imageBytes / kSector)
            return Fail(L"The folder " + Quoted(folder.path) +
                        L" lies outside the image (sectors " + Number(folder.sector) + L" to " +
                        Number(folder.sector + sectors) + L", the image has " +
                        Number(m_imageBytes / kSector) + L")");
        data.assign(static_cast<size_t>(sectors * kSector), 0);
        if (!ReadAt(folder.sector * kSector, data.data(), data.size()))
            return Fail(L"The image cannot be read at sector " + Number(folder.sector) + L": " +
                        SystemText(GetLastError()));
        data.resize(static_cast<size_t>(folder.length));

        std::set<std::wstring> names;
        Entry file;         // a file whose last extent is still to come
        std::wstring open;  // its name
        bool more = false;  // it has more extents
        for (size_t at = 0; at < data.size();) {
            const unsigned length = data[at];
            if (length == 0) {  // records do not cross sectors: the rest is padding
                at = (at / kSector + 1) * kSector;
                continue;
            }
            if (length < 34 || at % kSector + length > kSector || at + length > data.size() ||
                33u + data[at + 32] > length)
                return Fail(L"The folder " + Quoted(folder.path) +
                            L" holds a malformed record at byte " + Number(at));
            const unsigned char* record = &data[at];
            at += length;
            const unsigned nameLength = record[32];
            if (nameLength == 1 && (record[33] == 0 || record[33] == 1))
                continue;  // the folder itself and its parent
            const unsigned flags = record[25];
            if (flags & 0x04)
                continue;  // an associated file (a Macintosh resource fork)
            const bool isFolder = (flags & 0x02) != 0;
            if (nameLength % 2)
                return Fail(L"The folder " + Quoted(folder.path) +
                            L" holds a name that is not UCS-2");
            const std::wstring name = JolietName(record + 33, nameLength, isFolder);
            if (record[26] || record[27])
                return Fail(L"The file " + Quoted(Join(folder.path, name)) +
                            L" is interleaved, which this reader does not read");
            const unsigned long long start = Le32(record + 2) + record[1];
            const unsigned long long size = Le32(record + 10);

            if (more && (isFolder || name != open))
                return Fail(L"The file " + Quoted(Join(folder.path, open)) +
                            L" ends without its last extent");
            if (isFolder) {
                if (flags & 0x80)
                    return Fail(L"The folder " + Quoted(Join(folder.path, name)) +
                                L" is marked as having more extents");
                if (folder.depth + 1 > kMaxDepth)
                    return Fail(L"The folder " + Quoted(Join(folder.path, name)) +
                                L" lies deeper than " + Number(kMaxDepth) + L" levels");
                Entry entry;
                entry.folder = true;
                if (!AddEntry(folder.path, name, std::move(entry), names))
                    return false;
                pending.push_back({start, size, m_entries.back().path, folder.depth + 1});
                continue;
            }
            if (!more) {
                file = Entry();
                open = name;
            }
            if (size > 0) {
                if (start * kSector + size > m_imageBytes)
                    return Fail(L"The file " + Quoted(Join(folder.path, name)) +
                                L" lies outside the image (from sector " + Number(start) + L", " +
                                Number(size) + L" bytes; the image has " + Number(m_imageBytes) +
                                L" bytes)");
                file.extents.push_back({start * kSector, size, false});
                file.size += size;
            }
            more = (flags & 0x80) != 0;
            if (!more && !AddEntry(folder.path, name, std::move(file), names))
                return false;
        }
        if (more)
            return Fail(L"The file " + Quoted(Join(folder.path, open)) +
                        L" ends without its last extent");
    }
    return true;
}

// ---------------------------------------------------------------------------
// UDF

bool DiscImageReader::CheckTag(const unsigned char* tag, size_t available, unsigned id,
                               unsigned long long location, const wchar_t* what) {
    const std::wstring where = std::wstring(what) + L" (block " + Number(location) + L")";
    if (available < 16)
        return Fail(L"The UDF descriptor of " + where + L" is cut off");
    unsigned sum = 0;
    for (int i = 0; i < 16; ++i)
        sum += i == 4 ? 0 : tag[i];
    if ((sum & 0xFF) != tag[4])
        return Fail(L"The UDF descriptor tag of " + where + L" has a wrong checksum");
    if (id != 0 && Le16(tag) != id)
        return Fail(L"The UDF descriptor of " + where + L" has the identifier " +
                    Number(Le16(tag)) + L", not " + Number(id));
    if (Le16(tag + 2) != 2 && Le16(tag + 2) != 3)
        return Fail(L"The UDF descriptor of " + where + L" has the unknown version " +
                    Number(Le16(tag + 2)));
    if (Le32(tag + 12) != location)
        return Fail(L"The UDF descriptor of " + where + L" names block " + Number(Le32(tag + 12)) +
                    L" as its own");
    const size_t crcLength = Le16(tag + 10);
    if (16 + crcLength > available)
        return Fail(L"The UDF descriptor of " + where + L" claims more bytes than it has");
    if (Crc16(tag + 16, crcLength) != Le16(tag + 8))
        return Fail(L"The UDF descriptor of " + where + L" has a wrong CRC");
    return true;
}

bool DiscImageReader::Locate(unsigned long long block, unsigned reference,
                             unsigned long long blocks, unsigned long long& sector,
                             const wchar_t* what) {
    if (reference >= m_partitions.size())
        return Fail(std::wstring(what) + L" lies in partition " + Number(reference) +
                    L", which the volume does not have");
    const Partition& partition = m_partitions[reference];
    if (block > partition.length || blocks > partition.length - block)
        return Fail(std::wstring(what) + L" lies outside its partition (blocks " + Number(block) +
                    L" to " + Number(block + blocks) + L" of " + Number(partition.length) + L")");
    sector = partition.start + block;
    return true;
}

bool DiscImageReader::ReadVolumeDescriptors(unsigned long long sector, unsigned long long length,
                                            unsigned char* fileSet) {
    std::map<unsigned, Partition> byNumber;
    unsigned char descriptor[kSector];
    unsigned char volume[kSector];
    bool haveVolume = false;
    unsigned long long count = length / kSector;
    for (unsigned read = 0; count > 0; ++read) {
        if (read == kMaxVolumeDescriptors)
            return Fail(L"The UDF volume descriptor sequence does not end");
        if (!ReadSector(sector, descriptor, L"a UDF volume descriptor"))
            return false;
        // An empty sector ends the sequence as a terminating descriptor does: writers that
        // reserve the sequence's extent leave what they do not use zeroed.
        if (std::all_of(descriptor, descriptor + kSector, [](unsigned char b) { return b == 0; }))
            break;
        if (!CheckTag(descriptor, kSector, 0, sector, L"a volume descriptor"))
            return false;
        const unsigned id = Le16(descriptor);
        if (id == 8)  // terminating descriptor
            break;
        if (id == 3) {  // volume descriptor pointer: the sequence goes on there
            count = Le32(descriptor + 20) / kSector;
            sector = Le32(descriptor + 24);
            continue;
        }
        if (id == 5) {
            byNumber[Le16(descriptor + 22)] = {Le32(descriptor + 188), Le32(descriptor + 192)};
        } else if (id == 6) {
            std::memcpy(volume, descriptor, kSector);
            haveVolume = true;
        } else if (id != 1 && id != 4 && id != 7) {
            return Fail(L"The UDF volume descriptor sequence holds a descriptor of kind " +
                        Number(id) + L" at sector " + Number(sector));
        }
        ++sector;
        --count;
    }
    if (!haveVolume)
        return Fail(L"The UDF volume has no logical volume descriptor");
    if (Le32(volume + 212) != kSector)
        return Fail(L"The UDF volume's block size is " + Number(Le32(volume + 212)) +
                    L", not 2048");
    const unsigned long long mapBytes = Le32(volume + 264);
    const unsigned long maps = Le32(volume + 268);
    if (440 + mapBytes > kSector)
        return Fail(L"The UDF logical volume descriptor's partition maps are cut off");
    for (unsigned long i = 0, at = 440; i < maps; ++i) {
        if (at + 2 > 440 + mapBytes || volume[at + 1] < 2 || at + volume[at + 1] > 440 + mapBytes)
            return Fail(L"The UDF logical volume descriptor's partition maps are malformed");
        if (volume[at] != 1 || volume[at + 1] != 6)
            return Fail(L"The UDF volume has a partition map of type " + Number(volume[at]) +
                        L" (virtual, sparable or metadata), which this reader does not read");
        const auto found = byNumber.find(Le16(volume + at + 4));
        if (found == byNumber.end())
            return Fail(L"The UDF volume maps partition " + Number(Le16(volume + at + 4)) +
                        L", which has no partition descriptor");
        const Partition& partition = found->second;
        if (partition.start + partition.length > m_imageBytes / kSector)
            return Fail(L"The image is truncated: its UDF partition ends at sector " +
                        Number(partition.start + partition.length) + L", the image at " +
                        Number(m_imageBytes / kSector));
        m_partitions.push_back(partition);
        at += volume[at + 1];
    }
    std::memcpy(fileSet, volume + 248, 16);
    return true;
}

bool DiscImageReader::ReadUdf() {
    unsigned char sector[kSector];
    if (!ReadSector(256, sector, L"the UDF anchor") ||
        !CheckTag(sector, kSector, 2, 256, L"the anchor volume descriptor pointer"))
        return false;
    unsigned char fileSetAd[16];
    if (!ReadVolumeDescriptors(Le32(sector + 20), Le32(sector + 16), fileSetAd))
        return false;

    const unsigned long long fileSetBlock = Le32(fileSetAd + 4);
    unsigned long long at = 0;
    if (!Locate(fileSetBlock, Le16(fileSetAd + 8), 1, at, L"The file set descriptor") ||
        !ReadSector(at, sector, L"the file set descriptor") ||
        !CheckTag(sector, kSector, 256, fileSetBlock, L"the file set descriptor"))
        return false;
    Node root;
    if (!ReadNode(sector + 400, root, L""))
        return false;
    if (root.type != 4)
        return Fail(L"The UDF root is not a folder");

    struct Folder {
        Node node;
        std::wstring path;
        unsigned depth;
    };
    std::vector<Folder> pending;
    pending.push_back({std::move(root), L"", 0});
    std::set<std::pair<unsigned, unsigned long long>> visited;
    std::vector<std::pair<Node, std::wstring>> children;
    while (!pending.empty()) {
        const Folder folder = std::move(pending.back());
        pending.pop_back();
        if (!visited.insert({folder.node.reference, folder.node.block}).second)
            return Fail(L"The folder " + Quoted(folder.path) +
                        L" is a folder already read (a loop in the UDF tree)");
        if (!ReadUdfDirectory(folder.node, folder.path, children))
            return false;
        std::set<std::wstring> names;
        for (auto& [node, name] : children) {
            Entry entry;
            entry.folder = node.type == 4;
            if (entry.folder && folder.depth + 1 > kMaxDepth)
                return Fail(L"The folder " + Quoted(Join(folder.path, name)) +
                            L" lies deeper than " + Number(kMaxDepth) + L" levels");
            if (!entry.folder) {
                entry.size = node.size;
                entry.extents = std::move(node.extents);
            }
            if (!AddEntry(folder.path, name, std::move(entry), names))
                return false;
            if (m_entries.back().folder)
                pending.push_back({std::move(node), m_entries.back().path, folder.depth + 1});
        }
    }
    m_isUdf = true;
    return true;
}

// A file entry (or an extended one, UDF 2.0 on) and where its data lies.
bool DiscImageReader::ReadNode(const unsigned char* longAd, Node& node, const std::wstring& path) {
    node = Node();
    node.block = Le32(longAd + 4);
    node.reference = Le16(longAd + 8);
    const std::wstring what = L"The file entry of " + Quoted(path);
    unsigned long long sector = 0;
    unsigned char entry[kSector];
    if (!Locate(node.block, node.reference, 1, sector, what.c_str()) ||
        !ReadSector(sector, entry, what.c_str()) ||
        !CheckTag(entry, kSector, 0, node.block, what.c_str()))
        return false;
    const unsigned id = Le16(entry);
    if (id != 261 && id != 266)
        return Fail(what + L" is a descriptor of kind " + Number(id) + L", not a file entry");
    const unsigned strategy = Le16(entry + 20);
    if (strategy != 4 && strategy != 4096)
        return Fail(what + L" uses ICB strategy " + Number(strategy) +
                    L", which this reader does not read");
    node.type = entry[27];
    if (node.type != 4 && node.type != 5)
        return Fail(Quoted(path) + L" is neither a folder nor a file (UDF file type " +
                    Number(node.type) + L")");
    node.size = Le64(entry + 56);
    const size_t base = id == 261 ? 176 : 216;
    const unsigned long long eaLength = Le32(entry + base - 8);
    const unsigned long long adLength = Le32(entry + base - 4);
    if (base + eaLength + adLength > kSector)
        return Fail(what + L" is longer than its block");
    const unsigned adType = Le16(entry + 34) & 7;
    if (adType == 3) {  // the data is in the entry itself
        if (node.size > adLength)
            return Fail(what + L" holds " + Number(adLength) + L" bytes of data for a size of " +
                        Number(node.size));
        if (node.size > 0)
            node.extents.push_back({sector * kSector + base + eaLength, node.size, false});
        return true;
    }
    if (adType > 2)
        return Fail(what + L" has the unknown allocation descriptor type " + Number(adType));
    return ReadAllocation(entry + base + eaLength, static_cast<size_t>(adLength), adType,
                          node.reference, node, path);
}

// Short (8 bytes), long (16) or extended (20) allocation descriptors, with
// allocation extent descriptors continuing the list elsewhere. An extent
// allocated but not recorded reads as zeros.
bool DiscImageReader::ReadAllocation(const unsigned char* ads, size_t length, unsigned type,
                                     unsigned reference, Node& node, const std::wstring& path) {
    const size_t adSize = type == 0 ? 8 : type == 1 ? 16 : 20;
    const std::wstring what = L"The data of " + Quoted(path);
    unsigned char more[kSector];
    std::set<unsigned long long> continued;
    unsigned long long remaining = node.size;
    while (remaining > 0) {
        if (length < adSize)
            return Fail(what + L" ends " + Number(remaining) + L" bytes before its size");
        const unsigned long raw = Le32(ads);
        const unsigned long long extentLength = raw & 0x3FFFFFFF;
        const unsigned kind = raw >> 30;
        unsigned long long block = Le32(ads + 4);
        unsigned partition = reference;
        unsigned long long recorded = extentLength;
        if (type == 1) {
            partition = Le16(ads + 8);
        } else if (type == 2) {
            recorded = std::min<unsigned long long>(Le32(ads + 4) & 0x3FFFFFFF, extentLength);
            block = Le32(ads + 12);
            partition = Le16(ads + 16);
        }
        ads += adSize;
        length -= adSize;
        if (extentLength == 0)
            return Fail(what + L" ends " + Number(remaining) + L" bytes before its size");
        unsigned long long sector = 0;
        if (kind == 3) {  // the list goes on in an allocation extent descriptor
            if (continued.size() == kMaxAllocationBlocks)
                return Fail(what + L" has too many allocation extents");
            if (!Locate(block, partition, 1, sector, what.c_str()))
                return false;
            if (!continued.insert(sector).second)
                return Fail(what + L" has allocation extents that form a loop");
            if (!ReadSector(sector, more, what.c_str()) ||
                !CheckTag(more, kSector, 258, block, L"an allocation extent descriptor"))
                return false;
            length = Le32(more + 20);
            if (24 + length > kSector)
                return Fail(what + L" has an allocation extent descriptor longer than its block");
            ads = more + 24;
            continue;
        }
        const unsigned long long take = std::min(extentLength, remaining);
        if (kind == 0 && recorded > 0) {
            if (!Locate(block, partition, (recorded + kSector - 1) / kSector, sector, what.c_str()))
                return false;
            node.extents.push_back({sector * kSector, std::min(recorded, take), false});
        }
        if (kind != 0 || recorded < take)
            node.extents.push_back({0, take - (kind == 0 ? recorded : 0), true});
        remaining -= take;
    }
    return true;
}

bool DiscImageReader::ReadNodeData(const Node& node, std::vector<unsigned char>& data,
                                   const std::wstring& path) {
    if (node.size > kMaxFolderBytes)
        return Fail(L"The folder " + Quoted(path) + L" is too large (" + Number(node.size) +
                    L" bytes)");
    data.assign(static_cast<size_t>(node.size), 0);
    size_t at = 0;
    for (const Extent& extent : node.extents) {
        if (!extent.zeros && !ReadAt(extent.offset, data.data() + at, extent.length))
            return Fail(L"The image cannot be read where the folder " + Quoted(path) + L" lies: " +
                        SystemText(GetLastError()));
        at += static_cast<size_t>(extent.length);
    }
    return true;
}

// The file identifier descriptors of a folder: each names a file entry.
bool DiscImageReader::ReadUdfDirectory(const Node& folder, const std::wstring& path,
                                       std::vector<std::pair<Node, std::wstring>>& children) {
    children.clear();
    std::vector<unsigned char> data;
    if (!ReadNodeData(folder, data, path))
        return false;
    const unsigned long long partitionStart = m_partitions[folder.reference].start;
    size_t extent = 0;            // the extent that holds byte at
    unsigned long long from = 0;  // where that extent starts in data
    for (size_t at = 0; at < data.size();) {
        const unsigned char* fid = &data[at];
        const size_t left = data.size() - at;
        if (left < 38)
            return Fail(L"The folder " + Quoted(path) + L" ends inside an entry");
        const size_t idLength = fid[19];
        const size_t useLength = Le16(fid + 36);
        const size_t used = 38 + useLength + idLength;
        if (used > left)
            return Fail(L"The folder " + Quoted(path) + L" ends inside an entry");
        // Each descriptor names the block it starts in.
        while (extent < folder.extents.size() && from + folder.extents[extent].length <= at)
            from += folder.extents[extent++].length;
        const unsigned long long block =
            extent < folder.extents.size() && !folder.extents[extent].zeros
                ? (folder.extents[extent].offset + (at - from)) / kSector - partitionStart
                : 0;
        const std::wstring what = L"an entry of the folder " + Quoted(path);
        const size_t padded = std::min(left, (used + 3) & ~size_t(3));
        if (!CheckTag(fid, padded, 257, block, what.c_str()))
            return false;
        at += padded;
        const unsigned characteristics = fid[18];
        if (characteristics & 0x0C)  // deleted, or the parent
            continue;
        std::wstring name;
        if (!UdfName(fid + 38 + useLength, idLength, name))
            return Fail(L"The folder " + Quoted(path) + L" holds a name in an unknown encoding");
        const std::wstring childPath = Join(path, name);
        Node node;
        if (!ReadNode(fid + 20, node, childPath))
            return false;
        if ((node.type == 4) != ((characteristics & 0x02) != 0))
            return Fail(L"The folder " + Quoted(path) + L" lists " + Quoted(childPath) + L" as " +
                        ((characteristics & 0x02) ? L"a folder" : L"a file") +
                        L", its file entry says otherwise");
        children.emplace_back(std::move(node), std::move(name));
    }
    return true;
}

// ---------------------------------------------------------------------------
// Comparing with the source

DiscImageReader::Outcome DiscImageReader::CompareWithSource(const std::wstring& source,
                                                            size_t chunk, const Progress& progress,
                                                            std::wstring& difference) const {
    try {
        return CompareTree(source, chunk, progress, difference);
    } catch (const std::bad_alloc&) {
        try {
            difference = L"There is not enough memory to compare the image with its source";
        } catch (const std::bad_alloc&) {
            difference.clear();
        }
        return Outcome::kImageUnreadable;
    }
}

DiscImageReader::Outcome DiscImageReader::CompareTree(const std::wstring& source, size_t chunk,
                                                      const Progress& progress,
                                                      std::wstring& difference) const {
    difference.clear();
    if (chunk == 0)
        chunk = 256 * 1024;
    chunk = std::min<size_t>(chunk, 16 << 20);  // two buffers of it are held
    if (!m_image) {
        difference = L"No image is open";
        return Outcome::kImageUnreadable;
    }
    std::wstring full(MAX_PATH, L'\0');
    DWORD got =
        GetFullPathNameW(source.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    if (got >= full.size()) {
        full.resize(got);
        got = GetFullPathNameW(source.c_str(), got, &full[0], nullptr);
    }
    if (got == 0 || got >= full.size()) {
        difference = L"The source " + source + L" is not a valid path";
        return Outcome::kSourceUnreadable;
    }
    full.resize(got);
    while (full.size() > 3 && full.back() == L'\\')
        full.pop_back();
    const std::wstring base = LongPath(full);
    // What names below the source are joined to: a drive's root already ends in '\'.
    const std::wstring folderPrefix = base.back() == L'\\' ? base : base + L"\\";

    struct Item {
        bool folder;
        unsigned long long size;
    };
    std::map<std::wstring, Item> expected;  // relative path -> what the source has there
    WIN32_FILE_ATTRIBUTE_DATA top{};
    if (!GetFileAttributesExW(base.c_str(), GetFileExInfoStandard, &top)) {
        difference = L"The source " + full + L" cannot be read: " + SystemText(GetLastError());
        return Outcome::kSourceUnreadable;
    }
    std::map<std::wstring, std::wstring> onHost;  // relative path -> long path, for files
    if (!(top.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        const std::wstring name = full.substr(full.find_last_of(L"\\/") + 1);
        expected[name] = {
            false, (static_cast<unsigned long long>(top.nFileSizeHigh) << 32) | top.nFileSizeLow};
        onHost[name] = base;
    } else {
        std::vector<std::pair<std::wstring, unsigned>> folders{{L"", 0}};
        while (!folders.empty()) {
            const auto [relative, depth] = folders.back();
            folders.pop_back();
            const std::wstring at = folderPrefix + relative;
            WIN32_FIND_DATAW found{};
            vesko::UniqueFindHandle find(
                FindFirstFileW((relative.empty() ? at + L"*" : at + L"\\*").c_str(), &found));
            if (!find) {
                const DWORD error = GetLastError();
                if (error == ERROR_FILE_NOT_FOUND)
                    continue;
                difference =
                    L"The source folder " + at + L" cannot be listed: " + SystemText(error);
                return Outcome::kSourceUnreadable;
            }
            do {
                const std::wstring name = found.cFileName;
                if (name == L"." || name == L"..")
                    continue;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                    continue;  // links never go onto the disc
                const std::wstring path = Join(relative, name);
                const bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
                expected[path] = {
                    folder, folder ? 0
                                   : (static_cast<unsigned long long>(found.nFileSizeHigh) << 32) |
                                         found.nFileSizeLow};
                if (folder && depth < kMaxDepth)
                    folders.push_back({path, depth + 1});
                else if (!folder)
                    onHost[path] = folderPrefix + path;
            } while (FindNextFileW(find.Get(), &found));
            if (GetLastError() != ERROR_NO_MORE_FILES) {
                difference = L"The source folder " + at + L" cannot be listed: " +
                             SystemText(GetLastError());
                return Outcome::kSourceUnreadable;
            }
        }
    }

    // Names, kinds and sizes first: a missing file is found before any byte
    // is read.
    std::map<std::wstring, const Entry*> onDisc;
    for (const Entry& entry : m_entries)
        onDisc[entry.path] = &entry;
    auto want = expected.begin();
    auto have = onDisc.begin();
    while (want != expected.end() || have != onDisc.end()) {
        if (have == onDisc.end() || (want != expected.end() && want->first < have->first)) {
            difference = L"Missing on the disc: " + want->first;
            return Outcome::kDifferent;
        }
        if (want == expected.end() || have->first < want->first) {
            difference = L"Not in the source: " + have->first;
            return Outcome::kDifferent;
        }
        if (want->second.folder != have->second->folder) {
            difference = want->first + L" is a " + (want->second.folder ? L"folder" : L"file") +
                         L" in the source and a " + (want->second.folder ? L"file" : L"folder") +
                         L" on the disc";
            return Outcome::kDifferent;
        }
        if (want->second.size != have->second->size) {
            difference = want->first + L" has " + Number(have->second->size) +
                         L" bytes on the disc and " + Number(want->second.size) + L" in the source";
            return Outcome::kDifferent;
        }
        ++want;
        ++have;
    }

    std::vector<unsigned char> disc(chunk), host(chunk);
    unsigned long long left = m_fileBytes;
    for (const Entry& entry : m_entries) {
        if (entry.folder)
            continue;
        vesko::UniqueHandle file(CreateFileW(onHost[entry.path].c_str(), GENERIC_READ,
                                             FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                             FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (file.Get() == INVALID_HANDLE_VALUE) {
            file.Release();
            difference = L"The source file " + entry.path + L" cannot be opened: " +
                         SystemText(GetLastError());
            return Outcome::kSourceUnreadable;
        }
        File onImage = OpenFile(entry);
        for (unsigned long long done = 0;;) {
            const size_t step =
                static_cast<size_t>(std::min<unsigned long long>(chunk, entry.size - done));
            size_t fromDisc = 0;
            if (!onImage.Read(disc.data(), step, fromDisc) || fromDisc != step) {
                difference = L"The image cannot be read where " + entry.path + L" lies";
                return Outcome::kImageUnreadable;
            }
            // One byte more than the disc holds shows a source that grew.
            DWORD fromHost = 0;
            if (!ReadFile(file.Get(), host.data(), static_cast<DWORD>(step == 0 ? 1 : step),
                          &fromHost, nullptr)) {
                difference = L"The source file " + entry.path + L" cannot be read: " +
                             SystemText(GetLastError());
                return Outcome::kSourceUnreadable;
            }
            if (step == 0) {
                if (fromHost != 0) {
                    difference = entry.path + L" is longer in the source than on the disc";
                    return Outcome::kDifferent;
                }
                break;
            }
            if (fromHost != step) {
                difference = entry.path + L" is shorter in the source than on the disc";
                return Outcome::kDifferent;
            }
            const auto mismatch = std::mismatch(disc.begin(), disc.begin() + step, host.begin());
            if (mismatch.first != disc.begin() + step) {
                difference = entry.path + L" differs from the source at byte " +
                             Number(done + (mismatch.first - disc.begin()));
                return Outcome::kDifferent;
            }
            done += step;
            left -= step;
            if (progress && !progress(step, std::min<unsigned long long>(chunk, left)))
                return Outcome::kStopped;
        }
    }
    return Outcome::kSame;
}
