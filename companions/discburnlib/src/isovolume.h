// IsoVolume: the sectors of the ISO 9660 primary tree and its Joliet twin
// (volume descriptors, path tables, directories), made from a DiscLayout on
// demand.
#pragma once

#include "discbytes.h"
#include "disclayout.h"

#include <cstdint>
#include <vector>

class IsoVolume {
  public:
    explicit IsoVolume(const DiscLayout& layout) : m_layout(layout) {}
    // Writes the window's part of the region (bytes counted from the
    // region's start) into window.out, which the caller zeroed.
    void Write(const DiscLayout::Region& region, const discbytes::Window& window) const;

  private:
    void Descriptor(bool joliet, uint8_t* out) const;
    void PathTable(bool joliet, bool bigEndian, const discbytes::Window& window) const;
    void Directory(uint32_t folder, bool joliet, const discbytes::Window& window) const;
    // One directory record; returns its length.
    uint32_t Record(uint8_t* out, uint32_t extent, uint32_t bytes, uint8_t flags, const uint8_t* id,
                    size_t idBytes) const;
    void Date7(uint8_t* out) const;
    void Date17(uint8_t* out) const;

    const DiscLayout& m_layout;
};
