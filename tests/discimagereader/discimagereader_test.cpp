// DiscImageReader against images that tools not of this project make (the host's genisoimage
// and xorriso) from real trees in scratch folders: its listing and every file's bytes must be
// what the source folder holds, CompareWithSource must find each kind of difference, and a
// damaged image must fail with its reason, never crash or hang.
#include "discimagereader.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <vesko/raii.h>

using vesko::test::ScratchDir;
using vesko::test::UnixName;

namespace {

using Outcome = DiscImageReader::Outcome;
using Tree = DiscImageReader::Tree;

std::wstring Wide(const std::string& text) {
    std::wstring out(text.size() + 1, L'\0');
    const int n =
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, out.data(), static_cast<int>(out.size()));
    out.resize(n > 0 ? n - 1 : 0);
    return out;
}
// UTF-8, for failure messages.
std::string Utf8(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
    out.resize(n > 0 ? n - 1 : 0);
    return out;
}

// Removes a tree whose names may lie outside the ANSI code page (non-ASCII source trees); a
// link goes by itself, never what it reaches.
void RemoveWide(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        std::string narrow(path.size() * 2 + 1, '\0');
        narrow.resize(WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, narrow.data(),
                                          static_cast<int>(narrow.size()), nullptr, nullptr));
        vesko::test::HostLink(narrow.c_str());
        return;
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW data{};
    vesko::UniqueFindHandle find(FindFirstFileW((path + L"\\*").c_str(), &data));
    for (bool more = find.IsValid(); more; more = FindNextFileW(find.Get(), &data)) {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..")
            RemoveWide(path + L"\\" + name);
    }
    find.Reset();
    RemoveDirectoryW(path.c_str());
}

// A scratch folder that also goes when it holds names ANSI cannot spell. Wine gives each new
// process the same ids, so a folder a failed run left behind would come back as a new one.
class WideScratch : public ScratchDir {
  public:
    explicit WideScratch(const char* tag) : ScratchDir(tag) {
        RemoveWide(Wide(Path()));
        CreateDirectoryW(Wide(Path()).c_str(), nullptr);
    }
    ~WideScratch() { RemoveWide(Wide(Path())); }
    WideScratch(const WideScratch&) = delete;
    WideScratch& operator=(const WideScratch&) = delete;
};

// ---------------------------------------------------------------------------
// The host's tools

// Runs command in the host's bash and waits for it; its exit status, -1 when it did not end in
// time. output gets what it printed.
int RunOnHost(const ScratchDir& work, const std::string& command, std::string& output,
              DWORD milliseconds = 120000) {
    return vesko::test::RunOnHost(work.Path(), command, output, milliseconds);
}

enum class Tool {
    kGenisoJoliet,  // genisoimage: ISO 9660 + Joliet
    kGenisoUdf,     // genisoimage: ISO 9660 + Joliet + UDF 1.02
    kXorriso,       // xorriso: ISO 9660 level 3 (files over 4 GiB in several extents) + Joliet
};
const char* ToolName(Tool tool) {
    switch (tool) {
        case Tool::kGenisoJoliet:
            return "genisoimage-joliet";
        case Tool::kGenisoUdf:
            return "genisoimage-udf";
        case Tool::kXorriso:
            return "xorriso";
    }
    return "?";
}

// Makes image (a Windows path) from the folder source with tool. The image goes through
// dd conv=sparse: the runs of zeros of a sparse source stay holes in the image.
void MakeImage(const ScratchDir& work, Tool tool, const std::string& source,
               const std::string& image) {
    const std::string from = "'" + UnixName(source) + "'";
    const size_t slash = image.rfind('\\');
    const std::string to =
        "'" + UnixName(image.substr(0, slash)) + "/" + image.substr(slash + 1) + "'";
    std::string command;
    switch (tool) {
        case Tool::kGenisoJoliet:
            command = "genisoimage -quiet -input-charset utf-8 -J -joliet-long -D -o /dev/stdout ";
            break;
        case Tool::kGenisoUdf:
            command =
                "genisoimage -quiet -input-charset utf-8 -J -joliet-long -D -udf "
                "-allow-limited-size -o /dev/stdout ";
            break;
        case Tool::kXorriso:
            command =
                "xorriso -as mkisofs -quiet -input-charset utf-8 -J -joliet-long -iso-level 3 "
                "-o - ";
            break;
    }
    command += from + " | dd of=" + to + " bs=64k iflag=fullblock conv=sparse status=none";
    std::string output;
    const int rc = RunOnHost(work, "set -o pipefail; " + command, output);
    ASSERT_EQ(rc, 0) << ToolName(tool) << " failed: " << command << "\n" << output;
    ASSERT_TRUE(vesko::test::Exists(image)) << command;
}

// ---------------------------------------------------------------------------
// Source trees

// A folder (size < 0) or a file of size bytes, relative to the source root.
struct Item {
    std::wstring path;
    long long size;
};
using Items = std::vector<Item>;

bool MakeFolders(const std::wstring& path) {
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1))
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

void MakeSource(const std::wstring& root, const Items& items) {
    for (const Item& item : items) {
        const std::wstring full = root + L"\\" + item.path;
        if (item.size < 0) {
            ASSERT_TRUE(MakeFolders(full)) << Utf8(full);
        } else {
            ASSERT_TRUE(MakeFolders(full.substr(0, full.rfind(L'\\')))) << Utf8(full);
            ASSERT_TRUE(vesko::test::WriteFileWide(
                full, vesko::test::DistinctBytes(item.path, static_cast<size_t>(item.size))))
                << Utf8(full);
        }
    }
}

Items Nested() {
    return {{L"empty", -1},
            {L"a\\b\\c", -1},
            {L"a\\b\\empty inner", -1},
            {L"zero.txt", 0},
            {L"a\\zero too.txt", 0},
            {L"one.txt", 1},
            {L"noext", 5},
            {L"a\\dotted.name.txt", 700},
            {L"a\\b\\sector.bin", 2048},
            {L"a\\b\\c\\sector and one.bin", 2049},
            {L"a\\b\\c\\big.bin", 300001}};
}
Items NonAscii() {
    return {{L"Gr\u00fc\u00dfe", -1},
            {L"Gr\u00fc\u00dfe\\\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac.txt", 10},
            {L"\u65e5\u672c\u8a9e\\\u30d5\u30a1\u30a4\u30eb.bin", 3000},
            {L"\u00dcn\u00efc\u00f8d\u00e9 \u00f1ame.txt", 1},
            {L"\u03a9", -1},
            {L"caf\u00e9\\cr\u00e8me br\u00fbl\u00e9e.txt", 4097}};
}
Items LongNames(size_t length) {
    std::wstring name;
    for (size_t i = 0; name.size() < length; ++i)
        name += static_cast<wchar_t>(L'a' + i % 26);
    // Different from their first letter on: a writer that cuts names must not make two one.
    return {{L"F" + name.substr(0, length - 1), -1},
            {L"G" + name.substr(0, length - 5) + L".txt", 100},
            {L"in\\H" + name.substr(1, length - 5) + L".bin", 2500},
            {L"in\\I" + name.substr(2, length - 1), -1}};
}
Items Deep(unsigned levels) {
    Items items;
    std::wstring path;
    for (unsigned level = 1; level <= levels; ++level) {
        path += (path.empty() ? L"d" : L"\\d") + std::to_wstring(level);
        if (level % 10 == 0)
            items.push_back({path + L"\\at" + std::to_wstring(level) + L".txt", level * 10});
    }
    items.push_back({path, -1});
    items.push_back({path + L"\\bottom.txt", 33});
    return items;
}
Items Many(unsigned count) {
    Items items;
    for (unsigned i = 0; i < count; ++i)
        items.push_back({L"many\\file number " + std::to_wstring(i) + L".txt", (i % 7) * 150});
    items.push_back({L"after.txt", 9});
    return items;
}

