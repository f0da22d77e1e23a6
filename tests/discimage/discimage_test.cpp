// The disc image writer against real trees in a temp folder. Each image is
// written to a file and read back by the host's own readers (xorriso for ISO
// 9660 and Joliet, 7-Zip for UDF and ISO): what they list and extract must be
// the source, byte for byte, names included.
#include "discimage.h"

#include <gtest/gtest.h>

#include <testsupport.h>
#include <vesko/raii.h>

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

using vesko::test::ScratchDir;

std::string Utf8(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& text) {
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::wstring LongPath(const std::wstring& path) {
    return L"\\\\?\\" + path;
}

// An entry of a source tree: "a\\b\\" is a folder, anything else a file of
// size bytes (a size of its own from its name when size is negative).
struct Entry {
    std::wstring path;
    long long size = -1;
};

size_t SizeOf(const Entry& e) {
    const unsigned char first =
        static_cast<unsigned char>(vesko::test::DistinctBytes(e.path, 1)[0]);
    return e.size >= 0 ? static_cast<size_t>(e.size) : first * 37u % 9000u + 1;
}

// Makes the entries under root with the wide API (any Unicode, any length).
std::string MakeWideTree(const std::wstring& root, const std::vector<Entry>& entries) {
    for (const Entry& e : entries) {
        for (size_t sep = e.path.find(L'\\'); sep != std::wstring::npos;
             sep = e.path.find(L'\\', sep + 1)) {
            const std::wstring folder = root + L"\\" + e.path.substr(0, sep);
            if (!CreateDirectoryW(LongPath(folder).c_str(), nullptr) &&
                GetLastError() != ERROR_ALREADY_EXISTS)
                return "cannot make " + Utf8(folder) + ": " + vesko::test::Describe(GetLastError());
        }
        if (e.path.back() == L'\\')
            continue;
        if (!vesko::test::WriteFileWide(root + L"\\" + e.path,
                                        vesko::test::DistinctBytes(e.path, SizeOf(e))))
            return "cannot write " + Utf8(e.path) + ": " + vesko::test::Describe(GetLastError());
    }
    return {};
}

// Writes the whole image to path in large reads; with sparse, chunks of
// zeros are skipped with a seek (the file is given its full size at the
// end), so an image of a mostly empty 5 GiB file costs little disc space.
std::string WriteImage(DiscImage& image, const std::wstring& path, bool sparse = false,
                       size_t chunk = 1 << 20) {
    vesko::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE) {
        file.Release();
        return "cannot create the image file: " + vesko::test::Describe(GetLastError());
    }
    if (sparse) {
        DWORD ignored = 0;
        DeviceIoControl(file.Get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
    }
    std::vector<char> buffer(chunk);
    unsigned long long total = 0;
    for (;;) {
        size_t read = 0;
        if (!image.Read(buffer.data(), buffer.size(), read))
            return "Read failed at byte " + std::to_string(image.Position());
        if (read == 0)
            break;
        total += read;
        const bool zeros = sparse && std::all_of(buffer.begin(), buffer.begin() + read,
                                                 [](char c) { return c == 0; });
        if (zeros) {
            LARGE_INTEGER by;
            by.QuadPart = static_cast<LONGLONG>(read);
            if (!SetFilePointerEx(file.Get(), by, nullptr, FILE_CURRENT))
                return "seek failed: " + vesko::test::Describe(GetLastError());
            continue;
        }
        DWORD written = 0;
        if (!WriteFile(file.Get(), buffer.data(), static_cast<DWORD>(read), &written, nullptr) ||
            written != read)
            return "write failed: " + vesko::test::Describe(GetLastError());
    }
    if (total != image.ByteCount())
        return "read " + std::to_string(total) + " bytes of " + std::to_string(image.ByteCount());
    if (!SetEndOfFile(file.Get()))
        return "SetEndOfFile failed: " + vesko::test::Describe(GetLastError());
    return {};
}

struct HostResult {
    int rc = -1;  // -1: the script did not finish in time
    std::string out;
};

// Runs a script on the host, in folder (a Windows path).
HostResult RunOnHost(const std::string& folder, const std::string& script,
                     DWORD milliseconds = 120000) {
    HostResult result;
    result.rc = vesko::test::RunOnHost(folder, script, result.out, milliseconds);
    return result;
}

// Removes what a test made on the host (links Wine cannot delete once their
// target is gone, files too large to leave behind) when the test ends, however
// it ends; before the scratch folder itself goes.
class HostCleanup {
  public:
    HostCleanup(std::string folder, std::string paths)
        : m_folder(std::move(folder)), m_paths(std::move(paths)) {}
    ~HostCleanup() { RunOnHost(m_folder, "chmod -R u+w " + m_paths + "; rm -rf " + m_paths); }
    HostCleanup(const HostCleanup&) = delete;
    HostCleanup& operator=(const HostCleanup&) = delete;

  private:
    std::string m_folder, m_paths;
};

std::string Describe(const HostResult& r) {
    return "host script rc " + std::to_string(r.rc) + ", output:\n" + r.out.substr(0, 6000);
}

struct Row {
    const char* name;
    std::vector<Entry> entries;
    bool udfOption = false;
    bool expectUdf = false;   // the image must carry UDF
    bool jolietExact = true;  // every name fits Joliet as it is
    bool singleFile = false;  // the source is the tree's one file, not its folder
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

std::vector<Entry> ManyFiles() {
    std::vector<Entry> out;
    for (int i = 0; i < 700; ++i) {
        wchar_t name[64];
        swprintf(name, 64, L"many\\file_%03d_with_a_longer_name.txt", i);
        out.push_back({name});
    }
    return out;
}

// Enough folders that the Joliet path table spans several sectors.
std::vector<Entry> ManyFolders() {
    std::vector<Entry> out;
    for (int i = 0; i < 700; ++i) {
        wchar_t name[64];
        swprintf(name, 64, L"folder_%04d_with_some_name\\%ls", i, i % 100 == 0 ? L"f.txt" : L"");
        out.push_back({name});
    }
    return out;
}

std::vector<Entry> DeepTree() {
    std::wstring path;
    std::vector<Entry> out;
    for (int level = 1; level <= 12; ++level) {
        wchar_t name[32];
        swprintf(name, 32, L"level%02d\\", level);
        path += name;
        if (level % 4 == 0)
            out.push_back({path + L"at_this_level.txt"});
    }
    out.push_back({path + L"deepest.txt"});
    out.push_back({path + L"empty_at_the_bottom\\"});
    return out;
}

std::vector<Row> Rows() {
    const std::wstring n64 = std::wstring(60, L'n') + L".txt";
    const std::wstring l65 = std::wstring(61, L'l') + L".txt";
    const std::wstring stem = std::wstring(70, L'x');
    return {
        {"nested",
         {{L"top.txt"},
          {L"a\\b\\c\\inner.dat"},
          {L"a\\b\\sibling.txt"},
          {L"a\\x.bin", 2048},
          {L"a\\y.bin", 2049},
          {L"a\\big.bin", 3 * 1024 * 1024 + 5},
          {L"empty folder\\"},
          {L"a\\b\\empty inside\\"},
          {L"zero.bin", 0},
          {L"a\\zero too", 0},
          {L"No Extension"},
          {L"dots.in.the.name.tar.gz"},
          {L"MixedCase And Spaces.Txt"}}},
        {"nested with the UDF option",
         {{L"top.txt"},
          {L"a\\b\\c\\inner.dat"},
          {L"empty\\"},
          {L"zero.bin", 0},
          {L"a\\one.bin", 70000}},
         true,
         true},
        {"non-ASCII names",
         {{L"Caf\u00e9 \u00dcmlaut.txt"},
          {L"\u65e5\u672c\u8a9e\u30d5\u30a9\u30eb\u30c0\\\u30d5\u30a1\u30a4\u30eb.txt"},
          {L"\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac\\"},
          {L"\U0001D11E music.txt"},
          {L"\u00e5\u00e4\u00f6\\\u00fc\u00df.dat", 5000}}},
        {"non-ASCII names with the UDF option",
         {{L"Caf\u00e9 \u00dcmlaut.txt"},
          {L"\u65e5\u672c\u8a9e\u30d5\u30a9\u30eb\u30c0\\\u30d5\u30a1\u30a4\u30eb.txt"},
          {L"\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac\\"},
          {L"\U0001D11E music.txt"},
          {L"\u00e5\u00e4\u00f6\\\u00fc\u00df.dat", 5000}},
         true,
         true},
        {"names of 64 and more characters",
         {{n64},
          {l65},
          {stem + L"_one.txt"},
          {stem + L"_two.txt"},
          {std::wstring(100, L'd') + L"\\inside.txt"},
          {std::wstring(200, L'e') + L".log"}},
         false,
         true,
         false},
        {"a name with a character Joliet cannot hold",
         {{L"semi;colon.txt"}, {L"semi_colon.txt"}},
         false,
         true,
         false},
        {"twelve levels deep", DeepTree()},
        {"many files in one folder", ManyFiles()},
        {"many folders", ManyFolders(), true, true},
        {"a single file", {{L"only file.txt", 12345}}, false, false, true, true},
    };
}

class DiscImageTree : public ::testing::TestWithParam<Row> {};

TEST_P(DiscImageTree, HostReadersExtractTheSource) {
    const Row& row = GetParam();
    ScratchDir dir("img");
    const std::wstring root = Wide(dir.Path());
    const std::wstring src = root + L"\\src";
    ASSERT_TRUE(CreateDirectoryW(src.c_str(), nullptr));
    const std::string made = MakeWideTree(src, row.entries);
    ASSERT_EQ(made, "");

    DiscImageOptions options;
    options.udf = row.udfOption;
    std::unique_ptr<DiscImage> image;
    const std::wstring source = row.singleFile ? src + L"\\" + row.entries[0].path : src;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(DiscImage::Create(source, options, image), CD::eOK);
    const auto created = std::chrono::steady_clock::now();
    ASSERT_TRUE(image);
    EXPECT_EQ(image->HasUdf(), row.expectUdf);
    unsigned long long bytes = 0;
    for (const Entry& e : row.entries)
        if (e.path.back() != L'\\')
            bytes += SizeOf(e);
    EXPECT_EQ(image->FileBytes(), bytes);
    const std::string written = WriteImage(*image, root + L"\\image.iso");
    ASSERT_EQ(written, "");
    const auto done = std::chrono::steady_clock::now();
    printf("Create %.2f s, image written %.2f s, %llu sectors\n",
           std::chrono::duration<double>(created - started).count(),
           std::chrono::duration<double>(done - created).count(), image->SectorCount());

    // xorriso reads the Joliet tree (no Rock Ridge here); 7-Zip reads UDF
    // when there is one, else the ISO with its Joliet names.
    std::string script =
        "set +e\n"
        "xorriso -local_charset UTF-8 -indev image.iso -find / -exec lsdl -- > list.txt 2>&1; "
        "echo \"xorriso-list $?\"\n"
        "xorriso -local_charset UTF-8 -osirrox on -indev image.iso -extract / x1 "
        "> extract.txt 2>&1; echo \"xorriso-extract $?\"\n"
        "chmod -R u+w x1\n"
        "find x1 -mindepth 1 -printf '%P\\n' | sort > x1.names\n"
        "(cd src && find . -type f -exec md5sum {} + | cut -c1-32 | sort) > src.sums\n"
        "(cd x1 && find . -type f -exec md5sum {} + | cut -c1-32 | sort) > x1.sums\n"
        "cmp src.sums x1.sums; echo \"xorriso-contents $?\"\n"
        "isovfy image.iso > isovfy.txt 2>&1; grep -q 'No errors found' isovfy.txt; "
        "echo \"isovfy $?\"\n"
        // The primary tree alone (8.3 names): the same entries and contents.
        "xorriso -read_fs ecma119 -osirrox on -indev image.iso -extract / x3 > primary.txt 2>&1; "
        "echo \"xorriso-primary $?\"\n"
        "chmod -R u+w x3\n"
        "(cd x3 && find . -type f -exec md5sum {} + | cut -c1-32 | sort) > x3.sums\n"
        "cmp src.sums x3.sums; echo \"primary-contents $?\"\n"
        "test $(find x3 -mindepth 1 | wc -l) -eq $(find x1 -mindepth 1 | wc -l); "
        "echo \"primary-entries $?\"\n";
    if (row.jolietExact)
        script += "diff -r src x1; echo \"xorriso-tree $?\"\n";
    script += std::string("7zz x -y ") + (row.expectUdf ? "-tudf" : "-tiso") +
              " -ox2 image.iso > 7z.txt 2>&1; echo \"7zz-extract $?\"\n"
              "chmod -R u+w x2; diff -r src x2; echo \"7zz-tree $?\"\n"
              "rm -rf x1 x2 x3 src\n"
              "[ -z \"${DISCIMAGE_KEEP:-}\" ] || cp image.iso \"$DISCIMAGE_KEEP\"\n";
    const HostResult r = RunOnHost(dir.Path(), script);
    ASSERT_EQ(r.rc, 0) << Describe(r);
    if (getenv("DISCIMAGE_VERBOSE"))
        printf("%s\n", Describe(r).c_str());
    for (const char* check :
         {"xorriso-list", "xorriso-extract", "xorriso-contents", "7zz-extract", "7zz-tree"}) {
        EXPECT_NE(r.out.find(std::string(check) + " 0\n"), std::string::npos)
            << check << " did not pass; " << Describe(r) << "\nxorriso said:\n"
            << vesko::test::ReadFileText(dir / "extract.txt").substr(0, 3000) << "\n7zz said:\n"
            << vesko::test::ReadFileText(dir / "7z.txt").substr(0, 3000);
    }
    if (row.jolietExact) {
        EXPECT_NE(r.out.find("xorriso-tree 0\n"), std::string::npos) << Describe(r);
    }
    // Names shortened for Joliet: as many entries, none over 64 UTF-16 units.
    std::vector<std::wstring> names;
    {
        const std::string text = vesko::test::ReadFileText(dir / "x1.names");
        size_t start = 0;
        for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
            names.push_back(Wide(text.substr(start, nl - start)));
    }
    size_t entries = 0;
    {
        std::vector<std::wstring> all;
        for (const Entry& e : row.entries) {
            std::wstring p = e.path;
            if (p.back() == L'\\')
                p.pop_back();
            for (size_t sep = 0; sep != std::wstring::npos;) {
                sep = p.find(L'\\', sep ? sep + 1 : 0);
                all.push_back(sep == std::wstring::npos ? p : p.substr(0, sep));
                if (sep == std::wstring::npos)
                    break;
            }
        }
        std::sort(all.begin(), all.end());
        entries = static_cast<size_t>(std::unique(all.begin(), all.end()) - all.begin());
    }
    EXPECT_EQ(names.size(), entries) << "xorriso extracted another number of entries";
    for (const std::wstring& name : names) {
        const std::wstring last = name.substr(name.find_last_of(L'/') + 1);
        EXPECT_LE(last.size(), 64u) << Utf8(name);
    }
}

INSTANTIATE_TEST_SUITE_P(Trees, DiscImageTree, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<Row>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c; ++c)
                                 name += isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             return name;
                         });

