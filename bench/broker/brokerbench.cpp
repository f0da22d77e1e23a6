// The cost of the broker's own work on a call: IFileIOBroker's
// IsDestinationWritable (identity check, path canonicalisation and policy,
// reparse-point walk, audit record) against GetTypeInfoCount on the same
// interface proxy, which crosses to the broker and back and does nothing.
// Rounds alternate between the two so that both see the same machine; the
// median round counts. Needs the broker registered (scripts/register-broker.sh).
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <vesko/raii.h>

#include "sfileio.h"
#include "veskobroker.h"
#include "veskosecurityattributes.h"

namespace {

using Clock = std::chrono::steady_clock;

std::wstring Wide(const char* text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n - 1 : 0), L'\0');
    if (n > 1)
        MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), n);
    return out;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 15;
    const int perRound = 100;
    vesko::ComApartment apartment(COINIT_MULTITHREADED);

    vesko::ComPtr<IFileIOBroker> files;
    const auto activation = Clock::now();
    HRESULT hr = CoCreateInstance(CLSID_Broker, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&files));
    const double startMs =
        std::chrono::duration<double, std::milli>(Clock::now() - activation).count();
    if (FAILED(hr)) {
        std::printf("broker activation failed: 0x%08lX\n", static_cast<unsigned long>(hr));
        return 1;
    }

    VeskoSecurityAttributes attributes;
    attributes.Init();
    SFileIO folders;
    folders.Init(&attributes);
    vesko::UniqueBstr identity(SysAllocString(Wide(attributes.m_strIdentity.GetString()).c_str()));
    const std::wstring target = Wide(folders.GetWritableDir().GetString()) + L"\\bench-out.dcm";
    vesko::UniqueBstr path(SysAllocString(target.c_str()));

    // Both once before timing: first calls set up proxies and caches.
    DWORD code = 0;
    UINT count = 0;
    hr = files->IsDestinationWritable(identity.Get(), path.Get(), &code);
    if (FAILED(hr) || code != 0) {
        std::printf("IsDestinationWritable failed: hr 0x%08lX code %lu\n",
                    static_cast<unsigned long>(hr), code);
        return 1;
    }
    files->GetTypeInfoCount(&count);

    std::vector<double> brokered, bare;
    for (int r = 0; r < rounds; ++r) {
        auto start = Clock::now();
        for (int i = 0; i < perRound; ++i)
            files->GetTypeInfoCount(&count);
        bare.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() /
                       perRound);
        start = Clock::now();
        for (int i = 0; i < perRound; ++i)
            files->IsDestinationWritable(identity.Get(), path.Get(), &code);
        brokered.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() /
                           perRound);
    }
    const double b = Median(brokered), n = Median(bare);
    std::printf("broker activation (cold start)              %9.1f ms\n", startMs);
    std::printf("bare call   IFileIOBroker::GetTypeInfoCount  %9.1f us/call\n", n);
    std::printf("brokered    IFileIOBroker::IsDestinationWritable %5.1f us/call\n", b);
    std::printf("ratio brokered / bare                        %9.2f\n", b / n);
    std::printf("(%d rounds of %d calls each, medians)\n", rounds, perRound);
    return 0;
}
