#include "imagerecorder.h"

#include "discimage.h"
#include "discimagereader.h"
#include "discpath.h"
#include "recorderjob.h"

#include <vesko/raii.h>

#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr unsigned long long kCdSectors = 360000;

bool IsAllZero(const char* data, size_t size) {
    size_t i = 0;
    for (; i + sizeof(uint64_t) <= size; i += sizeof(uint64_t)) {
        uint64_t word;
        std::memcpy(&word, data + i, sizeof word);
        if (word)
            return false;
    }
    for (; i < size; ++i)
        if (data[i])
            return false;
    return true;
}

// Streams image into file, leaving all-zero chunks as holes.
CD::EError WriteImage(DiscImage& image, HANDLE file, RecorderJob& job) {
    job.BeginProgress(CD::eProgressBurn, image.ByteCount());
    // Holes need the sparse attribute on NTFS; elsewhere seeking past the end
    // makes them. Where neither works the zeros are simply written out.
    DWORD returned = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    std::vector<char> buffer(static_cast<size_t>(job.Step()));
    for (;;) {
        const CD::EError interruption = job.Interruption();
        if (interruption != CD::eOK)
            return interruption;
        size_t read = 0;
        if (!image.Read(buffer.data(), buffer.size(), read))
            return CD::eSourceNotFound;
        if (read == 0)
            break;
        if (IsAllZero(buffer.data(), read)) {
            LARGE_INTEGER distance;
            distance.QuadPart = static_cast<LONGLONG>(read);
            if (!SetFilePointerEx(file, distance, nullptr, FILE_CURRENT))
                return CD::eWriteFailed;
        } else {
            DWORD written = 0;
            if (!WriteFile(file, buffer.data(), static_cast<DWORD>(read), &written, nullptr) ||
                written != read)
                return CD::eWriteFailed;
        }
        job.Advance(read, buffer.size());
        const CD::EError paced = job.Pace(read);
        if (paced != CD::eOK)
            return paced;
    }
    // A trailing hole still counts towards the size.
    return SetEndOfFile(file) ? CD::eOK : CD::eWriteFailed;
}

// Reads the written image back through the independent reader and compares
// every file with its source.
CD::EError VerifyImage(const std::string& image, const std::string& source,
                       unsigned long long fileBytes, RecorderJob& job) {
    job.BeginProgress(CD::eProgressVerify, fileBytes);
    DiscImageReader reader;
    if (!reader.Open(discpath::Wide(image)))
        return CD::eWriteFailed;
    CD::EError interruption = CD::eOK;
    std::wstring difference;
    const auto outcome = reader.CompareWithSource(
        discpath::Wide(source), static_cast<size_t>(job.Step()),
        [&](unsigned long long bytes, unsigned long long next) {
            job.Advance(bytes, next);
            interruption = job.Interruption();
            return interruption == CD::eOK;
        },
        difference);
    switch (outcome) {
        case DiscImageReader::Outcome::kSame:
            return CD::eOK;
        case DiscImageReader::Outcome::kStopped:
            return interruption != CD::eOK ? interruption : CD::eWriteFailed;
        case DiscImageReader::Outcome::kSourceUnreadable:
            return CD::eSourceNotFound;
        default:
            return CD::eWriteFailed;
    }
}

}  // namespace

ImageRecorder::ImageRecorder(const CDExpManager::Drive& drive) : m_drive(drive) {}

unsigned long long ImageRecorder::CapacitySectors() const {
    return m_drive.capacity / DiscImage::kSectorSize;
}

bool ImageRecorder::WantsUdf() const {
    return CapacitySectors() > kCdSectors;
}

bool ImageRecorder::IsWritten() const {
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!GetFileAttributesExA(m_drive.folder.c_str(), GetFileExInfoStandard, &info))
        return false;
    return info.nFileSizeHigh != 0 || info.nFileSizeLow != 0;
}

CD::EError ImageRecorder::Validate() {
    const std::string& path = m_drive.folder;
    const size_t slash = path.find_last_of("\\/");
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    if (!discpath::IsFolder(folder.size() == 2 && folder[1] == ':' ? folder + "\\" : folder))
        return CD::eInvalidDrive;
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? CD::eOK : CD::eInvalidDrive;
    // A folder of that name, or a link to a file elsewhere, is no disc.
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
        return CD::eInvalidDrive;
    if (discpath::IsLinkedFile(folder, path.substr(slash + 1)))
        return CD::eInvalidDrive;
    return CD::eOK;
}

CD::EError ImageRecorder::FreeBytes(unsigned long long& free) {
    const unsigned long long overhead = DiscImage::EmptySectorCount(WantsUdf());
    const unsigned long long sectors = CapacitySectors();
    free = IsWritten() || sectors <= overhead ? 0 : (sectors - overhead) * DiscImage::kSectorSize;
    return CD::eOK;
}

CD::EError ImageRecorder::Burn(const std::string& source, bool verify, RecorderJob& job) {
    const std::string target = discpath::FullPath(m_drive.folder);
    // The image (and its temporary file) would end up inside its own source.
    if (discpath::IsWithin(target, source))
        return CD::eNotSupported;
    if (IsWritten())
        return CD::eMediaNotBlank;

    DiscImageOptions options;
    options.udf = WantsUdf();
    std::unique_ptr<DiscImage> image;
    const CD::EError laid = DiscImage::Create(discpath::Wide(source), options, image);
    if (laid != CD::eOK)
        return laid;
    if (image->SectorCount() > CapacitySectors())
        return CD::eNoSpace;

    std::string temporary;
    vesko::UniqueHandle file =
        discpath::CreateTemporary(target, GENERIC_READ | GENERIC_WRITE, temporary);
    if (!file || file.Get() == INVALID_HANDLE_VALUE)
        return CD::eWriteFailed;
    CD::EError result = WriteImage(*image, file.Get(), job);
    file.Reset();
    if (result == CD::eOK && verify)
        result = VerifyImage(temporary, source, image->FileBytes(), job);
    if (result == CD::eOK) {
        // A blank disc may be an empty file of that name.
        SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (MoveFileExA(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
            return CD::eOK;
        result = CD::eWriteFailed;
    }
    DeleteFileA(temporary.c_str());
    return result;
}

CD::EError ImageRecorder::Erase(bool full, RecorderJob& job) {
    if (m_drive.writeOnce)
        return CD::eNotSupported;
    WIN32_FILE_ATTRIBUTE_DATA info{};
    const bool exists =
        GetFileAttributesExA(m_drive.folder.c_str(), GetFileExInfoStandard, &info) != 0;
    const unsigned long long size =
        exists ? (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow
               : 0;
    if (full)
        job.BeginProgress(CD::eProgressErase, size);
    const CD::EError interruption = job.Interruption();
    if (interruption != CD::eOK)
        return interruption;
    if (exists) {
        SetFileAttributesA(m_drive.folder.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!DeleteFileA(m_drive.folder.c_str()))
            return CD::eWriteFailed;
    }
    job.Advance(size, 0);
    return CD::eOK;
}