// The whole image in memory (small images only); ok tells whether every
// Read succeeded and the image ended where ByteCount said.
std::string ReadAll(DiscImage& image, bool& ok, size_t chunk = 65536) {
    std::string out(static_cast<size_t>(image.ByteCount()), '\0');
    size_t at = 0, read = 0;
    ok = true;
    while (at < out.size()) {
        ok = image.Read(&out[at], std::min(chunk, out.size() - at), read);
        if (!ok || read == 0)
            break;
        at += read;
    }
    ok = ok && at == out.size() && image.Read(&out[0], 1, read) && read == 0;
    return out;
}

FILETIME FileTimeOf(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms) {
    SYSTEMTIME st{};
    st.wYear = year;
    st.wMonth = month;
    st.wDay = day;
    st.wHour = hour;
    st.wMinute = minute;
    st.wSecond = second;
    st.wMilliseconds = ms;
    FILETIME ft{};
    SystemTimeToFileTime(&st, &ft);
    return ft;
}

const std::vector<Entry> kSmallTree = {
    {L"a.txt"},   {L"sub\\b.bin", 70000}, {L"sub\\deeper\\c.dat"},
    {L"empty\\"}, {L"zero", 0},           {L"\u00e9t\u00e9.txt"}};

TEST(DiscImage, SameInputsGiveTheSameBytes) {
    ScratchDir dir("same");
    const std::wstring src = Wide(dir.Path());
    ASSERT_EQ(MakeWideTree(src, kSmallTree), "");
    struct Case {
        const char* what;
        DiscImageOptions first, second;
        bool same;
    };
    DiscImageOptions plain;
    plain.label = L"Same";
    plain.recorded = FileTimeOf(2026, 5, 6, 7, 8, 9, 100);
    DiscImageOptions later = plain;
    later.recorded = FileTimeOf(2026, 5, 6, 7, 8, 10, 100);
    DiscImageOptions relabelled = plain;
    relabelled.label = L"Other";
    DiscImageOptions udf = plain;
    udf.udf = true;
    DiscImageOptions udfLater = later;
    udfLater.udf = true;
    const Case cases[] = {
        {"same options", plain, plain, true},
        {"same options with UDF", udf, udf, true},
        {"another recording date", plain, later, false},
        {"another recording date with UDF", udf, udfLater, false},
        {"another label", plain, relabelled, false},
    };
    for (const Case& c : cases) {
        std::unique_ptr<DiscImage> a, b;
        ASSERT_EQ(DiscImage::Create(src, c.first, a), CD::eOK) << c.what;
        ASSERT_EQ(DiscImage::Create(src, c.second, b), CD::eOK) << c.what;
        bool okA = false, okB = false;
        const std::string bytesA = ReadAll(*a, okA), bytesB = ReadAll(*b, okB, 3000);
        ASSERT_TRUE(okA && okB) << c.what;
        EXPECT_EQ(bytesA == bytesB, c.same)
            << c.what << ": " << bytesA.size() << " and " << bytesB.size() << " bytes";
    }
}

