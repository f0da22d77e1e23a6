// DiscImageReader: reads a finished disc image back the way a drive's reader
// would, to verify a burn. It shares nothing with the code that wrote the
// image, so a mistake in the writer cannot hide itself by being repeated
// here. It reads the UDF tree when the image has one (what Windows mounts),
// otherwise the Joliet tree, and trusts nothing it reads: descriptor tags and
// checksums, every extent inside the image, no folder reached twice, a depth
// bound. A malformed image gives a failure with its reason, never a crash or
// an endless walk.
#pragma once

#include <windows.h>

#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <vesko/raii.h>

class DiscImageReader {
  public:
    static constexpr unsigned kSectorSize = 2048;
    // Deeper trees are taken as malformed: no source of this system's
    // comes near it, and it bounds the walk of a crafted image.
    static constexpr unsigned kMaxDepth = 255;

    // Which file system's tree Open reads.
    enum class Tree {
        kPreferred,  // UDF when the image announces it, else Joliet
        kUdf,
        kJoliet,
    };

    // A piece of a file's data, in order: bytes of the image, or a run of
    // zeros (an extent UDF allocates without recording it).
    struct Extent {
        unsigned long long offset = 0;  // in the image; unused for zeros
        unsigned long long length = 0;
        bool zeros = false;
    };

    // One folder or file of the disc. path is relative to the disc's root,
    // '\' separated, without a version suffix.
    struct Entry {
        std::wstring path;
        bool folder = false;
        unsigned long long size = 0;  // 0 for folders
        std::vector<Extent> extents;  // exactly size bytes in all
    };

    // A file's data read from its start. Valid while its reader lives.
    class File {
      public:
        File(const DiscImageReader& reader, const Entry& entry);
        // Fills buffer up to size; read is 0 at the end. False when the
        // image could not be read (read then holds what was).
        bool Read(void* buffer, size_t size, size_t& read);
        unsigned long long Size() const { return m_size; }

      private:
        const DiscImageReader& m_reader;
        const std::vector<Extent>& m_extents;
        unsigned long long m_size;
        size_t m_extent = 0;              // the extent read next
        unsigned long long m_within = 0;  // bytes of it already read
    };

    // What CompareWithSource found.
    enum class Outcome {
        kSame,              // every folder and file, and every byte, equal
        kDifferent,         // difference names the first difference
        kImageUnreadable,   // the image could not be read where a file lies (or memory ran out)
        kSourceUnreadable,  // the source (or one of its files) could not be read
        kStopped,           // the progress callback asked to stop
    };
    // Called after each chunk compared: bytes just compared, and the most
    // the next call will report. Returning false stops the comparison.
    using Progress = std::function<bool(unsigned long long bytes, unsigned long long next)>;

    DiscImageReader() = default;
    DiscImageReader(const DiscImageReader&) = delete;
    DiscImageReader& operator=(const DiscImageReader&) = delete;

    // Opens image (read only; others may read it meanwhile) and reads the
    // tree asked for. False when the file cannot be opened, holds no such
    // tree, or anything on the way is malformed; Error() says which.
    bool Open(const std::wstring& image, Tree tree = Tree::kPreferred);
    const std::wstring& Error() const { return m_error; }

    // The image announces UDF (its volume recognition sequence has NSR02/03).
    bool HasUdf() const { return m_hasUdf; }
    // The tree read is the UDF one (else it is the Joliet one).
    bool IsUdf() const { return m_isUdf; }
    // Folders and files, each folder before what it holds.
    const std::vector<Entry>& Entries() const { return m_entries; }
    // Bytes of all files together.
    unsigned long long FileBytes() const { return m_fileBytes; }
    File OpenFile(const Entry& entry) const { return File(*this, entry); }

    // Compares the tree read with source, a full path: a file is on the disc
    // under its own name, a folder's contents (not the folder) are the disc,
    // and links in it (junctions, symbolic links) were left out. Names and
    // sizes first, then every byte, chunk bytes at a time (0: 256 KiB),
    // calling progress after each chunk. difference tells what differed or
    // could not be read.
    Outcome CompareWithSource(const std::wstring& source, size_t chunk, const Progress& progress,
                              std::wstring& difference) const;

  private:
    struct Partition {
        unsigned long long start = 0;   // sector
        unsigned long long length = 0;  // sectors
    };
    // A UDF file entry, as far as the walk needs it.
    struct Node {
        unsigned long long block = 0;  // where the entry lies: block of
        unsigned reference = 0;        // the partition with this reference
        unsigned type = 0;             // its ICB file type (4 folder, 5 file)
        unsigned long long size = 0;
        std::vector<Extent> extents;
    };

    bool OpenTree(const std::wstring& image, Tree tree);
    Outcome CompareTree(const std::wstring& source, size_t chunk, const Progress& progress,
                        std::wstring& difference) const;
    bool Fail(std::wstring text);
    // Reads size bytes at offset, all of them or false.
    bool ReadAt(unsigned long long offset, void* buffer, size_t size) const;
    bool ReadSector(unsigned long long sector, unsigned char* buffer, const wchar_t* what);
    bool CheckTag(const unsigned char* tag, size_t available, unsigned id,
                  unsigned long long location, const wchar_t* what);
    // Adds parent\name (checked: a plain name, once per folder).
    bool AddEntry(const std::wstring& parent, const std::wstring& name, Entry entry,
                  std::set<std::wstring>& siblings);

    bool ScanRecognition();
    bool ReadJoliet();

    bool ReadUdf();
    bool ReadVolumeDescriptors(unsigned long long sector, unsigned long long length,
                               unsigned char* fileSet);
    bool Locate(unsigned long long block, unsigned reference, unsigned long long blocks,
                unsigned long long& sector, const wchar_t* what);
    bool ReadNode(const unsigned char* longAd, Node& node, const std::wstring& path);
    bool ReadAllocation(const unsigned char* ads, size_t length, unsigned type, unsigned reference,
                        Node& node, const std::wstring& path);
    bool ReadNodeData(const Node& node, std::vector<unsigned char>& data, const std::wstring& path);
    bool ReadUdfDirectory(const Node& folder, const std::wstring& path,
                          std::vector<std::pair<Node, std::wstring>>& children);

    vesko::UniqueHandle m_image;
    unsigned long long m_imageBytes = 0;
    std::wstring m_error;
    bool m_hasUdf = false;
    bool m_hasJoliet = false;
    bool m_isUdf = false;
    unsigned long long m_volumeSectors = 0;  // the ISO 9660 volume's, 0 without one
    unsigned char m_jolietRoot[34] = {};     // the Joliet root's directory record
    std::vector<Entry> m_entries;
    unsigned long long m_fileBytes = 0;
    std::vector<Partition> m_partitions;  // by UDF partition reference number
};
