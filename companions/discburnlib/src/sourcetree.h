// SourceTree: lists what a disc image is made of through the wide Win32 API
// (names may be any Unicode, paths any length), leaving links out.
#pragma once

#include "cdexpservice.h"
#include "discnode.h"

#include <string>
#include <vector>

class SourceTree {
  public:
    // Lists source (a full path) into nodes: nodes[0] is the disc's root. A
    // folder's contents make the disc; a single file goes onto it under its
    // own name. base is the folder that node paths are relative to, own the
    // source's own name (for a default label).
    static CD::EError List(const std::wstring& source, std::vector<DiscNode>& nodes,
                           std::wstring& base, std::wstring& own);
    // base\...\node's name, in the form that opens paths of any length.
    static std::wstring PathOf(const std::wstring& base, const std::vector<DiscNode>& nodes,
                               uint32_t node);
    // path in the "\\?\" form that lifts the MAX_PATH limit.
    static std::wstring LongPath(const std::wstring& path);
};