TEST(DiscImage, SeekReadsWhatASequentialReadGives) {
    ScratchDir dir("seek");
    const std::wstring src = Wide(dir.Path());
    ASSERT_EQ(MakeWideTree(src, kSmallTree), "");
    DiscImageOptions options;
    options.udf = true;
    std::unique_ptr<DiscImage> image;
    ASSERT_EQ(DiscImage::Create(src, options, image), CD::eOK);
    bool ok = false;
    const std::string all = ReadAll(*image, ok);
    ASSERT_TRUE(ok);
    const unsigned long long end = image->ByteCount();
    // The end first (as a burner asks), then back and forth across
    // descriptors, directories, file data and the end of each.
    const unsigned long long positions[] = {end - 2048,  0,          16 * 2048 + 5, end - 1,
                                            257 * 2048,  100 * 2048, end / 2,       end - 70000,
                                            end - 70001, 3,          end - 4097,    40 * 2048 - 1};
    for (unsigned long long at : positions) {
        ASSERT_TRUE(image->Seek(at)) << at;
        EXPECT_EQ(image->Position(), at);
        std::string part(static_cast<size_t>(std::min<unsigned long long>(9000, end - at)), '\0');
        size_t read = 0;
        ASSERT_TRUE(image->Read(&part[0], part.size(), read)) << "at " << at;
        EXPECT_EQ(read, part.size()) << "at " << at;
        EXPECT_EQ(image->Position(), at + read);
        EXPECT_TRUE(part == all.substr(static_cast<size_t>(at), part.size())) << "at " << at;
    }
    ASSERT_TRUE(image->Seek(end));
    char byte = 0;
    size_t read = 1;
    EXPECT_TRUE(image->Read(&byte, 1, read));
    EXPECT_EQ(read, 0u) << "a read at the end gave bytes";
}

