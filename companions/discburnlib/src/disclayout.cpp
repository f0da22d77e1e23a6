#include "disclayout.h"

#include <algorithm>
#include <deque>
#include <set>

namespace {

constexpr size_t kJolietMax = 64;  // UTF-16 units a Joliet name may have

uint64_t SectorsOf(uint64_t bytes) {
    return (bytes + DiscLayout::kSector - 1) / DiscLayout::kSector;
}

// Compares two ISO 9660 names as the standard orders a directory: name part
// and then extension, each as if padded with spaces.
int ComparePadded(const std::string& a, const std::string& b) {
    const size_t n = std::max(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const unsigned char x = i < a.size() ? a[i] : ' ', y = i < b.size() ? b[i] : ' ';
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

void SplitIso(const std::string& name, std::string& stem, std::string& ext) {
    const size_t dot = name.find('.');
    stem = name.substr(0, dot);
    ext = dot == std::string::npos ? "" : name.substr(dot + 1, name.find(';') - dot - 1);
}

bool IsoLess(const std::string& a, const std::string& b) {
    std::string sa, ea, sb, eb;
    SplitIso(a, sa, ea);
    SplitIso(b, sb, eb);
    const int stems = ComparePadded(sa, sb);
    return stems != 0 ? stems < 0 : ComparePadded(ea, eb) < 0;
}

// Upper case for telling names apart as Windows does on a Joliet disc.
std::wstring Folded(std::wstring text) {
    CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

}  // namespace

uint32_t DiscLayout::FidBytes(const std::wstring& name) {
    bool wide = false;
    for (wchar_t c : name)
        wide = wide || c > 0xFF;
    const size_t id = name.empty() ? 0 : 1 + name.size() * (wide ? 2 : 1);
    if (id > 255)
        return 0;
    return static_cast<uint32_t>((38 + id + 3) / 4 * 4);
}

void DiscLayout::NameIso(uint32_t folder) {
    DiscNode& dir = m_nodes[folder];
    std::set<std::string> used;
    for (uint32_t child : dir.children) {
        DiscNode& node = m_nodes[child];
        std::wstring stemW = node.name, extW;
        const size_t dot = node.name.rfind(L'.');
        if (!node.folder && dot != std::wstring::npos && dot > 0) {
            stemW = node.name.substr(0, dot);
            extW = node.name.substr(dot + 1);
        }
        std::string stem = DChars(stemW, 8), ext = DChars(extW, 3);
        if (stem.empty())
            stem = "_";
        // Names cut to 8.3 and mapped to d-characters collide easily; a
        // number at the end of the name part keeps each one unique.
        std::string key = ext.empty() ? stem : stem + "." + ext;
        for (unsigned n = 1; used.count(key); ++n) {
            const std::string number = "_" + std::to_string(n);
            const std::string cut = stem.substr(0, 8 - std::min<size_t>(8, number.size()));
            key = ext.empty() ? cut + number : cut + number + "." + ext;
        }
        used.insert(key);
        node.isoName = node.folder ? key : (ext.empty() ? key + "." : key) + ";1";
    }
    dir.isoOrder = dir.children;
    std::sort(dir.isoOrder.begin(), dir.isoOrder.end(), [this](uint32_t a, uint32_t b) {
        return IsoLess(m_nodes[a].isoName, m_nodes[b].isoName);
    });
}

bool DiscLayout::NameJoliet(uint32_t folder) {
    DiscNode& dir = m_nodes[folder];
    bool changed = false;
    std::set<std::wstring> used;
    // Names that fit keep their place first; the others are shortened after,
    // so a shortened name never takes the name of a file that fits as it is.
    std::vector<uint32_t> toShorten;
    for (uint32_t child : dir.children) {
        const std::wstring& name = m_nodes[child].name;
        const bool fits =
            name.size() <= kJolietMax && name.find_first_of(L"*/:;?\\") == std::wstring::npos &&
            std::none_of(name.begin(), name.end(), [](wchar_t c) { return c < 0x20; });
        if (fits && used.insert(Folded(name)).second)
            m_nodes[child].jolietName.assign(name.begin(), name.end());
        else
            toShorten.push_back(child);
    }
    for (uint32_t child : toShorten) {
        changed = true;
        std::wstring name = m_nodes[child].name;
        for (wchar_t& c : name)
            if (c < 0x20 || std::wstring(L"*/:;?\\").find(c) != std::wstring::npos)
                c = L'_';
        std::wstring stem = name, ext;
        const size_t dot = name.rfind(L'.');
        if (!m_nodes[child].folder && dot != std::wstring::npos && dot > 0 &&
            name.size() - dot <= 16) {
            stem = name.substr(0, dot);
            ext = name.substr(dot);
        }
        std::wstring candidate;
        for (unsigned n = 1;; ++n) {
            const std::wstring number = L"~" + std::to_wstring(n);
            size_t keep = kJolietMax - ext.size() - number.size();
            keep = std::min(keep, stem.size());
            // Never cut a surrogate pair in two.
            if (keep > 0 && keep < stem.size() && IS_HIGH_SURROGATE(stem[keep - 1]))
                --keep;
            candidate = stem.substr(0, keep) + number + ext;
            if (used.insert(Folded(candidate)).second)
                break;
        }
        m_nodes[child].jolietName.assign(candidate.begin(), candidate.end());
    }
    dir.jolietOrder = dir.children;
    std::sort(dir.jolietOrder.begin(), dir.jolietOrder.end(), [this](uint32_t a, uint32_t b) {
        return m_nodes[a].jolietName < m_nodes[b].jolietName;
    });
    return !changed;
}

std::vector<uint32_t> DiscLayout::BreadthFirst(bool joliet) const {
    std::vector<uint32_t> order{0};
    for (size_t i = 0; i < order.size(); ++i) {
        const DiscNode& dir = m_nodes[order[i]];
        for (uint32_t child : joliet ? dir.jolietOrder : dir.isoOrder)
            if (m_nodes[child].folder)
                order.push_back(child);
    }
    return order;
}

uint32_t DiscLayout::DirBytes(uint32_t folder, bool joliet) const {
    uint64_t pos = 0;
    auto add = [&pos](uint32_t len) {
        if (pos % kSector + len > kSector)
            pos = SectorsOf(pos) * kSector;
        pos += len;
    };
    add(RecordBytes(1));
    add(RecordBytes(1));
    const DiscNode& dir = m_nodes[folder];
    // Records never cross a sector, so where they break depends on their order.
    for (uint32_t child : joliet ? dir.jolietOrder : dir.isoOrder) {
        const DiscNode& node = m_nodes[child];
        const size_t id = joliet ? node.jolietName.size() * 2 : node.isoName.size();
        const uint32_t records = node.folder ? 1 : Extents(node.size, kIsoExtent);
        for (uint32_t r = 0; r < records; ++r)
            add(RecordBytes(id));
    }
    return static_cast<uint32_t>(SectorsOf(pos) * kSector);
}

void DiscLayout::Add(Part part, uint64_t sectors, uint32_t node) {
    if (sectors == 0)
        return;
    m_regions.push_back(Region{m_sectors, sectors, part, node});
    m_sectors += sectors;
}

size_t DiscLayout::Find(uint64_t sector) const {
    auto it = std::upper_bound(m_regions.begin(), m_regions.end(), sector,
                               [](uint64_t s, const Region& r) { return s < r.start; });
    return it == m_regions.begin() ? 0 : static_cast<size_t>(it - m_regions.begin() - 1);
}

uint32_t DiscLayout::SectorOf(Part part) const {
    for (const Region& r : m_regions)
        if (r.part == part)
            return static_cast<uint32_t>(r.start);
    return 0;
}

CD::EError DiscLayout::Build(std::vector<DiscNode> nodes, std::wstring base,
                             const std::wstring& label, const FILETIME& recorded, bool udf) {
    m_nodes = std::move(nodes);
    m_base = std::move(base);
    m_label = label;
    if (!FileTimeToSystemTime(&recorded, &m_recorded))
        return CD::eNotSupported;
    bool jolietHoldsAll = true;
    m_folders = m_files = 0;
    m_fileBytes = 0;
    for (uint32_t i = 0; i < m_nodes.size(); ++i) {
        DiscNode& node = m_nodes[i];
        if (i != 0 && FidBytes(node.name) == 0)
            return CD::eNotSupported;  // longer than a UDF name can be
        if (node.folder) {
            ++m_folders;
            NameIso(i);
            jolietHoldsAll = NameJoliet(i) && jolietHoldsAll;
        } else {
            ++m_files;
            m_fileBytes += node.size;
            udf = udf || node.size >= (1ull << 32);
            // 176 bytes of file entry leave room for 234 allocation descriptors.
            if (Extents(node.size, kUdfExtent) > 234)
                return CD::eNotSupported;
        }
    }
    m_udf = udf || !jolietHoldsAll;
    m_isoFolders = BreadthFirst(false);
    m_jolietFolders = BreadthFirst(true);
    // Path tables number folders with 16 bits.
    if (m_isoFolders.size() > 0xFFFF)
        return CD::eNotSupported;
    m_isoPathBytes = m_jolietPathBytes = 0;
    for (uint32_t f : m_isoFolders) {
        const size_t id = f == 0 ? 1 : m_nodes[f].isoName.size();
        m_isoPathBytes += static_cast<uint32_t>(8 + id + id % 2);
    }
    for (uint32_t f : m_jolietFolders) {
        const size_t id = f == 0 ? 1 : m_nodes[f].jolietName.size() * 2;
        m_jolietPathBytes += static_cast<uint32_t>(8 + id + id % 2);
    }

    m_regions.clear();
    m_sectors = 0;
    Add(Part::Zero, 16);
    Add(Part::Primary, 1);
    Add(Part::Joliet, 1);
    Add(Part::Terminator, 1);
    if (m_udf) {
        Add(Part::Recognition, 3);
        Add(Part::Zero, kUdfMainVds - m_sectors);
        Add(Part::UdfMain, kUdfVdsSectors);
        Add(Part::UdfReserve, kUdfVdsSectors);
        Add(Part::UdfIntegrity, 2);
        Add(Part::Zero, kUdfAnchor - m_sectors);
        Add(Part::UdfAnchor, 1);
        // The partition runs from here to the last anchor: every file
        // entry, folder and file's data lies within it.
        m_partitionStart = static_cast<uint32_t>(m_sectors);
        Add(Part::UdfFileSet, 2);
        Add(Part::UdfEntries, m_nodes.size());
    }
    Add(Part::IsoPathL, SectorsOf(m_isoPathBytes));
    Add(Part::IsoPathM, SectorsOf(m_isoPathBytes));
    Add(Part::JolietPathL, SectorsOf(m_jolietPathBytes));
    Add(Part::JolietPathM, SectorsOf(m_jolietPathBytes));
    for (uint32_t i = 0; i < m_isoFolders.size(); ++i) {
        DiscNode& dir = m_nodes[m_isoFolders[i]];
        dir.isoNumber = i + 1;
        dir.isoDir = static_cast<uint32_t>(m_sectors);
        dir.isoDirBytes = DirBytes(m_isoFolders[i], false);
        Add(Part::IsoDir, dir.isoDirBytes / kSector, m_isoFolders[i]);
    }
    for (uint32_t i = 0; i < m_jolietFolders.size(); ++i) {
        DiscNode& dir = m_nodes[m_jolietFolders[i]];
        dir.jolietNumber = i + 1;
        dir.jolietDir = static_cast<uint32_t>(m_sectors);
        dir.jolietDirBytes = DirBytes(m_jolietFolders[i], true);
        Add(Part::JolietDir, dir.jolietDirBytes / kSector, m_jolietFolders[i]);
    }
    if (m_udf) {
        const uint32_t entries = SectorOf(Part::UdfEntries);
        for (uint32_t i = 0; i < m_nodes.size(); ++i) {
            DiscNode& node = m_nodes[i];
            node.udfEntry = entries + i;
            if (!node.folder)
                continue;
            node.udfDirBytes = 40;  // the parent's identifier
            for (uint32_t child : node.children)
                node.udfDirBytes += FidBytes(m_nodes[child].name);
            node.udfDir = static_cast<uint32_t>(m_sectors);
            Add(Part::UdfDir, SectorsOf(node.udfDirBytes), i);
        }
    }
    // File data last, in listing order: reading the image reads the source
    // front to back, folder by folder.
    for (uint32_t i = 0; i < m_nodes.size(); ++i) {
        DiscNode& node = m_nodes[i];
        if (node.folder || node.size == 0)
            continue;
        node.data = static_cast<uint32_t>(m_sectors);
        Add(Part::FileData, SectorsOf(node.size), i);
    }
    if (m_udf) {
        m_partitionSectors = static_cast<uint32_t>(m_sectors - m_partitionStart);
        Add(Part::UdfAnchor, 1);
    }
    // Sector numbers are 32 bits in both file systems.
    return m_sectors > 0xFFFFFFFFull ? CD::eNotSupported : CD::eOK;
}

std::string DiscLayout::DChars(const std::wstring& text, size_t max) {
    std::string out;
    for (wchar_t c : text) {
        if (out.size() == max)
            break;
        if (c >= L'a' && c <= L'z')
            out += static_cast<char>(c - L'a' + 'A');
        else if ((c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'_')
            out += static_cast<char>(c);
        else
            out += '_';
    }
    return out;
}
