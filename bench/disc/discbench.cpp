// Disc export: writing a CD-sized study (650 MB in 650 files) into a disc
// image against copying the same tree onto the virtual recorder's folder,
// both through CDExpManager, and against a bare CopyFile of every file.
// Rounds alternate between the sides so that all see the same machine; the
// median round counts.
#include <windows.h>

#include <cdexpmanager.h>
#include <cdresult.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSeries = 10;
constexpr int kFilesPerSeries = 65;
constexpr size_t kFileBytes = 1000 * 1000;
constexpr int kRounds = 3;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Waits for a job's end and keeps its result.
class JobEnd : public Observer {
  public:
    void OnEvent(Observable*, unsigned int id, void* data) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (id == 5)
            m_result = static_cast<const CDResult*>(data)->GetSecond();
        if (id == 6) {
            m_done = true;
            m_changed.notify_all();
        }
    }
    unsigned long Wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_done; });
        m_done = false;
        return m_result;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_done = false;
    unsigned long m_result = ~0ul;
};

void RemoveTree(const std::string& path) {
    WIN32_FIND_DATAA fd;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = fd.cFileName;
            if (name == "." || name == "..")
                continue;
            const std::string child = path + "\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                DeleteFileA(child.c_str());
        } while (FindNextFileA(find, &fd));
        FindClose(find);
    }
    RemoveDirectoryA(path.c_str());
}

bool MakeStudy(const std::string& root) {
    CreateDirectoryA(root.c_str(), nullptr);
    std::vector<char> data(kFileBytes);
    for (int s = 0; s < kSeries; ++s) {
        const std::string series = root + "\\SERIES" + std::to_string(s);
        CreateDirectoryA(series.c_str(), nullptr);
        for (int f = 0; f < kFilesPerSeries; ++f) {
            // Pixel-like data, different in every file: nothing to skip.
            for (size_t i = 0; i < data.size(); ++i)
                data[i] = static_cast<char>((i * 31 + f * 7 + s) & 0xFF);
            HANDLE h = CreateFileA((series + "\\IM" + std::to_string(f) + ".dcm").c_str(),
                                   GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            DWORD written = 0;
            const bool ok =
                h != INVALID_HANDLE_VALUE &&
                WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
                written == data.size();
            if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
            if (!ok)
                return false;
        }
    }
    return true;
}

bool CopyTree(const std::string& from, const std::string& to) {
    CreateDirectoryA(to.c_str(), nullptr);
    WIN32_FIND_DATAA fd;
    HANDLE find = FindFirstFileA((from + "\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    bool ok = true;
    do {
        const std::string name = fd.cFileName;
        if (name == "." || name == "..")
            continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ok &= CopyTree(from + "\\" + name, to + "\\" + name);
        else
            ok &= CopyFileA((from + "\\" + name).c_str(), (to + "\\" + name).c_str(), FALSE) != 0;
    } while (FindNextFileA(find, &fd));
    FindClose(find);
    return ok;
}

}  // namespace

int main() {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string base =
        std::string(temp) + "vesko-discbench-" + std::to_string(GetCurrentProcessId());
    const std::string study = base + "\\study", folder = base + "\\disc",
                      image = base + "\\study.iso", copy = base + "\\copy";
    CreateDirectoryA(base.c_str(), nullptr);
    if (!MakeStudy(study)) {
        std::printf("could not write the study under %s\n", base.c_str());
        return 1;
    }
    const double megabytes = kSeries * kFilesPerSeries * kFileBytes / 1e6;
    std::printf("study: %d files, %.0f MB\n", kSeries * kFilesPerSeries, megabytes);

    CDExpManager manager;
    JobEnd end;
    manager.AddObserver(&end);
    const auto burn = [&](const std::string& drive) {
        manager.SetDrive(drive.c_str());
        const auto start = Clock::now();
        manager.StartBurn(study.c_str(), false);
        const unsigned long result = end.Wait();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        return result == CD::eOK ? seconds : -1.0;
    };
    std::vector<double> imageTimes, folderTimes, copyTimes;
    bool failed = false;
    for (int round = 0; round < kRounds && !failed; ++round) {
        DeleteFileA(image.c_str());
        RemoveTree(folder);
        RemoveTree(copy);
        CreateDirectoryA(folder.c_str(), nullptr);
        imageTimes.push_back(burn(image + "?cd"));
        folderTimes.push_back(burn(folder + "?cd"));
        const auto start = Clock::now();
        failed = !CopyTree(study, copy);
        copyTimes.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        failed |= imageTimes.back() < 0 || folderTimes.back() < 0;
        std::printf("round %d: image %.2f s, recorder folder %.2f s, CopyFile %.2f s\n", round + 1,
                    imageTimes.back(), folderTimes.back(), copyTimes.back());
    }
    manager.RemoveObserver(&end);
    RemoveTree(base);
    if (failed) {
        std::printf("a burn or copy failed\n");
        return 1;
    }
    const double i = Median(imageTimes), f = Median(folderTimes), c = Median(copyTimes);
    std::printf(
        "image writing %.0f MB/s; image against the recorder's folder copy: %.2fx (aim "
        "<= 1.2x); against CopyFile: %.2fx\n",
        megabytes / i, i / f, i / c);
    return 0;
}