TEST(DiscImage, ASourceFileChangedAfterCreateMakesReadFail) {
    struct Case {
        const char* what;
        std::function<bool(const std::wstring&)> change;
    };
    const Case cases[] = {
        {"grown",
         [](const std::wstring& f) {
             return vesko::test::WriteFileWide(f, std::string(70001, 'g'));
         }},
        {"shrunk",
         [](const std::wstring& f) {
             return vesko::test::WriteFileWide(f, std::string(69999, 's'));
         }},
        {"removed", [](const std::wstring& f) { return DeleteFileW(f.c_str()) != FALSE; }},
        {"left as it was", [](const std::wstring&) { return true; }},
    };
    for (const Case& c : cases) {
        ScratchDir dir("changed");
        const std::wstring src = Wide(dir.Path());
        ASSERT_EQ(MakeWideTree(src, kSmallTree), "");
        std::unique_ptr<DiscImage> image;
        ASSERT_EQ(DiscImage::Create(src, {}, image), CD::eOK) << c.what;
        ASSERT_TRUE(c.change(src + L"\\sub\\b.bin")) << c.what;
        bool ok = true;
        ReadAll(*image, ok);
        EXPECT_EQ(ok, std::string(c.what) == "left as it was") << c.what;
    }
}

// A file that changes while its data is being read: the image already holds
// part of it, and the rest must not pass for what was laid out.
TEST(DiscImage, AFileChangedWhileItIsReadMakesReadFail) {
    struct Case {
        const char* what;
        long long newSize;  // -1: left as it was
    };
    const Case cases[] = {{"grown", 300001}, {"left as it was", -1}};
    for (const Case& c : cases) {
        ScratchDir dir("midread");
        const std::wstring src = Wide(dir.Path());
        ASSERT_EQ(MakeWideTree(src, {{L"only.bin", 300000}}), "");
        std::unique_ptr<DiscImage> image;
        ASSERT_EQ(DiscImage::Create(src, {}, image), CD::eOK);
        // Up to the middle of the file's data (its data ends the image).
        const unsigned long long middle = image->ByteCount() - 150000;
        std::string part(static_cast<size_t>(middle), '\0');
        size_t read = 0;
        ASSERT_TRUE(image->Read(&part[0], part.size(), read)) << c.what;
        ASSERT_EQ(read, part.size()) << c.what;
        // Through the host: the image holds the file open without write
        // sharing, which keeps Windows programs out but not every writer
        // (a file server's other clients, the host here).
        if (c.newSize >= 0) {
            const HostResult r =
                RunOnHost(dir.Path(), "truncate -s " + std::to_string(c.newSize) + " only.bin");
            ASSERT_EQ(r.rc, 0) << Describe(r);
        }
        bool ok = true;
        std::string rest(200000, '\0');
        while (ok && (ok = image->Read(&rest[0], rest.size(), read)) && read > 0) {
        }
        EXPECT_EQ(ok, c.newSize < 0) << c.what << ": Read gave " << ok;
    }
}

