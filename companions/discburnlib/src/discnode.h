// One file or folder of a disc image's tree: what the source listing found
// and where each of the image's file systems puts it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct DiscNode {
    std::wstring name;  // the source's own name; "" for the disc's root
    uint32_t parent = 0;
    bool folder = false;
    uint64_t size = 0;               // bytes of a file's data
    std::vector<uint32_t> children;  // in the source's ordinal name order

    // ISO 9660 primary tree: "NAME.EXT;1" for a file, "NAME" for a folder.
    std::string isoName;
    std::vector<uint32_t> isoOrder;  // children sorted as the tree records them
    uint32_t isoDir = 0, isoDirBytes = 0, isoNumber = 0;
    // Joliet tree: the name in UTF-16 (up to 64 units).
    std::u16string jolietName;
    std::vector<uint32_t> jolietOrder;
    uint32_t jolietDir = 0, jolietDirBytes = 0, jolietNumber = 0;
    // UDF bridge: the file entry's sector and a folder's identifiers.
    uint32_t udfEntry = 0, udfDir = 0, udfDirBytes = 0;
    // First sector of a file's data (0 for an empty file).
    uint32_t data = 0;
};