// ---------------------------------------------------------------------------
// What the source holds, walked here on its own, and what the reader gives

struct Found {
    bool folder;
    unsigned long long size;
};
void Walk(const std::wstring& root, const std::wstring& relative,
          std::map<std::wstring, Found>& out) {
    WIN32_FIND_DATAW data{};
    const std::wstring at = relative.empty() ? root : root + L"\\" + relative;
    vesko::UniqueFindHandle find(FindFirstFileW((at + L"\\*").c_str(), &data));
    if (!find)
        return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L".." || (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        const std::wstring path = relative.empty() ? name : relative + L"\\" + name;
        const bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        out[path] = {folder, folder ? 0
                                    : (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) |
                                          data.nFileSizeLow};
        if (folder)
            Walk(root, path, out);
    } while (FindNextFileW(find.Get(), &data));
}

std::string Listing(const std::map<std::wstring, Found>& items) {
    std::string out;
    for (const auto& [path, found] : items)
        out += Utf8(path) + (found.folder ? "\\" : " " + std::to_string(found.size)) + "\n";
    return out;
}

std::map<std::wstring, Found> ReaderListing(const DiscImageReader& reader) {
    std::map<std::wstring, Found> out;
    for (const DiscImageReader::Entry& entry : reader.Entries())
        out[entry.path] = {entry.folder, entry.size};
    return out;
}

std::string ReadSourceFile(const std::wstring& path) {
    vesko::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE) {
        file.Release();
        return "<unreadable>";
    }
    std::string bytes(GetFileSize(file.Get(), nullptr), '\0');
    DWORD got = 0;
    if (!bytes.empty() &&
        !ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr))
        return "<unreadable>";
    return bytes;
}

// Every file through File::Read in odd pieces (so reads cross sector and extent ends), against
// the source's own bytes.
void ExpectSameContents(const DiscImageReader& reader, const std::wstring& root) {
    std::vector<char> piece(3001);
    for (const DiscImageReader::Entry& entry : reader.Entries()) {
        if (entry.folder)
            continue;
        DiscImageReader::File file = reader.OpenFile(entry);
        std::string bytes;
        size_t read = 0;
        do {
            ASSERT_TRUE(file.Read(piece.data(), piece.size(), read)) << Utf8(entry.path);
            bytes.append(piece.data(), read);
        } while (read > 0);
        EXPECT_EQ(bytes.size(), entry.size) << Utf8(entry.path);
        EXPECT_TRUE(bytes == ReadSourceFile(root + L"\\" + entry.path))
            << Utf8(entry.path) << ": the bytes read differ from the source's";
    }
}

// ---------------------------------------------------------------------------
// Trees and tools: listing and contents equal the source's

struct TreeCase {
    const char* name;
    std::function<Items()> items;
    std::vector<Tool> tools;
};
const std::vector<Tool> kAllTools = {Tool::kGenisoJoliet, Tool::kGenisoUdf, Tool::kXorriso};
const TreeCase kTrees[] = {
    {"nested", Nested, kAllTools},
    {"nonascii", NonAscii, kAllTools},
    {"names103", [] { return LongNames(103); }, kAllTools},
    {"deep", [] { return Deep(40); }, kAllTools},
    {"many", [] { return Many(1500); }, kAllTools},
};

struct ImageCase {
    const TreeCase* tree;
    Tool tool;
};
std::vector<ImageCase> ImageCases() {
    std::vector<ImageCase> cases;
    for (const TreeCase& tree : kTrees)
        for (Tool tool : tree.tools)
            cases.push_back({&tree, tool});
    return cases;
}

class ReaderOnTree : public testing::TestWithParam<ImageCase> {};

TEST_P(ReaderOnTree, ListsAndReadsWhatTheSourceHolds) {
    const ImageCase& c = GetParam();
    WideScratch work("dir");
    const std::string source = work / "source", image = work / "image.iso";
    const std::wstring wideSource = Wide(source);
    ASSERT_NO_FATAL_FAILURE(MakeSource(wideSource, c.tree->items()));
    ASSERT_NO_FATAL_FAILURE(MakeImage(work, c.tool, source, image));

    std::map<std::wstring, Found> expected;
    Walk(wideSource, L"", expected);
    ASSERT_FALSE(expected.empty());

    std::vector<Tree> trees = {Tree::kPreferred};
    if (c.tool == Tool::kGenisoUdf)  // its Joliet tree must hold the same
        trees.push_back(Tree::kJoliet);
    for (Tree tree : trees) {
        SCOPED_TRACE(tree == Tree::kJoliet ? "Joliet tree" : "preferred tree");
        DiscImageReader reader;
        ASSERT_TRUE(reader.Open(Wide(image), tree)) << Utf8(reader.Error());
        EXPECT_EQ(reader.HasUdf(), c.tool == Tool::kGenisoUdf);
        EXPECT_EQ(reader.IsUdf(), c.tool == Tool::kGenisoUdf && tree == Tree::kPreferred);
        const auto listed = ReaderListing(reader);
        EXPECT_EQ(Listing(listed), Listing(expected));
        EXPECT_EQ(listed.size(), reader.Entries().size()) << "an entry listed twice";
        // Each folder comes before what it holds.
        std::map<std::wstring, size_t> index;
        for (size_t i = 0; i < reader.Entries().size(); ++i)
            index[reader.Entries()[i].path] = i;
        for (const auto& [path, at] : index) {
            const size_t slash = path.rfind(L'\\');
            if (slash == std::wstring::npos)
                continue;
            const auto parent = index.find(path.substr(0, slash));
            EXPECT_TRUE(parent != index.end() && parent->second < at) << Utf8(path);
        }
        ASSERT_NO_FATAL_FAILURE(ExpectSameContents(reader, wideSource));
        std::wstring difference;
        EXPECT_EQ(reader.CompareWithSource(wideSource, 0, nullptr, difference), Outcome::kSame)
            << Utf8(difference);
    }
}

std::string CaseName(const testing::TestParamInfo<ImageCase>& info) {
    std::string name = std::string(info.param.tree->name) + "_" + ToolName(info.param.tool);
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}
INSTANTIATE_TEST_SUITE_P(Images, ReaderOnTree, testing::ValuesIn(ImageCases()), CaseName);