uint32_t Le32At(const std::string& b, size_t at) {
    return static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8 |
           static_cast<uint8_t>(b[at + 2]) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}
uint32_t Be32At(const std::string& b, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) << 24 |
           static_cast<uint8_t>(b[at + 1]) << 16 | static_cast<uint8_t>(b[at + 2]) << 8 |
           static_cast<uint8_t>(b[at + 3]);
}

// The host's readers walk directories and never look at the path tables,
// which other readers (Windows among them) use to find folders. Each entry of
// both tables, in both byte orders, must lead to its folder's directory: a
// directory whose "." record names that sector and whose ".." record names
// the sector of the entry's parent.
TEST(DiscImage, PathTablesLeadToEveryFolder) {
    ScratchDir dir("paths");
    const std::wstring src = Wide(dir.Path());
    const std::vector<Entry> tree = ManyFolders();
    ASSERT_EQ(MakeWideTree(src, tree), "");
    std::unique_ptr<DiscImage> image;
    ASSERT_EQ(DiscImage::Create(src, {}, image), CD::eOK);
    bool ok = false;
    const std::string b = ReadAll(*image, ok);
    ASSERT_TRUE(ok);
    const size_t kS = DiscImage::kSectorSize;
    for (size_t descriptor : {16 * kS, 17 * kS}) {
        const bool joliet = descriptor == 17 * kS;
        const uint32_t size = Le32At(b, descriptor + 132);
        const uint32_t l = Le32At(b, descriptor + 140), m = Be32At(b, descriptor + 148);
        EXPECT_GT(size, joliet ? 16 * kS : 0) << "the tables should span sectors";
        std::vector<uint32_t> extents;  // by entry number - 1
        unsigned lastParent = 1;
        for (size_t at = 0, n = 1; at < size; ++n) {
            const size_t pl = l * kS + at, pm = m * kS + at;
            const uint8_t idLength = static_cast<uint8_t>(b[pl]);
            ASSERT_GT(idLength, 0) << "entry " << n;
            const uint32_t extent = Le32At(b, pl + 2);
            EXPECT_EQ(Be32At(b, pm + 2), extent) << "entry " << n << " differs in the M table";
            const unsigned parent =
                static_cast<uint8_t>(b[pl + 6]) | static_cast<uint8_t>(b[pl + 7]) << 8;
            const unsigned parentM =
                static_cast<uint8_t>(b[pm + 6]) << 8 | static_cast<uint8_t>(b[pm + 7]);
            EXPECT_EQ(parent, parentM) << "entry " << n;
            EXPECT_EQ(b.substr(pl + 8, idLength), b.substr(pm + 8, idLength)) << "entry " << n;
            ASSERT_GE(parent, 1u);
            ASSERT_LE(parent, n) << "entry " << n << " names a later parent";
            // Entries come level by level, children grouped by parent.
            EXPECT_GE(parent, lastParent) << "entry " << n;
            lastParent = parent;
            extents.push_back(extent);
            // The directory there: "." names itself, ".." its parent.
            const size_t d = static_cast<size_t>(extent) * kS;
            ASSERT_LT(d + 68, b.size()) << "entry " << n;
            EXPECT_EQ(b[d + 32], 1);
            EXPECT_EQ(b[d + 33], 0) << "entry " << n << ": no \".\" record at sector " << extent;
            EXPECT_EQ(Le32At(b, d + 2), extent) << "entry " << n;
            const size_t up = d + static_cast<uint8_t>(b[d]);
            EXPECT_EQ(b[up + 33], 1) << "entry " << n << ": no \"..\" record";
            EXPECT_EQ(Le32At(b, up + 2), extents[parent - 1]) << "entry " << n << "'s parent";
            at += 8 + idLength + idLength % 2;
        }
        EXPECT_EQ(extents.size(), tree.size() + 1) << (joliet ? "Joliet" : "primary");
    }
}

