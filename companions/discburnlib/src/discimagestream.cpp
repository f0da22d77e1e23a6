#include "discimagestream.h"

#include "sourcetree.h"

#include <algorithm>
#include <cstring>

DiscImageStream::DiscImageStream(DiscLayout layout)
    : m_layout(std::move(layout)), m_iso(m_layout), m_udf(m_layout) {}

bool DiscImageStream::Seek(unsigned long long position) {
    m_position = position;
    return true;
}

size_t DiscImageStream::ReadGenerated(size_t index, uint8_t* out, size_t size) {
    using Part = DiscLayout::Part;
    const DiscLayout::Region& region = m_layout.Regions()[index];
    const uint64_t kS = DiscLayout::kSector;
    const uint64_t sector = m_position / kS;
    // File entries are generated one sector at a time (there is one per
    // node); directories and path tables, which grow with the tree, a window
    // at a time; the fixed descriptors whole.
    const bool single = region.part == Part::UdfEntries;
    const bool windowed = region.part == Part::IsoPathL || region.part == Part::IsoPathM ||
                          region.part == Part::JolietPathL || region.part == Part::JolietPathM ||
                          region.part == Part::IsoDir || region.part == Part::JolietDir ||
                          region.part == Part::UdfDir;
    uint64_t unitStart = region.start, unitSectors = region.sectors;
    if (single) {
        unitStart = sector;
        unitSectors = 1;
    } else if (windowed) {
        unitStart = region.start + (sector - region.start) / kWindowSectors * kWindowSectors;
        unitSectors = std::min(kWindowSectors, region.start + region.sectors - unitStart);
    }
    const uint64_t unitEnd = (unitStart + unitSectors) * kS;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size, unitEnd - m_position));
    if (region.part == Part::Zero) {
        memset(out, 0, n);
        return n;
    }
    if (m_cacheRegion != index || m_cacheStart != unitStart) {
        m_cache.assign(static_cast<size_t>(unitSectors * kS), 0);
        const uint32_t node = static_cast<uint32_t>(unitStart - region.start);
        discbytes::Window window;
        window.begin = (unitStart - region.start) * kS;
        window.end = window.begin + unitSectors * kS;
        window.out = m_cache.data();
        switch (region.part) {
            case Part::Primary:
            case Part::Joliet:
            case Part::Terminator:
            case Part::IsoPathL:
            case Part::IsoPathM:
            case Part::JolietPathL:
            case Part::JolietPathM:
            case Part::IsoDir:
            case Part::JolietDir:
                m_iso.Write(region, window);
                break;
            default:
                m_udf.Write(region, node, window);
                break;
        }
        m_cacheRegion = index;
        m_cacheStart = unitStart;
    }
    memcpy(out, m_cache.data() + (m_position - unitStart * kS), n);
    return n;
}

bool DiscImageStream::ReadFileData(const DiscLayout::Region& region, uint8_t* out, size_t size,
                                   size_t& done) {
    const uint64_t kS = DiscLayout::kSector;
    const DiscNode& node = m_layout.Nodes()[region.node];
    const uint64_t offset = m_position - region.start * kS;
    const uint64_t regionEnd = region.sectors * kS;
    size = static_cast<size_t>(std::min<uint64_t>(size, regionEnd - offset));
    if (offset >= node.size) {  // the zeros after the data, to the sector's end
        memset(out, 0, size);
        done = size;
        return true;
    }
    if (!m_file || m_fileNode != region.node) {
        m_file.Reset();
        const std::wstring path =
            SourceTree::PathOf(m_layout.Base(), m_layout.Nodes(), region.node);
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return false;
        m_file.Reset(h);
        // A file that grew or shrank since the layout would not fit its place.
        LARGE_INTEGER actual{};
        if (!GetFileSizeEx(h, &actual) || static_cast<uint64_t>(actual.QuadPart) != node.size) {
            m_file.Reset();
            return false;
        }
        m_fileNode = region.node;
        m_fileOffset = 0;
    }
    if (m_fileOffset != offset) {
        LARGE_INTEGER to;
        to.QuadPart = static_cast<LONGLONG>(offset);
        if (!SetFilePointerEx(m_file.Get(), to, nullptr, FILE_BEGIN))
            return false;
        m_fileOffset = offset;
    }
    const uint64_t want = std::min<uint64_t>(size, node.size - offset);
    uint64_t got = 0;
    while (got < want) {
        const DWORD chunk = static_cast<DWORD>(std::min<uint64_t>(want - got, 1u << 30));
        DWORD n = 0;
        if (!ReadFile(m_file.Get(), out + got, chunk, &n, nullptr) || n == 0) {
            m_file.Reset();
            return false;  // shorter than laid out
        }
        got += n;
        m_fileOffset += n;
    }
    done = static_cast<size_t>(got);
    if (m_fileOffset == node.size) {
        // The whole file is out: if it grew while it was read (a writer that
        // our sharing does not keep out, such as another client of a file
        // server), what was read is not the file as it is now.
        LARGE_INTEGER actual{};
        const bool same = GetFileSizeEx(m_file.Get(), &actual) &&
                          static_cast<uint64_t>(actual.QuadPart) == node.size;
        m_file.Reset();
        return same;
    }
    return true;
}

bool DiscImageStream::Read(void* buffer, size_t size, size_t& read) {
    read = 0;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    const uint64_t end = m_layout.Sectors() * DiscLayout::kSector;
    while (read < size && m_position < end) {
        const size_t index = m_layout.Find(m_position / DiscLayout::kSector);
        const DiscLayout::Region& region = m_layout.Regions()[index];
        size_t n = 0;
        if (region.part == DiscLayout::Part::FileData) {
            if (!ReadFileData(region, out + read, size - read, n))
                return false;
        } else {
            n = ReadGenerated(index, out + read, size - read);
        }
        read += n;
        m_position += n;
    }
    return true;
}