TEST(DiscImageReader, AsksForATreeTheImageLacks) {
    WideScratch work("lack");
    ASSERT_NO_FATAL_FAILURE(MakeSource(Wide(work / "source"), {{L"f.txt", 3}}));
    ASSERT_NO_FATAL_FAILURE(MakeImage(work, Tool::kGenisoJoliet, work / "source", work / "j.iso"));
    DiscImageReader reader;
    EXPECT_FALSE(reader.Open(Wide(work / "j.iso"), Tree::kUdf));
    EXPECT_NE(reader.Error().find(L"no UDF"), std::wstring::npos) << Utf8(reader.Error());
    EXPECT_TRUE(reader.Entries().empty());
    EXPECT_TRUE(reader.Open(Wide(work / "j.iso"), Tree::kJoliet)) << Utf8(reader.Error());
    EXPECT_EQ(reader.Entries().size(), 1u);
}

// ---------------------------------------------------------------------------
// A file over 4 GiB: several extents in ISO 9660 level 3 (and so in Joliet), several allocation
// descriptors in UDF. The source is sparse with marks at its start, across 4 GiB and at its end.

TEST(DiscImageReader, ReadsAFileOver4GiBFromJolietAndUdf) {
    const auto start = std::chrono::steady_clock::now();
    WideScratch work("big");
    const std::string source = work / "source";
    ASSERT_TRUE(CreateDirectoryA(source.c_str(), nullptr));
    ASSERT_TRUE(vesko::test::WriteFileText(work / "source\\small.txt", "small"));
    const unsigned long long size = (4ull << 30) + (96ull << 20) + 5;
    const std::string big = "'" + UnixName(source) + "/big.bin'";
    std::string output;
    const std::string mark =
        " | dd of=" + big + " bs=4096 oflag=seek_bytes conv=notrunc status=none";
    // A mark across every 64 MiB: an extent read from a wrong place shows however the writer
    // cut the file (the rest is zeros, which would read the same from anywhere).
    ASSERT_EQ(RunOnHost(work,
                        "truncate -s " + std::to_string(size) + " " + big + " && printf HEAD" +
                            mark + " seek=0 && for i in $(seq 1 " + std::to_string(size >> 26) +
                            "); do printf MARK%05d $i" + mark +
                            " seek=$((i * 67108864 - 5)) || exit 1; done && printf ACROSS-4-GIB" +
                            mark + " seek=" + std::to_string((4ull << 30) - 6) + " && printf TAIL" +
                            mark + " seek=" + std::to_string(size - 4),
                        output),
              0)
        << output;
    ASSERT_TRUE(vesko::test::Exists(work / "source\\big.bin"));

    for (Tool tool : {Tool::kXorriso, Tool::kGenisoUdf}) {
        SCOPED_TRACE(ToolName(tool));
        const std::string image = work / "big.iso";
        ASSERT_NO_FATAL_FAILURE(MakeImage(work, tool, source, image));
        {
            DiscImageReader reader;
            ASSERT_TRUE(reader.Open(Wide(image))) << Utf8(reader.Error());
            EXPECT_EQ(reader.IsUdf(), tool == Tool::kGenisoUdf);
            const auto listed = ReaderListing(reader);
            std::map<std::wstring, Found> expected;
            Walk(Wide(source), L"", expected);
            EXPECT_EQ(Listing(listed), Listing(expected));
            const auto entry =
                std::find_if(reader.Entries().begin(), reader.Entries().end(),
                             [](const DiscImageReader::Entry& e) { return e.path == L"big.bin"; });
            ASSERT_NE(entry, reader.Entries().end());
            EXPECT_EQ(entry->size, size);
            EXPECT_GE(entry->extents.size(), 2u) << "a file over 4 GiB in one extent";
            unsigned long long compared = 0;
            unsigned calls = 0;
            std::wstring difference;
            EXPECT_EQ(reader.CompareWithSource(
                          Wide(source), 1 << 20,
                          [&](unsigned long long bytes, unsigned long long) {
                              compared += bytes;
                              ++calls;
                              return true;
                          },
                          difference),
                      Outcome::kSame)
                << Utf8(difference);
            EXPECT_EQ(compared, reader.FileBytes());
            EXPECT_EQ(compared, size + 5);
        }
        ASSERT_TRUE(DeleteFileA(image.c_str()));
    }
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    RecordProperty("seconds", static_cast<int>(seconds));
    EXPECT_LT(seconds, 120) << "two 4 GiB images took " << seconds << " s";
}

// ---------------------------------------------------------------------------
// CompareWithSource: each kind of difference, on both kinds of image

Items Compared() {
    return {{L"keep.txt", 10},   {L"sub\\data.bin", 100000}, {L"sub\\deeper\\x.txt", 7},
            {L"sub\\empty", -1}, {L"gone.txt", 20},          {L"zero.txt", 0}};
}

struct DifferenceCase {
    const char* name;
    // Changes the source (a Windows path) after the image was made.
    std::function<bool(const std::wstring&)> change;
    // What the difference names.
    const wchar_t* says;
};
bool Patch(const std::wstring& path, long long offset, const std::string& bytes, bool append) {
    vesko::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE) {
        file.Release();
        return false;
    }
    LARGE_INTEGER at{};
    at.QuadPart = offset;
    DWORD written = 0;
    return SetFilePointerEx(file.Get(), at, nullptr, append ? FILE_END : FILE_BEGIN) &&
           WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
           written == bytes.size();
}
const DifferenceCase kDifferences[] = {
    {"changed byte",
     [](const std::wstring& s) {
         const std::string old =
             vesko::test::DistinctBytes(L"sub\\data.bin", 100000).substr(54321, 1);
         return Patch(s + L"\\sub\\data.bin", 54321, std::string(1, static_cast<char>(~old[0])),
                      false);
     },
     L"sub\\data.bin differs from the source at byte 54321"},
    {"file only on the disc",
     [](const std::wstring& s) { return DeleteFileW((s + L"\\gone.txt").c_str()) != 0; },
     L"Not in the source: gone.txt"},
    {"file only in the source",
     [](const std::wstring& s) { return vesko::test::WriteFileWide(s + L"\\sub\\new.txt", "new"); },
     L"Missing on the disc: sub\\new.txt"},
    {"folder only in the source",
     [](const std::wstring& s) { return MakeFolders(s + L"\\sub\\deeper\\new folder"); },
     L"Missing on the disc: sub\\deeper\\new folder"},
    {"longer in the source",
     [](const std::wstring& s) { return Patch(s + L"\\sub\\deeper\\x.txt", 0, "!", true); },
     L"sub\\deeper\\x.txt has 7 bytes on the disc and 8"},
    {"empty file grew",
     [](const std::wstring& s) { return Patch(s + L"\\zero.txt", 0, "z", true); },
     L"zero.txt has 0 bytes on the disc and 1"},
    {"file became a folder",
     [](const std::wstring& s) {
         return DeleteFileW((s + L"\\keep.txt").c_str()) && MakeFolders(s + L"\\keep.txt");
     },
     L"keep.txt is a folder in the source and a file on the disc"},
};