TEST(DiscImage, AMissingSourceIsNotFound) {
    ScratchDir dir("missing");
    std::unique_ptr<DiscImage> image;
    for (const std::wstring& source :
         {Wide(dir.Path()) + L"\\nothing", Wide(dir.Path()) + L"\\no\\file.txt", std::wstring()}) {
        EXPECT_EQ(DiscImage::Create(source, {}, image), CD::eSourceNotFound) << Utf8(source);
        EXPECT_FALSE(image);
    }
}

// UDF stores a name in at most 255 bytes: 8 bits a character when every one
// fits 8 bits, else 16. A name that fits neither Joliet nor UDF as it is can
// go onto no disc here.
TEST(DiscImage, ANameNoFileSystemHoldsIsNotSupported) {
    struct Case {
        std::wstring name;
        CD::EError expected;
    };
    const Case cases[] = {
        {std::wstring(200, L'a') + L"\u00e9.txt", CD::eOK},            // 8 bits: 205 bytes
        {std::wstring(120, L'a') + L"\u0153.txt", CD::eOK},            // 16 bits: 251 bytes
        {std::wstring(123, L'a') + L"\u0153.txt", CD::eNotSupported},  // 16 bits: 257 bytes
        {std::wstring(60, L'a') + L"\u65e5\u672c.txt", CD::eOK},       // fits Joliet too
    };
    for (const Case& c : cases) {
        ScratchDir dir("name");
        const std::wstring src = Wide(dir.Path());
        ASSERT_EQ(MakeWideTree(src, {{c.name, 10}}), "") << c.name.size() << " characters";
        std::unique_ptr<DiscImage> image;
        EXPECT_EQ(DiscImage::Create(src, {}, image), c.expected) << c.name.size() << " characters";
        EXPECT_EQ(image != nullptr, c.expected == CD::eOK);
    }
}

TEST(DiscImage, AnEmptyTreeTakesTheEmptySectorCountAndReads) {
    for (bool udf : {false, true}) {
        ScratchDir dir("empty");
        const std::string src = dir / "src";
        ASSERT_TRUE(CreateDirectoryA(src.c_str(), nullptr));
        DiscImageOptions options;
        options.udf = udf;
        std::unique_ptr<DiscImage> image;
        ASSERT_EQ(DiscImage::Create(Wide(src), options, image), CD::eOK);
        EXPECT_EQ(image->HasUdf(), udf);
        EXPECT_EQ(image->SectorCount(), DiscImage::EmptySectorCount(udf)) << "udf " << udf;
        EXPECT_EQ(image->FileBytes(), 0u);
        ASSERT_EQ(WriteImage(*image, Wide(dir / "image.iso")), "");
        const HostResult r = RunOnHost(
            dir.Path(), std::string("xorriso -osirrox on -indev image.iso -extract / x1 && "
                                    "diff -r src x1 && ") +
                            (udf ? "7zz l -tudf image.iso | grep -q 'Type = Udf' && " : "") +
                            "echo empty-ok; chmod -R u+w x1; rm -rf x1");
        EXPECT_NE(r.out.find("empty-ok"), std::string::npos)
            << "udf " << udf << ": " << Describe(r);
    }
    EXPECT_GT(DiscImage::EmptySectorCount(true), DiscImage::EmptySectorCount(false));
}

