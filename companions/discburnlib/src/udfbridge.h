// UdfBridge: the sectors of the UDF 1.02 file system that shares an image
// with the ISO 9660 trees (and their file data): recognition sequence,
// anchors, volume descriptor sequences, integrity, file set, file entries and
// folders' file identifiers, made from a DiscLayout on demand.
#pragma once

#include "discbytes.h"
#include "disclayout.h"

#include <cstdint>

class UdfBridge {
  public:
    explicit UdfBridge(const DiscLayout& layout) : m_layout(layout) {}
    // Writes the window's part of the region (bytes counted from the
    // region's start) into window.out, which the caller zeroed; folders'
    // identifiers come a window at a time, the other parts whole, and of
    // UdfEntries only the one sector of node's file entry.
    void Write(const DiscLayout::Region& region, uint32_t node,
               const discbytes::Window& window) const;

  private:
    void VolumeSequence(uint32_t first, uint8_t* out) const;
    void Integrity(uint32_t sector, uint8_t* out) const;
    void FileSet(uint8_t* out) const;
    void Entry(uint32_t node, uint8_t* out) const;
    void Identifiers(uint32_t folder, const discbytes::Window& window) const;
    void Time(uint8_t* out) const;
    uint32_t Block(uint32_t sector) const { return sector - m_layout.PartitionStart(); }

    const DiscLayout& m_layout;
};