TEST(DiscImageReader, CompareFindsEachDifference) {
    for (Tool tool : {Tool::kGenisoJoliet, Tool::kGenisoUdf}) {
        for (const DifferenceCase& c : kDifferences) {
            SCOPED_TRACE(std::string(ToolName(tool)) + ": " + c.name);
            WideScratch work("diff");
            const std::wstring source = Wide(work / "source");
            ASSERT_NO_FATAL_FAILURE(MakeSource(source, Compared()));
            ASSERT_NO_FATAL_FAILURE(MakeImage(work, tool, work / "source", work / "image.iso"));
            DiscImageReader reader;
            ASSERT_TRUE(reader.Open(Wide(work / "image.iso"))) << Utf8(reader.Error());
            std::wstring difference;
            ASSERT_EQ(reader.CompareWithSource(source, 0, nullptr, difference), Outcome::kSame)
                << "before the change: " << Utf8(difference);
            ASSERT_TRUE(c.change(source));
            EXPECT_EQ(reader.CompareWithSource(source, 0, nullptr, difference),
                      Outcome::kDifferent);
            EXPECT_NE(difference.find(c.says), std::wstring::npos) << Utf8(difference);
        }
    }
}

TEST(DiscImageReader, CompareTakesAFileSourceAndLeavesLinksOut) {
    WideScratch work("single");
    const std::wstring source = Wide(work / "source");
    ASSERT_NO_FATAL_FAILURE(MakeSource(source, {{L"solo.bin", 5000}}));
    ASSERT_NO_FATAL_FAILURE(MakeSource(Wide(work / "elsewhere"), {{L"other.txt", 3}}));
    ASSERT_NO_FATAL_FAILURE(MakeImage(work, Tool::kGenisoUdf, work / "source", work / "image.iso"));
    DiscImageReader reader;
    ASSERT_TRUE(reader.Open(Wide(work / "image.iso"))) << Utf8(reader.Error());
    std::wstring difference;
    // A file as the source: the disc holds it under its own name.
    EXPECT_EQ(reader.CompareWithSource(source + L"\\solo.bin", 0, nullptr, difference),
              Outcome::kSame)
        << Utf8(difference);
    // A link in the source folder was never put on the disc.
    ASSERT_TRUE(vesko::test::HostLink(work / "source\\link", work / "elsewhere"));
    EXPECT_EQ(reader.CompareWithSource(source, 0, nullptr, difference), Outcome::kSame)
        << Utf8(difference);
    // A drive's root as the source: the drive's contents are the disc.
    {
        vesko::test::ScratchDrive drive(work / "source");
        ASSERT_FALSE(drive.Root().empty());
        EXPECT_EQ(reader.CompareWithSource(Wide(drive.Root() + "\\"), 0, nullptr, difference),
                  Outcome::kSame)
            << Utf8(difference);
    }
    // A source file that differs: the file source is compared byte by byte too.
    ASSERT_TRUE(Patch(source + L"\\solo.bin", 4999, "?", false));
    EXPECT_EQ(reader.CompareWithSource(source + L"\\solo.bin", 0, nullptr, difference),
              Outcome::kDifferent);
    EXPECT_NE(difference.find(L"solo.bin differs from the source at byte 4999"), std::wstring::npos)
        << Utf8(difference);
    EXPECT_TRUE(vesko::test::HostLink(work / "source\\link"));  // removed before its target
    // No source at all.
    EXPECT_EQ(reader.CompareWithSource(source + L"\\nothing", 0, nullptr, difference),
              Outcome::kSourceUnreadable);
}

TEST(DiscImageReader, CompareReportsEachChunkAndStopsWhenAsked) {
    WideScratch work("progress");
    const std::wstring source = Wide(work / "source");
    ASSERT_NO_FATAL_FAILURE(MakeSource(
        source, {{L"a.bin", 10000}, {L"b\\c.bin", 4096}, {L"b\\zero", 0}, {L"d.bin", 1}}));
    ASSERT_NO_FATAL_FAILURE(MakeImage(work, Tool::kGenisoUdf, work / "source", work / "image.iso"));
    DiscImageReader reader;
    ASSERT_TRUE(reader.Open(Wide(work / "image.iso"))) << Utf8(reader.Error());
    const size_t chunk = 4096;

    // Every chunk reported, none larger than asked, each announced by the call before it.
    std::vector<unsigned long long> steps;
    unsigned long long announced = chunk;
    std::wstring difference;
    EXPECT_EQ(reader.CompareWithSource(
                  source, chunk,
                  [&](unsigned long long bytes, unsigned long long next) {
                      EXPECT_LE(bytes, announced);
                      steps.push_back(bytes);
                      announced = next;
                      return true;
                  },
                  difference),
              Outcome::kSame)
        << Utf8(difference);
    unsigned long long sum = 0, expectedCalls = 0;
    for (unsigned long long step : steps)
        sum += step;
    for (const auto& entry : reader.Entries())
        expectedCalls += (entry.size + chunk - 1) / chunk;
    EXPECT_EQ(sum, reader.FileBytes());
    EXPECT_EQ(steps.size(), expectedCalls);
    EXPECT_EQ(announced, 0u) << "the last call announces nothing more";

    // A callback that says stop ends the comparison at once.
    for (unsigned stopAt = 1; stopAt <= 3; ++stopAt) {
        unsigned calls = 0;
        EXPECT_EQ(reader.CompareWithSource(
                      source, chunk,
                      [&](unsigned long long, unsigned long long) { return ++calls < stopAt; },
                      difference),
                  Outcome::kStopped);
        EXPECT_EQ(calls, stopAt);
    }
}

// ---------------------------------------------------------------------------
// Damaged images

// Bytes of a file at an offset, read or written in place.
std::string ReadAt(const std::string& path, unsigned long long offset, size_t size) {
    vesko::UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string out(size, '\0');
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (file.Get() == INVALID_HANDLE_VALUE ||
        !ReadFile(file.Get(), out.data(), static_cast<DWORD>(size), &got, &at)) {
        file.Release();
        return {};
    }
    out.resize(got);
    return out;
}
bool WriteAt(const std::string& path, unsigned long long offset, const std::string& bytes) {
    vesko::UniqueHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    if (file.Get() == INVALID_HANDLE_VALUE) {
        file.Release();
        return false;
    }
    return WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, &at) &&
           written == bytes.size();
}
unsigned long U32(const std::string& b, size_t at) {
    return static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8 |
           static_cast<unsigned char>(b[at + 2]) << 16 |
           static_cast<unsigned long>(static_cast<unsigned char>(b[at + 3])) << 24;
}
unsigned U16(const std::string& b, size_t at) {
    return static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8;
}
void Put32(std::string& b, size_t at, unsigned long value) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<char>(value >> (8 * i));
}
// ISO 9660 keeps numbers in both byte orders.
void PutBoth32(std::string& b, size_t at, unsigned long value) {
    Put32(b, at, value);
    for (int i = 0; i < 4; ++i)
        b[at + 4 + i] = static_cast<char>(value >> (8 * (3 - i)));
}
constexpr unsigned long long kSector = 2048;