// Volume labels and the recording date as the host's readers show them.
TEST(DiscImage, LabelAndRecordingDateReadBack) {
    struct Case {
        std::wstring label;
        std::string primary;  // what the ISO 9660 volume id holds
        bool udf;
    };
    const Case cases[] = {
        {L"STUDY_2026_12", "STUDY_2026_12", false},
        {L"PATIENT_0815_CT", "PATIENT_0815_CT", true},
        {L"Study \u00c4rzte c\u0153ur", "STUDY__RZTE_C_UR", true},
        {L"", "SRC", true},  // the source folder's own name
        {L"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", false},
    };
    WORD second = 1;
    for (const Case& c : cases) {
        ScratchDir dir("label");
        const std::string src = dir / "src";
        ASSERT_TRUE(CreateDirectoryA(src.c_str(), nullptr));
        ASSERT_TRUE(vesko::test::WriteFileText(src + "\\f.txt", "label test"));
        DiscImageOptions options;
        options.label = c.label;
        options.udf = c.udf;
        options.recorded = FileTimeOf(2026, 3, 4, 5, 6, second++, 890);
        SYSTEMTIME t{};
        FileTimeToSystemTime(&options.recorded, &t);
        std::unique_ptr<DiscImage> image;
        ASSERT_EQ(DiscImage::Create(Wide(src), options, image), CD::eOK);
        ASSERT_EQ(WriteImage(*image, Wide(dir / "image.iso")), "");
        const HostResult r = RunOnHost(
            dir.Path(), "xorriso -indev image.iso -pvd_info; echo; 7zz l -tudf image.iso");
        char date[64], udfDate[64];
        snprintf(date, sizeof date, "Creation Time: %04u%02u%02u%02u%02u%02u%02u\n", t.wYear,
                 t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds / 10u);
        snprintf(udfDate, sizeof udfDate, "Created = %04u-%02u-%02u %02u:%02u:%02u.%02u", t.wYear,
                 t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds / 10u);
        EXPECT_NE(r.out.find("Volume Id    : " + c.primary + "\n"), std::string::npos)
            << Describe(r);
        EXPECT_NE(r.out.find(date), std::string::npos) << date << Describe(r);
        if (c.udf) {
            const std::string label = Utf8(c.label.empty() ? L"src" : c.label);
            EXPECT_NE(r.out.find("  Id: " + label + "\n"), std::string::npos) << Describe(r);
            EXPECT_NE(r.out.find(udfDate), std::string::npos) << udfDate << Describe(r);
        }
    }
}

// The Joliet volume label: 16 UTF-16 units, a pair never cut in two, and
// none of the characters Joliet keeps out of identifiers (readers that check
// refuse the volume). Read from the supplementary descriptor itself: the
// host's tools show the primary label only.
TEST(DiscImage, JolietLabelHoldsWhatJolietAllows) {
    struct Case {
        std::wstring label, joliet;
    };
    const Case cases[] = {
        {L"Study: 1/2?", L"Study_ 1_2_"},
        {L"Back\\slash;semi*", L"Back_slash_semi_"},
        {L"\u00c4rzte CT 2026 M\u00e4rz", L"\u00c4rzte CT 2026 M\u00e4"},
        {L"ABCDEFGHIJKLMNO\U0001D11E", L"ABCDEFGHIJKLMNO"},
        {L"\U0001D11E\u65e5\u672c", L"\U0001D11E\u65e5\u672c"},
    };
    ScratchDir dir("jlabel");
    const std::wstring src = Wide(dir.Path());
    ASSERT_EQ(MakeWideTree(src, {{L"f.txt", 10}}), "");
    for (const Case& c : cases) {
        DiscImageOptions options;
        options.label = c.label;
        std::unique_ptr<DiscImage> image;
        ASSERT_EQ(DiscImage::Create(src, options, image), CD::eOK);
        bool ok = false;
        const std::string b = ReadAll(*image, ok);
        ASSERT_TRUE(ok);
        std::wstring label;
        for (size_t at = 17 * DiscImage::kSectorSize + 40; label.size() < 16; at += 2)
            label += static_cast<wchar_t>(static_cast<uint8_t>(b[at]) << 8 |
                                          static_cast<uint8_t>(b[at + 1]));
        while (!label.empty() && label.back() == L' ')
            label.pop_back();
        EXPECT_EQ(Utf8(label), Utf8(c.joliet)) << Utf8(c.label);
    }
}

