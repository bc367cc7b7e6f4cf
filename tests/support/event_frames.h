// Builds MessagePack payloads and frames in any form a sender might use, canonical or not.
#pragma once

#include <msgpuck.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace drel::test {

class Pack {
 public:
  Pack& map(uint32_t n) { return put(mp_sizeof_map(n), [&](char* p) { return mp_encode_map(p, n); }); }
  Pack& array(uint32_t n) {
    return put(mp_sizeof_array(n), [&](char* p) { return mp_encode_array(p, n); });
  }
  Pack& str(std::string_view s) {
    const auto n = static_cast<uint32_t>(s.size());
    return put(mp_sizeof_str(n), [&](char* p) { return mp_encode_str(p, s.data(), n); });
  }
  Pack& bin(std::string_view s) {
    const auto n = static_cast<uint32_t>(s.size());
    return put(mp_sizeof_bin(n), [&](char* p) { return mp_encode_bin(p, s.data(), n); });
  }
  Pack& uint(uint64_t v) { return put(mp_sizeof_uint(v), [&](char* p) { return mp_encode_uint(p, v); }); }
  // Negative values only: that is what this encoder's signed forms are for.
  Pack& sint(int64_t v) { return put(mp_sizeof_int(v), [&](char* p) { return mp_encode_int(p, v); }); }
  Pack& nil() { return raw({0xc0}); }
  Pack& boolean(bool v) { return raw({static_cast<uint8_t>(v ? 0xc3 : 0xc2)}); }
  Pack& float64(double v) {
    return put(mp_sizeof_double(v), [&](char* p) { return mp_encode_double(p, v); });
  }
  Pack& raw(std::initializer_list<uint8_t> bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  Pack& raw(const std::vector<uint8_t>& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
  }

  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  template <typename Encode>
  Pack& put(size_t size, Encode encode) {
    const size_t at = bytes_.size();
    bytes_.resize(at + size);
    encode(reinterpret_cast<char*>(bytes_.data() + at));
    return *this;
  }

  std::vector<uint8_t> bytes_;
};

// The canonical payload a wrapper sends.
inline std::vector<uint8_t> event_payload(std::string_view kind, uint32_t pid, uint32_t tid,
                                          std::string_view path) {
  return Pack()
      .map(4)
      .str("kind").str(kind)
      .str("pid").uint(pid)
      .str("thread_id").uint(tid)
      .str("path").str(path)
      .bytes();
}

// A Rename as the library sends it: the old name under "from", the new one under "path".
inline std::vector<uint8_t> rename_payload(uint32_t pid, uint32_t tid, uint64_t time,
                                           std::string_view from, std::string_view to,
                                           bool exchange = false) {
  return Pack()
      .map(7)
      .str("kind").str("rename")
      .str("pid").uint(pid)
      .str("thread_id").uint(tid)
      .str("time").uint(time)
      .str("exchange").boolean(exchange)
      .str("from").str(from)
      .str("path").str(to)
      .bytes();
}

inline std::vector<uint8_t> frame(const std::vector<uint8_t>& payload) {
  const auto n = static_cast<uint32_t>(payload.size());
  std::vector<uint8_t> out = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                              static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)};
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

}  // namespace drel::test
