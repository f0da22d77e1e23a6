#include "discimage.h"

#include "disclayout.h"
#include "discimagestream.h"
#include "sourcetree.h"

namespace {

FILETIME RecordingTime(const FILETIME& given) {
    if (given.dwLowDateTime != 0 || given.dwHighDateTime != 0)
        return given;
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return now;
}

}  // namespace

CD::EError DiscImage::Create(const std::wstring& source, const DiscImageOptions& options,
                             std::unique_ptr<DiscImage>& image) {
    image.reset();
    std::vector<DiscNode> nodes;
    std::wstring base, own;
    CD::EError result = SourceTree::List(source, nodes, base, own);
    if (result != CD::eOK)
        return result;
    DiscLayout layout;
    const std::wstring label = options.label.empty() ? own : options.label;
    result = layout.Build(std::move(nodes), std::move(base), label, RecordingTime(options.recorded),
                          options.udf);
    if (result != CD::eOK)
        return result;
    image = std::make_unique<DiscImageStream>(std::move(layout));
    return CD::eOK;
}

unsigned long long DiscImage::EmptySectorCount(bool udf) {
    DiscLayout layout;
    std::vector<DiscNode> nodes(1);
    nodes[0].folder = true;
    const FILETIME any{};
    if (layout.Build(std::move(nodes), L"", L"", any, udf) != CD::eOK)
        return 0;
    return layout.Sectors();
}
