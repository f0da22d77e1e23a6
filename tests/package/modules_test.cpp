// Every module the product ships, as Windows sees it: a version record that
// names the file and the product's version, and the broker's manifest.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <vesko/raii.h>

#include "testsupport.h"

namespace {

// The product's build folder, beside this program's bin-test (where the test
// doubles replace the real dialog libraries).
std::string ProductFolder() {
    return vesko::test::ProgramFolder() + "\\..\\bin\\";
}

std::string VersionText(const std::vector<char>& record, const char* name) {
    char* value = nullptr;
    UINT size = 0;
    const std::string key = std::string("\\StringFileInfo\\040904b0\\") + name;
    if (!VerQueryValueA(record.data(), key.c_str(), reinterpret_cast<void**>(&value), &size) ||
        !value)
        return "(no " + std::string(name) + ")";
    return value;
}

TEST(Modules, EachCarriesAVersionRecordNamingItAndTheProductVersion) {
    const struct {
        const char* file;
        DWORD type;
    } modules[] = {{"veskolib.dll", VFT_DLL},    {"veskolibENU.dll", VFT_DLL},
                   {"veskomfc.dll", VFT_DLL},    {"sysinfolib.dll", VFT_DLL},
                   {"discdatalib.dll", VFT_DLL}, {"discburnlib.dll", VFT_DLL},
                   {"dialoglib.dll", VFT_DLL},   {"reportlib.dll", VFT_DLL},
                   {"veskops.dll", VFT_DLL},     {"veskobroker.exe", VFT_APP}};
    for (const auto& m : modules) {
        SCOPED_TRACE(m.file);
        const std::string path = ProductFolder() + m.file;
        ASSERT_TRUE(vesko::test::Exists(path)) << path;
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
        ASSERT_NE(size, 0u) << "no version record, error " << GetLastError();
        std::vector<char> record(size);
        ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, record.data()));
        EXPECT_EQ(VersionText(record, "OriginalFilename"), m.file);
        EXPECT_EQ(VersionText(record, "FileVersion"), VESKO_VERSION_TEXT);
        EXPECT_EQ(VersionText(record, "ProductVersion"), VESKO_VERSION_TEXT);
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT fixedSize = 0;
        ASSERT_TRUE(
            VerQueryValueA(record.data(), "\\", reinterpret_cast<void**>(&fixed), &fixedSize));
        EXPECT_EQ(fixed->dwFileType, m.type);
    }
}

TEST(Modules, TheBrokersManifestAsksForNoElevationAndNamesWindows7) {
    const std::string path = ProductFolder() + "veskobroker.exe";
    vesko::UniqueModule image(LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(image) << path << ", error " << GetLastError();
    // The manifest the loader reads for an executable: resource 1.
    HRSRC found = FindResourceA(image.Get(), MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(found, nullptr) << "no manifest";
    HGLOBAL loaded = LoadResource(image.Get(), found);
    ASSERT_NE(loaded, nullptr);
    const std::string manifest(static_cast<const char*>(LockResource(loaded)),
                               SizeofResource(image.Get(), found));
    for (const char* part : {"requestedExecutionLevel level=\"asInvoker\"",
                             "supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\""})
        EXPECT_NE(manifest.find(part), std::string::npos) << part << " not in:\n" << manifest;
}

}  // namespace
