// Little helpers that put numbers and texts into on-disc byte layouts: the
// disc formats store numbers little endian, big endian or both ("both-byte
// order" fields, which readers on either kind of machine take as they are).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace discbytes {

inline void Le16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Be16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void Le32(uint8_t* p, uint32_t v) {
    Le16(p, v & 0xFFFF);
    Le16(p + 2, v >> 16);
}
inline void Be32(uint8_t* p, uint32_t v) {
    Be16(p, v >> 16);
    Be16(p + 2, v & 0xFFFF);
}
inline void Le64(uint8_t* p, uint64_t v) {
    Le32(p, static_cast<uint32_t>(v));
    Le32(p + 4, static_cast<uint32_t>(v >> 32));
}
inline void Both16(uint8_t* p, uint32_t v) {
    Le16(p, v);
    Be16(p + 2, v);
}
inline void Both32(uint8_t* p, uint32_t v) {
    Le32(p, v);
    Be32(p + 4, v);
}
// An ASCII text padded with pad to size bytes (cut when longer).
inline void Text(uint8_t* p, size_t size, const std::string& text, uint8_t pad = ' ') {
    for (size_t i = 0; i < size; ++i)
        p[i] = i < text.size() ? static_cast<uint8_t>(text[i]) : pad;
}
// UCS-2 big endian, padded with spaces to size bytes.
inline void Ucs2Text(uint8_t* p, size_t size, const std::u16string& text) {
    for (size_t i = 0; i + 1 < size; i += 2)
        Be16(p + i, i / 2 < text.size() ? text[i / 2] : u' ');
}

}  // namespace discbytes