// The Joliet directory record of name in the folder at sector (length bytes): its offset in
// the image, 0 when there is none.
unsigned long long JolietRecord(const std::string& image, unsigned long long sector,
                                unsigned long length, const std::wstring& name) {
    const std::string data = ReadAt(image, sector * kSector, length);
    for (size_t at = 0; at < data.size();) {
        const unsigned char size = static_cast<unsigned char>(data[at]);
        if (size == 0) {
            at = (at / kSector + 1) * kSector;
            continue;
        }
        std::wstring found;
        for (size_t i = 0; i + 1 < static_cast<unsigned char>(data[at + 32]); i += 2)
            found += static_cast<wchar_t>(static_cast<unsigned char>(data[at + 33 + i]) << 8 |
                                          static_cast<unsigned char>(data[at + 34 + i]));
        if (found == name || found == name + L";1")
            return sector * kSector + at;
        at += size;
    }
    return 0;
}
// The Joliet root folder: sector and length.
std::pair<unsigned long, unsigned long> JolietRoot(const std::string& image) {
    for (unsigned long long s = 16; s < 32; ++s) {
        const std::string d = ReadAt(image, s * kSector, kSector);
        if (d.size() == kSector && d[0] == 2 && d.compare(88, 2, "%/") == 0)
            return {U32(d, 158), U32(d, 166)};
    }
    return {0, 0};
}

// UDF descriptors found by their tags: every sector that starts with a valid tag of id.
bool TagAt(const std::string& d, size_t at, unsigned id) {
    if (at + 16 > d.size() || U16(d, at) != id)
        return false;
    unsigned sum = 0;
    for (size_t i = 0; i < 16; ++i)
        sum += i == 4 ? 0 : static_cast<unsigned char>(d[at + i]);
    return (sum & 0xFF) == static_cast<unsigned char>(d[at + 4]);
}
// Makes a changed descriptor whole again (CRC and checksum), so that what is tested is the
// reader's check of what the descriptor says.
void Seal(std::string& d, size_t at) {
    const size_t length = U16(d, at + 10);
    unsigned crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc ^= static_cast<unsigned char>(d[at + 16 + i]) << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) & 0xFFFF : (crc << 1) & 0xFFFF;
    }
    d[at + 8] = static_cast<char>(crc);
    d[at + 9] = static_cast<char>(crc >> 8);
    unsigned sum = 0;
    for (size_t i = 0; i < 16; ++i)
        sum += i == 4 ? 0 : static_cast<unsigned char>(d[at + i]);
    d[at + 4] = static_cast<char>(sum);
}
// Each file identifier descriptor of the image: image offset and name (8-bit names only).
std::vector<std::pair<unsigned long long, std::string>> Fids(const std::string& image,
                                                             unsigned long long sectors) {
    std::vector<std::pair<unsigned long long, std::string>> out;
    for (unsigned long long s = 257; s < sectors; ++s) {
        const std::string d = ReadAt(image, s * kSector, kSector);
        for (size_t at = 0; at + 38 <= d.size(); at += 4) {
            if (!TagAt(d, at, 257))
                continue;
            const size_t nameAt = at + 38 + U16(d, at + 36);
            const size_t length = static_cast<unsigned char>(d[at + 19]);
            if (length > 1 && nameAt + length <= d.size() && d[nameAt] == 8)
                out.push_back({s * kSector + at, d.substr(nameAt + 1, length - 1)});
        }
    }
    return out;
}
unsigned long long SectorWithTag(
    const std::string& image, unsigned long long sectors, unsigned id,
    const std::function<bool(const std::string&)>& also = [](const std::string&) { return true; }) {
    for (unsigned long long s = 257; s < sectors; ++s) {
        const std::string d = ReadAt(image, s * kSector, kSector);
        if (TagAt(d, 0, id) && also(d))
            return s;
    }
    return 0;
}

