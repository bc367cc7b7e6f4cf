// A frame on the event socket: the payload's length as 4 bytes little-endian, then the
// MessagePack payload. Header-only and free of the C++ runtime.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace drel::protocol {

inline constexpr size_t kFrameLengthSize = 4;

constexpr void put_frame_length(uint32_t n, unsigned char* out) noexcept {
  out[0] = static_cast<unsigned char>(n & 0xff);
  out[1] = static_cast<unsigned char>((n >> 8) & 0xff);
  out[2] = static_cast<unsigned char>((n >> 16) & 0xff);
  out[3] = static_cast<unsigned char>((n >> 24) & 0xff);
}

constexpr uint32_t frame_length(const unsigned char* in) noexcept {
  return uint32_t{in[0]} | (uint32_t{in[1]} << 8) | (uint32_t{in[2]} << 16) |
         (uint32_t{in[3]} << 24);
}

}  // namespace drel::protocol
