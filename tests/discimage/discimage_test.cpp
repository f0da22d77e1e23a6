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

// Each file's contents: its name and its size mixed, so that no two files of
// a tree are alike and a misplaced extent shows.
std::string Contents(const std::wstring& path, size_t size) {
    uint32_t seed = 2166136261u;
    for (wchar_t c : path)
        seed = (seed ^ c) * 16777619u;
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        out[i] = static_cast<char>(seed >> 16);
    }
    return out;
}

bool WriteWide(const std::wstring& path, const std::string& data) {
    vesko::UniqueHandle file(CreateFileW(LongPath(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE) {
        file.Release();
        return false;
    }
    DWORD written = 0;
    return WriteFile(file.Get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
           written == data.size();
}

// An entry of a source tree: "a\\b\\" is a folder, anything else a file of
// size bytes (a size of its own from its name when size is negative).
struct Entry {
    std::wstring path;
    long long size = -1;
};

size_t SizeOf(const Entry& e) {
    const unsigned char first = static_cast<unsigned char>(Contents(e.path, 1)[0]);
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
        if (!WriteWide(root + L"\\" + e.path, Contents(e.path, SizeOf(e))))
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

std::atomic<unsigned> g_job{0};

// Runs a shell script on the host, in folder (a Windows path), with a UTF-8
// locale (the readers turn disc names into the locale's characters).
HostResult RunOnHost(const std::string& folder, const std::string& script,
                     DWORD milliseconds = 120000) {
    const std::string unixFolder = vesko::test::UnixName(folder);
    const std::string tag = "job" + std::to_string(g_job++);
    const std::string body = "export PATH=/usr/bin:/bin LANG=C.UTF-8 LC_ALL=C.UTF-8\ncd '" +
                             unixFolder + "' || exit 1\n( " + script + "\n) > " + tag +
                             ".out 2>&1\necho $? > " + tag + ".tmp && mv " + tag + ".tmp " + tag +
                             ".rc\n";
    HostResult result;
    if (!vesko::test::WriteFileText(folder + "\\" + tag + ".sh", body) ||
        !vesko::test::StartOnHost("Z:\\bin\\sh", "/bin/sh \"" + unixFolder + "/" + tag + ".sh\"")) {
        result.out = "cannot start the host shell";
        return result;
    }
    const std::string rcFile = folder + "\\" + tag + ".rc";
    if (vesko::test::WaitFor([&] { return vesko::test::Exists(rcFile); }, milliseconds))
        result.rc = std::atoi(vesko::test::ReadFileText(rcFile).c_str());
    result.out = vesko::test::ReadFileText(folder + "\\" + tag + ".out");
    return result;
}

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
    for (int i = 0; i < 300; ++i) {
        wchar_t name[64];
        swprintf(name, 64, L"many\\file_%03d_with_a_longer_name.txt", i);
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
    ASSERT_EQ(DiscImage::Create(source, options, image), CD::eOK);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->HasUdf(), row.expectUdf);
    unsigned long long bytes = 0;
    for (const Entry& e : row.entries)
        if (e.path.back() != L'\\')
            bytes += SizeOf(e);
    EXPECT_EQ(image->FileBytes(), bytes);
    const std::string written = WriteImage(*image, root + L"\\image.iso");
    ASSERT_EQ(written, "");

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
        "cmp src.sums x1.sums; echo \"xorriso-contents $?\"\n";
    if (row.jolietExact)
        script += "diff -r src x1; echo \"xorriso-tree $?\"\n";
    script += std::string("7zz x -y ") + (row.expectUdf ? "-tudf" : "-tiso") +
              " -ox2 image.iso > 7z.txt 2>&1; echo \"7zz-extract $?\"\n"
              "chmod -R u+w x2; diff -r src x2; echo \"7zz-tree $?\"\n"
              "rm -rf x1 x2 src\n"
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

}  // namespace