struct DamageCase {
    const char* name;
    Tool tool;
    // Damages image (sectors long); false when the place to damage was not found.
    std::function<bool(const std::string& image, unsigned long long sectors)> damage;
    const wchar_t* says;
};
bool Truncate(const std::string& image, unsigned long long bytes) {
    vesko::UniqueHandle file(CreateFileA(image.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(bytes);
    return file.Get() != INVALID_HANDLE_VALUE &&
           SetFilePointerEx(file.Get(), at, nullptr, FILE_BEGIN) && SetEndOfFile(file.Get());
}
// Sets the extent of the Joliet record of path (one level below the root) to sector.
bool PointJoliet(const std::string& image, const std::wstring& name, unsigned long sector) {
    const auto [root, length] = JolietRoot(image);
    const unsigned long long record = root ? JolietRecord(image, root, length, name) : 0;
    if (!record)
        return false;
    std::string bytes = ReadAt(image, record, 34);
    PutBoth32(bytes, 2, sector);
    return WriteAt(image, record, bytes);
}
// Sets the ICB block of the UDF identifier named name to block and seals it.
bool PointUdf(const std::string& image, unsigned long long sectors, const std::string& name,
              unsigned long block) {
    for (const auto& [offset, found] : Fids(image, sectors)) {
        if (found != name)
            continue;
        std::string fid = ReadAt(image, offset, 40);
        Put32(fid, 24, block);
        // The CRC covers the whole descriptor: seal it with its full length in hand.
        std::string whole = ReadAt(image, offset, 16 + U16(fid, 10));
        whole.replace(0, 40, fid);
        Seal(whole, 0);
        return WriteAt(image, offset, whole);
    }
    return false;
}

const DamageCase kDamages[] = {
    {"not an image", Tool::kGenisoJoliet,
     [](const std::string& image, unsigned long long) {
         return Truncate(image, 0) && WriteAt(image, 0, std::string(100000, 'x'));
     },
     L"neither"},
    {"truncated Joliet image", Tool::kGenisoJoliet,
     [](const std::string& image, unsigned long long sectors) {
         return Truncate(image, sectors / 2 * kSector);
     },
     L"truncated"},
    {"truncated UDF image", Tool::kGenisoUdf,
     [](const std::string& image, unsigned long long sectors) {
         return Truncate(image, (sectors - 20) * kSector);
     },
     L"truncated"},
    {"Joliet folder outside the image", Tool::kGenisoJoliet,
     [](const std::string& image, unsigned long long sectors) {
         return PointJoliet(image, L"sub", static_cast<unsigned long>(sectors + 10));
     },
     L"outside the image"},
    {"Joliet file outside the image", Tool::kGenisoJoliet,
     [](const std::string& image, unsigned long long sectors) {
         return PointJoliet(image, L"keep.txt", static_cast<unsigned long>(sectors + 5));
     },
     L"outside the image"},
    {"Joliet folder loop", Tool::kGenisoJoliet,
     [](const std::string& image, unsigned long long) {
         return PointJoliet(image, L"sub", JolietRoot(image).first);
     },
     L"loop"},
    {"Joliet extent never ends", Tool::kGenisoJoliet,
     [](const std::string& image, unsigned long long) {
         const auto [root, length] = JolietRoot(image);
         const unsigned long long record = JolietRecord(image, root, length, L"gone.txt");
         std::string flags = ReadAt(image, record + 25, 1);
         return record && WriteAt(image, record + 25, std::string(1, flags[0] | '\x80'));
     },
     L"without its last extent"},
    {"UDF anchor checksum", Tool::kGenisoUdf,
     [](const std::string& image, unsigned long long) {
         const std::string b = ReadAt(image, 256 * kSector + 4, 1);
         return WriteAt(image, 256 * kSector + 4, std::string(1, static_cast<char>(b[0] + 1)));
     },
     L"checksum"},
    {"UDF volume descriptor CRC", Tool::kGenisoUdf,
     [](const std::string& image, unsigned long long) {
         const std::string anchor = ReadAt(image, 256 * kSector, kSector);
         const unsigned long long at = U32(anchor, 20) * kSector + 100;
         const std::string b = ReadAt(image, at, 1);
         return WriteAt(image, at, std::string(1, static_cast<char>(b[0] ^ 0x55)));
     },
     L"CRC"},
    {"UDF file entry CRC", Tool::kGenisoUdf,
     [](const std::string& image, unsigned long long sectors) {
         const unsigned long long s = SectorWithTag(image, sectors, 261);
         return s && WriteAt(image, s * kSector + 36, "\x7f");
     },
     L"CRC"},
    {"UDF file data outside the partition", Tool::kGenisoUdf,
     [](const std::string& image, unsigned long long sectors) {
         const unsigned long long s = SectorWithTag(image, sectors, 261, [](const std::string& d) {
             return d[27] == 5 && (U16(d, 34) & 7) == 0 && U32(d, 56) > 0;
         });
         if (!s)
             return false;
         std::string d = ReadAt(image, s * kSector, kSector);
         Put32(d, 176 + U32(d, 168) + 4, 0x7FFFFFF0);
         Seal(d, 0);
         return WriteAt(image, s * kSector, d);
     },
     L"outside its partition"},
    {"UDF folder loop", Tool::kGenisoUdf,
     [](const std::string& image, unsigned long long sectors) {
         // "deeper" (in sub) pointed back at the root's file entry.
         const unsigned long long fileSet = SectorWithTag(image, sectors, 256);
         return fileSet && PointUdf(image, sectors, "deeper",
                                    U32(ReadAt(image, fileSet * kSector, kSector), 404));
     },
     L"loop"},
};

TEST(DiscImageReader, DamagedImagesFailWithTheirReason) {
    for (const DamageCase& c : kDamages) {
        SCOPED_TRACE(c.name);
        WideScratch work("damage");
        ASSERT_NO_FATAL_FAILURE(MakeSource(Wide(work / "source"), Compared()));
        const std::string image = work / "image.iso";
        ASSERT_NO_FATAL_FAILURE(MakeImage(work, c.tool, work / "source", image));
        WIN32_FILE_ATTRIBUTE_DATA data{};
        ASSERT_TRUE(GetFileAttributesExA(image.c_str(), GetFileExInfoStandard, &data));
        const unsigned long long sectors = data.nFileSizeLow / kSector;
        {
            DiscImageReader intact;
            ASSERT_TRUE(intact.Open(Wide(image))) << "before the damage: " << Utf8(intact.Error());
        }
        ASSERT_TRUE(c.damage(image, sectors)) << "the place to damage was not found";
        DiscImageReader reader;
        EXPECT_FALSE(reader.Open(Wide(image)));
        EXPECT_NE(reader.Error().find(c.says), std::wstring::npos) << Utf8(reader.Error());
        EXPECT_TRUE(reader.Entries().empty());
        std::wstring difference;
        EXPECT_EQ(reader.CompareWithSource(Wide(work / "source"), 0, nullptr, difference),
                  Outcome::kImageUnreadable);
    }
    DiscImageReader reader;
    EXPECT_FALSE(reader.Open(L"C:\\no such folder\\image.iso"));
    EXPECT_NE(reader.Error().find(L"cannot be opened"), std::wstring::npos) << Utf8(reader.Error());
}

// ---------------------------------------------------------------------------
// The depth bound: as deep as the bound reads, one level more is refused (a crafted image could
// otherwise make a walk as long as the image allows). The trees are made on the host: their
// paths pass what Win32 names without a prefix.

TEST(DiscImageReader, ReadsToTheDepthBoundAndNoDeeper) {
    for (Tool tool : {Tool::kGenisoUdf, Tool::kXorriso}) {
        for (unsigned levels : {DiscImageReader::kMaxDepth, DiscImageReader::kMaxDepth + 1}) {
            SCOPED_TRACE(std::string(ToolName(tool)) + ", " + std::to_string(levels) + " levels");
            WideScratch work("depth");
            const std::string source = work / "source";
            ASSERT_TRUE(CreateDirectoryA(source.c_str(), nullptr));
            std::string output;
            ASSERT_EQ(
                RunOnHost(work,
                          "cd '" + UnixName(source) + "' && mkdir -p \"$(printf 'd/%.0s' $(seq 1 " +
                              std::to_string(levels) +
                              "))\" && echo bottom > \"$(printf 'd/%.0s' $(seq 1 " +
                              std::to_string(levels) + "))f.txt\"",
                          output),
                0)
                << output;
            const std::string image = work / "image.iso";
            ASSERT_NO_FATAL_FAILURE(MakeImage(work, tool, source, image));
            ASSERT_EQ(RunOnHost(work, "rm -rf '" + UnixName(source) + "'", output), 0) << output;
            DiscImageReader reader;
            if (levels <= DiscImageReader::kMaxDepth) {
                ASSERT_TRUE(reader.Open(Wide(image))) << Utf8(reader.Error());
                EXPECT_EQ(reader.Entries().size(), levels + 1);
                std::wstring deepest;
                for (const auto& entry : reader.Entries())
                    deepest = std::max(deepest, entry.path);
                EXPECT_EQ(std::count(deepest.begin(), deepest.end(), L'\\'),
                          static_cast<long>(levels));
            } else {
                EXPECT_FALSE(reader.Open(Wide(image)));
                EXPECT_NE(reader.Error().find(L"deeper than"), std::wstring::npos)
                    << Utf8(reader.Error());
            }
        }
    }
}

// ---------------------------------------------------------------------------
// UDF forms genisoimage does not write (it writes UDF 1.02 file entries with short allocation
// descriptors) but other writers do: one file entry of a real image rewritten into each form,
// sealed again, must still read as the source.

unsigned long long UdfPartitionStart(const std::string& image) {
    const unsigned long main = U32(ReadAt(image, 256 * kSector, kSector), 20);
    for (unsigned long s = main; s < main + 32; ++s) {
        const std::string d = ReadAt(image, s * kSector, kSector);
        if (TagAt(d, 0, 5))
            return U32(d, 188);
    }
    return 0;
}
// Puts ads of type (0 short, 1 long, 3 embedded data) into the file entry d whose allocation
// descriptors start at base + its extended attributes.
void SetAds(std::string& d, size_t base, const std::string& ads, unsigned type) {
    const unsigned long ea = U32(d, base - 8);
    d.replace(base + ea, kSector - base - ea, std::string(kSector - base - ea, '\0'));
    d.replace(base + ea, ads.size(), ads);
    Put32(d, base - 4, static_cast<unsigned long>(ads.size()));
    const unsigned flags = (U16(d, 34) & ~7u) | type;
    d[34] = static_cast<char>(flags);
    d[35] = static_cast<char>(flags >> 8);
    const size_t crcLength = base + ea + ads.size() - 16;
    d[10] = static_cast<char>(crcLength);
    d[11] = static_cast<char>(crcLength >> 8);
    Seal(d, 0);
}
std::string ShortAds(const std::string& d) {
    return d.substr(176 + U32(d, 168), U32(d, 172));
}

struct EntryForm {
    const char* name;
    const char* file;  // the file (in the source's root) whose entry is rewritten
    // Rewrites the entry d; false when it is not the form expected.
    std::function<bool(std::string& d, const std::string& image, unsigned long long start)> rewrite;
};
const EntryForm kEntryForms[] = {
    {"data embedded in the entry", "keep.txt",
     [](std::string& d, const std::string& image, unsigned long long start) {
         const std::string ads = ShortAds(d);
         if (U16(d, 0) != 261 || ads.size() != 8)
             return false;
         const unsigned long long data = (start + U32(ads, 4)) * kSector;
         SetAds(d, 176, ReadAt(image, data, U32(d, 56)), 3);
         // What the block held must no longer matter.
         return WriteAt(image, data, std::string(kSector, '#'));
     }},
    {"long allocation descriptors", "data.bin",
     [](std::string& d, const std::string&, unsigned long long) {
         const std::string ads = ShortAds(d);
         if (U16(d, 0) != 261 || ads.empty() || ads.size() % 8)
             return false;
         std::string longAds;
         for (size_t at = 0; at < ads.size(); at += 8)
             longAds += ads.substr(at, 8) + std::string(8, '\0');  // partition 0
         SetAds(d, 176, longAds, 1);
         return true;
     }},
    {"an extended file entry", "data.bin",
     [](std::string& d, const std::string&, unsigned long long) {
         const unsigned long ea = U32(d, 168), ad = U32(d, 172);
         if (U16(d, 0) != 261 || 216 + ea + ad > kSector)
             return false;
         std::string e(kSector, '\0');
         e.replace(0, 64, d.substr(0, 64));      // tags, owner, rights, information length
         e.replace(64, 8, d.substr(56, 8));      // object size
         e.replace(72, 8, d.substr(64, 8));      // blocks recorded
         e.replace(80, 24, d.substr(72, 24));    // access and modification times
         e.replace(104, 12, d.substr(84, 12));   // creation time
         e.replace(116, 16, d.substr(96, 16));   // attribute time, checkpoint
         e.replace(136, 16, d.substr(112, 16));  // extended attribute ICB
         e.replace(168, 48, d.substr(128, 48));  // implementation, unique id, lengths
         e.replace(216, ea + ad, d.substr(176, ea + ad));
         e[0] = static_cast<char>(266 & 0xFF);
         e[1] = static_cast<char>(266 >> 8);
         e[2] = 3;  // descriptor version of UDF 2.0 on
         d = e;
         SetAds(d, 216, d.substr(216 + ea, ad), U16(d, 34) & 7);
         return true;
     }},
    {"an extent allocated but not recorded", "holes.bin",
     [](std::string& d, const std::string& image, unsigned long long start) {
         const std::string ads = ShortAds(d);
         if (U16(d, 0) != 261 || ads.size() != 8 || U32(ads, 0) != 12000)
             return false;
         // Blocks 2 and 3 of the file hold zeros in the source: leave them unrecorded.
         std::string split(24, '\0');
         Put32(split, 0, 4096);
         Put32(split, 4, U32(ads, 4));
         Put32(split, 8, 4096 | (1ul << 30));
         Put32(split, 12, U32(ads, 4) + 2);
         Put32(split, 16, 12000 - 8192);
         Put32(split, 20, U32(ads, 4) + 4);
         SetAds(d, 176, split, 0);
         // What those blocks hold must no longer matter: unrecorded reads as zeros.
         return WriteAt(image, (start + U32(ads, 4) + 2) * kSector, std::string(2 * kSector, '#'));
     }},
};

TEST(DiscImageReader, ReadsEveryUdfFileEntryForm) {
    for (const EntryForm& c : kEntryForms) {
        SCOPED_TRACE(c.name);
        WideScratch work("form");
        const std::wstring source = Wide(work / "source");
        ASSERT_NO_FATAL_FAILURE(MakeSource(source, Compared()));
        std::string holes = vesko::test::DistinctBytes(L"holes.bin", 12000);
        holes.replace(4096, 4096, std::string(4096, '\0'));
        ASSERT_TRUE(vesko::test::WriteFileWide(source + L"\\holes.bin", holes));
        const std::string image = work / "image.iso";
        ASSERT_NO_FATAL_FAILURE(MakeImage(work, Tool::kGenisoUdf, work / "source", image));
        WIN32_FILE_ATTRIBUTE_DATA data{};
        ASSERT_TRUE(GetFileAttributesExA(image.c_str(), GetFileExInfoStandard, &data));
        const unsigned long long start = UdfPartitionStart(image);
        unsigned long long sector = 0;
        for (const auto& [offset, name] : Fids(image, data.nFileSizeLow / kSector))
            if (name == c.file)
                sector = start + U32(ReadAt(image, offset, 40), 24);
        ASSERT_NE(sector, 0u) << "no entry for " << c.file;
        std::string entry = ReadAt(image, sector * kSector, kSector);
        ASSERT_TRUE(c.rewrite(entry, image, start)) << "the entry is not in the form expected";
        ASSERT_TRUE(WriteAt(image, sector * kSector, entry));

        DiscImageReader reader;
        ASSERT_TRUE(reader.Open(Wide(image))) << Utf8(reader.Error());
        ASSERT_TRUE(reader.IsUdf());
        std::wstring difference;
        EXPECT_EQ(reader.CompareWithSource(source, 0, nullptr, difference), Outcome::kSame)
            << Utf8(difference);
    }
}

// A volume descriptor sequence may end at a sector left empty instead of at a terminating
// descriptor (writers that reserve the sequence's extent and zero what they do not use).
TEST(DiscImageReader, VolumeSequenceEndsAtAnEmptySector) {
    WideScratch work("sequence");
    ASSERT_NO_FATAL_FAILURE(MakeSource(Wide(work / "source"), Compared()));
    const std::string image = work / "image.iso";
    ASSERT_NO_FATAL_FAILURE(MakeImage(work, Tool::kGenisoUdf, work / "source", image));
    const unsigned long main = U32(ReadAt(image, 256 * kSector, kSector), 20);
    unsigned long terminator = 0;
    for (unsigned long s = main; s < main + 32 && !terminator; ++s)
        if (TagAt(ReadAt(image, s * kSector, kSector), 0, 8))
            terminator = s;
    ASSERT_NE(terminator, 0u) << "no terminating descriptor after sector " << main;
    ASSERT_TRUE(WriteAt(image, terminator * kSector, std::string(kSector, '\0')));
    DiscImageReader reader;
    ASSERT_TRUE(reader.Open(Wide(image))) << Utf8(reader.Error());
    std::wstring difference;
    EXPECT_EQ(reader.CompareWithSource(Wide(work / "source"), 0, nullptr, difference),
              Outcome::kSame)
        << Utf8(difference);
}

// Memory running out while an image is read or compared (a huge tree, or a crafted one) is a
// failure with its reason, not an exception the recorder's worker would die of.
using MallocFn = void*(__cdecl*)(size_t);
MallocFn g_malloc = nullptr;
long g_allocationsLeft = -1;  // the allocation that fails when it reaches 0; -1: none
void* __cdecl CountingMalloc(size_t size) {
    if (g_allocationsLeft >= 0 && g_allocationsLeft-- == 0)
        return nullptr;
    return g_malloc(size);
}

TEST(DiscImageReader, RunningOutOfMemoryIsAFailure) {
    WideScratch work("memory");
    const std::wstring source = Wide(work / "source");
    ASSERT_NO_FATAL_FAILURE(MakeSource(source, Nested()));
    const std::string image = work / "image.iso";
    ASSERT_NO_FATAL_FAILURE(MakeImage(work, Tool::kGenisoUdf, work / "source", image));
    // operator new lives in the shared C++ runtime: its malloc is the one to fail.
    HMODULE runtime = GetModuleHandleA("libstdc++-6.dll");
    vesko::test::ImportHook hook(runtime ? runtime : GetModuleHandleA(nullptr), "malloc",
                                 reinterpret_cast<void*>(&CountingMalloc));
    ASSERT_TRUE(hook.Hooked()) << "no malloc import to fail";
    g_malloc = reinterpret_cast<MallocFn>(hook.Original());
    const std::wstring wideImage = Wide(image);
    // How many allocations an open and a comparison make.
    long allocations = 0;
    {
        DiscImageReader reader;
        std::wstring difference;
        for (int step = 0; step < 2; ++step) {
            g_allocationsLeft = 1000000;
            const bool done = step == 0 ? reader.Open(wideImage)
                                        : reader.CompareWithSource(source, 0, nullptr,
                                                                   difference) == Outcome::kSame;
            allocations = std::max(allocations, 1000000 - g_allocationsLeft);
            g_allocationsLeft = -1;
            ASSERT_TRUE(done) << Utf8(reader.Error()) << Utf8(difference);
        }
    }
    ASSERT_GT(allocations, 0) << "no allocation went through the hook";
    // Every allocation of an open, and of a comparison, fails once in turn.
    unsigned failedOpens = 0, failedCompares = 0;
    for (long fail = 0; fail < allocations; ++fail) {
        std::string thrown;
        try {
            DiscImageReader reader;
            g_allocationsLeft = fail;
            const bool opened = reader.Open(wideImage);
            g_allocationsLeft = -1;
            if (!opened) {
                ++failedOpens;
                EXPECT_NE(reader.Error().find(L"memory"), std::wstring::npos)
                    << Utf8(reader.Error());
                EXPECT_TRUE(reader.Entries().empty());
            }
            ASSERT_TRUE(opened || reader.Open(wideImage)) << Utf8(reader.Error());
            std::wstring difference;
            g_allocationsLeft = fail;
            const Outcome outcome = reader.CompareWithSource(source, 0, nullptr, difference);
            g_allocationsLeft = -1;
            if (outcome != Outcome::kSame) {
                ++failedCompares;
                EXPECT_EQ(outcome, Outcome::kImageUnreadable);
                EXPECT_NE(difference.find(L"memory"), std::wstring::npos) << Utf8(difference);
            }
        } catch (const std::exception& e) {
            thrown = e.what();
        }
        g_allocationsLeft = -1;
        ASSERT_EQ(thrown, "") << "allocation " << fail << " failing threw";
    }
    EXPECT_GT(failedOpens, 0u);
    EXPECT_GT(failedCompares, 0u);
}

// Random damage anywhere in the file systems' own sectors: every open ends, with a reason or
// with a tree whose every file reads to its size.
TEST(DiscImageReader, RandomDamageNeverCrashesNorHangs) {
    for (Tool tool : {Tool::kGenisoJoliet, Tool::kGenisoUdf}) {
        SCOPED_TRACE(ToolName(tool));
        WideScratch work("fuzz");
        ASSERT_NO_FATAL_FAILURE(MakeSource(Wide(work / "source"), Nested()));
        const std::string image = work / "image.iso";
        ASSERT_NO_FATAL_FAILURE(MakeImage(work, tool, work / "source", image));
        WIN32_FILE_ATTRIBUTE_DATA data{};
        ASSERT_TRUE(GetFileAttributesExA(image.c_str(), GetFileExInfoStandard, &data));
        const unsigned long long sectors = data.nFileSizeLow / kSector;
        unsigned long long state = 12345;
        auto next = [&state](unsigned long long below) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            return (state >> 33) % below;
        };
        unsigned failed = 0, opened = 0;
        std::vector<char> buffer(65536);
        for (int round = 0; round < 300; ++round) {
            // Metadata lies from sector 16 to the first file data; damage there mostly.
            const unsigned long long sector =
                16 + next(std::min<unsigned long long>(sectors - 16, 300));
            const unsigned long long offset = sector * kSector + next(kSector - 4);
            const std::string before = ReadAt(image, offset, 4);
            std::string after = before;
            for (char& b : after)
                b = static_cast<char>(next(256));
            ASSERT_TRUE(WriteAt(image, offset, after));
            {
                DiscImageReader reader;
                if (reader.Open(Wide(image))) {
                    ++opened;
                    for (const auto& entry : reader.Entries()) {
                        DiscImageReader::File file = reader.OpenFile(entry);
                        unsigned long long total = 0;
                        size_t read = 0;
                        do {
                            ASSERT_TRUE(file.Read(buffer.data(), buffer.size(), read));
                            total += read;
                        } while (read > 0);
                        EXPECT_EQ(total, entry.size);
                    }
                } else {
                    ++failed;
                    EXPECT_FALSE(reader.Error().empty());
                }
            }  // the reader lets go of the image
            ASSERT_TRUE(WriteAt(image, offset, before));
        }
        RecordProperty(std::string(ToolName(tool)) + "_failed", static_cast<int>(failed));
        EXPECT_EQ(failed + opened, 300u);
    }
}

}  // namespace