// Junctions and symbolic links stay off the disc, whatever they point at.
TEST(DiscImage, LinksAreLeftOut) {
    ScratchDir dir("links");
    const HostCleanup cleanup(dir.Path(), "src outside");
    const std::string src = dir / "src";
    ASSERT_TRUE(CreateDirectoryA(src.c_str(), nullptr));
    ASSERT_TRUE(vesko::test::MakeTree(src, "real.txt|folder\\inside.txt"));
    ASSERT_TRUE(vesko::test::MakeTree(dir.Path(), "outside\\secret.txt"));
    // Wine shows a host link to a file as the file itself (no reparse
    // point, so HostLink cannot tell it is one): the link must exist.
    vesko::test::HostLink(src + "\\link.txt", src + "\\real.txt");
    ASSERT_TRUE(
        vesko::test::WaitFor([&] { return vesko::test::Exists(src + "\\link.txt"); }, 5000));
    ASSERT_TRUE(vesko::test::HostLink(src + "\\folder\\linked folder", dir / "outside"));
    std::unique_ptr<DiscImage> image;
    DiscImageOptions options;
    options.udf = true;
    ASSERT_EQ(DiscImage::Create(Wide(src), options, image), CD::eOK);
    ASSERT_EQ(WriteImage(*image, Wide(dir / "image.iso")), "");
    const HostResult r = RunOnHost(
        dir.Path(),
        "xorriso -indev image.iso -find / -exec lsdl -- 2>/dev/null; 7zz l -tudf image.iso");
    EXPECT_NE(r.out.find("/folder/inside.txt"), std::string::npos) << Describe(r);
    EXPECT_NE(r.out.find("real.txt"), std::string::npos) << Describe(r);
    for (const char* name : {"link.txt", "linked folder", "secret.txt"})
        EXPECT_EQ(r.out.find(name), std::string::npos)
            << name << " is on the disc; " << Describe(r);
}

// A sparse file over 4 GiB with data at its start, across the 4 GiB line
// and at its end: multi-extent records in the ISO trees and the UDF bridge.
TEST(DiscImage, AFileOf4GiBAndMore) {
    ScratchDir dir("big");
    const HostCleanup cleanup(dir.Path(), "src x1 image.iso");
    const unsigned long long size = (4ull << 30) + (5ull << 20) + 7;
    const std::string make =
        "mkdir src && truncate -s " + std::to_string(size) +
        " src/big.bin && printf head | dd of=src/big.bin conv=notrunc 2>/dev/null && "
        "printf across | dd of=src/big.bin bs=1 seek=" +
        std::to_string((4ull << 30) - 3) +
        " conv=notrunc 2>/dev/null && printf tail | dd of=src/big.bin bs=1 seek=" +
        std::to_string(size - 4) + " conv=notrunc 2>/dev/null && printf small > src/small.txt";
    const HostResult made = RunOnHost(dir.Path(), make);
    ASSERT_EQ(made.rc, 0) << Describe(made);
    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<DiscImage> image;
    ASSERT_EQ(DiscImage::Create(Wide(dir / "src"), {}, image), CD::eOK);
    EXPECT_TRUE(image->HasUdf()) << "a file of 4 GiB needs UDF";
    EXPECT_EQ(image->FileBytes(), size + 5);
    ASSERT_EQ(WriteImage(*image, Wide(dir / "image.iso"), true), "");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("image of a %llu-byte sparse file written in %.1f s\n", size, seconds);
    const std::string check =
        "set +e\n"
        "xorriso -indev image.iso -find / -exec lsdl -- > list.txt 2>&1; echo \"xorriso-list $?\"\n"
        "grep -q ' " +
        std::to_string(size) +
        " .*big.bin' list.txt; echo \"xorriso-size $?\"\n"
        "xorriso -osirrox on:sparse=1m -indev image.iso -extract / x1 > extract.txt 2>&1; "
        "echo \"xorriso-extract $?\"\n"
        "cmp src/big.bin x1/big.bin; echo \"xorriso-big $?\"\n"
        "xorriso -read_fs ecma119 -indev image.iso -find / -exec lsdl -- > primary.txt 2>&1; "
        "grep -qi ' " +
        std::to_string(size) +
        " .*big.bin' primary.txt; echo \"primary-size $?\"\n"
        "cmp src/small.txt x1/small.txt; echo \"xorriso-small $?\"\n"
        "chmod -R u+w x1; rm -rf x1\n"
        "7zz e -so -tudf image.iso big.bin 2> 7z.txt | cmp - src/big.bin; echo \"7zz-big $?\"\n"
        "7zz e -so -tudf image.iso small.txt 2>> 7z.txt | cmp - src/small.txt; "
        "echo \"7zz-small $?\"\n"
        "echo \"image uses $(du -k image.iso | cut -f1) KiB\"\n";
    const HostResult r = RunOnHost(dir.Path(), check, 300000);
    ASSERT_EQ(r.rc, 0) << Describe(r);
    printf("%s", r.out.c_str());
    for (const char* name : {"xorriso-list", "xorriso-size", "xorriso-extract", "xorriso-big",
                             "xorriso-small", "primary-size", "7zz-big", "7zz-small"}) {
        EXPECT_NE(r.out.find(std::string(name) + " 0\n"), std::string::npos)
            << name << " did not pass; " << Describe(r) << "\nxorriso said:\n"
            << vesko::test::ReadFileText(dir / "extract.txt").substr(0, 3000)
            << vesko::test::ReadFileText(dir / "list.txt").substr(0, 3000)
            << vesko::test::ReadFileText(dir / "primary.txt").substr(0, 3000) << "\n7zz said:\n"
            << vesko::test::ReadFileText(dir / "7z.txt").substr(0, 3000);
    }
}

}  // namespace
