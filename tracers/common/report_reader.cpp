#include "report_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string_view>

#include "common/unique_fd.h"
#include "common/utf8.h"

namespace drel {
namespace {

// Thrown inside this file only; decode_report turns it into an Error.
struct Malformed {
  std::string message;
};

[[noreturn]] void fail(std::string message) { throw Malformed{std::move(message)}; }

// The place being read, e.g. processes[3].env["HOME"]; only rendered for an error message, so
// decoding a large report builds no strings for it.
struct Where {
  enum Kind { kRoot, kField, kIndex, kEnvValue, kKey } kind = kRoot;
  const Where* parent = nullptr;
  std::string_view name;
  uint32_t index = 0;

  Where field(std::string_view n) const { return {kField, this, n, 0}; }
  Where at(uint32_t i) const { return {kIndex, this, {}, i}; }
  Where env_value(std::string_view n) const { return {kEnvValue, this, n, 0}; }
  Where key() const { return {kKey, this, {}, 0}; }

  std::string str() const {
    switch (kind) {
      case kRoot: return "report";
      case kField:
        return parent->kind == kRoot ? std::string(name) : parent->str() + "." + std::string(name);
      case kIndex: return parent->str() + "[" + std::to_string(index) + "]";
      case kEnvValue: return parent->str() + "[\"" + std::string(name) + "\"]";
      case kKey: return parent->str() + " key";
    }
    return {};
  }
};

const char* kind_of(uint8_t b) {
  if (b <= 0x7f || (b >= 0xcc && b <= 0xcf)) return "unsigned integer";
  if (b >= 0xe0 || (b >= 0xd0 && b <= 0xd3)) return "integer";
  if (b <= 0x8f || b == 0xde || b == 0xdf) return "map";
  if (b <= 0x9f || b == 0xdc || b == 0xdd) return "array";
  if (b <= 0xbf || (b >= 0xd9 && b <= 0xdb)) return "string";
  switch (b) {
    case 0xc0: return "nil";
    case 0xc1: return "the never-used byte 0xc1";
    case 0xc2:
    case 0xc3: return "boolean";
    case 0xc4:
    case 0xc5:
    case 0xc6: return "binary";
    case 0xca:
    case 0xcb: return "float";
    default: return "extension";
  }
}

// Reads MessagePack values with a bounds check before every access.
class Cursor {
 public:
  Cursor(const uint8_t* p, const uint8_t* end) : p_(p), end_(end) {}

  size_t remaining() const { return static_cast<size_t>(end_ - p_); }

  uint8_t peek(const Where& w) const {
    if (p_ == end_) fail("truncated: input ends where " + w.str() + " should be");
    return *p_;
  }

  bool take_nil(const Where& w) {
    if (peek(w) != 0xc0) return false;
    ++p_;
    return true;
  }

  uint64_t read_uint(const Where& w) {
    const uint8_t b = peek(w);
    if (b <= 0x7f) return take(1, w), b;
    switch (b) {
      case 0xcc: return load(1, w);
      case 0xcd: return load(2, w);
      case 0xce: return load(4, w);
      case 0xcf: return load(8, w);
      case 0xd0:
      case 0xd1:
      case 0xd2:
      case 0xd3: {
        const int64_t v = read_signed(w);
        if (v < 0) fail(w.str() + ": expected an unsigned integer, found " + std::to_string(v));
        return static_cast<uint64_t>(v);
      }
      default:
        if (b >= 0xe0) fail(w.str() + ": expected an unsigned integer, found a negative integer");
        wrong(w, "an unsigned integer", b);
    }
  }

  uint32_t read_u32(const Where& w) {
    const uint64_t v = read_uint(w);
    if (v > std::numeric_limits<uint32_t>::max())
      fail(w.str() + ": " + std::to_string(v) + " does not fit in 32 bits");
    return static_cast<uint32_t>(v);
  }

  double read_double(const Where& w) {
    const uint8_t b = peek(w);
    if (b == 0xcb) {
      const uint64_t bits = load(8, w);
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return d;
    }
    if (b == 0xca) {
      const auto bits = static_cast<uint32_t>(load(4, w));
      float f;
      std::memcpy(&f, &bits, sizeof f);
      return f;
    }
    if (b >= 0xe0 || (b >= 0xd0 && b <= 0xd3)) return static_cast<double>(read_signed(w));
    if (b <= 0x7f || (b >= 0xcc && b <= 0xcf)) return static_cast<double>(read_uint(w));
    wrong(w, "a number", b);
  }

  bool read_bool(const Where& w) {
    const uint8_t b = peek(w);
    if (b != 0xc2 && b != 0xc3) wrong(w, "a boolean", b);
    ++p_;
    return b == 0xc3;
  }

  std::string read_str(const Where& w) { return std::string(read_text(w)); }

  // A string's bytes in the input, checked to be UTF-8.
  std::string_view read_text(const Where& w) {
    const uint8_t b = peek(w);
    size_t len;
    if (b >= 0xa0 && b <= 0xbf) {
      ++p_;
      len = b & 0x1f;
    } else if (b == 0xd9) {
      len = load(1, w);
    } else if (b == 0xda) {
      len = load(2, w);
    } else if (b == 0xdb) {
      len = load(4, w);
    } else {
      wrong(w, "a string", b);
    }
    if (len > remaining())
      fail("truncated: " + w.str() + " claims " + std::to_string(len) + " bytes, " +
           std::to_string(remaining()) + " remain");
    std::string_view s(reinterpret_cast<const char*>(p_), len);
    p_ += len;
    if (!is_valid_utf8(s)) fail(w.str() + ": string is not valid UTF-8");
    return s;
  }

  uint32_t read_array(const Where& w) {
    const uint8_t b = peek(w);
    uint64_t n;
    if (b >= 0x90 && b <= 0x9f) {
      ++p_;
      n = b & 0x0f;
    } else if (b == 0xdc) {
      n = load(2, w);
    } else if (b == 0xdd) {
      n = load(4, w);
    } else {
      wrong(w, "an array", b);
    }
    // Every element needs at least one byte: a larger count cannot be real.
    if (n > remaining())
      fail("truncated: " + w.str() + " claims " + std::to_string(n) + " elements, " +
           std::to_string(remaining()) + " bytes remain");
    return static_cast<uint32_t>(n);
  }

  uint32_t read_map(const Where& w) {
    const uint8_t b = peek(w);
    uint64_t n;
    if (b >= 0x80 && b <= 0x8f) {
      ++p_;
      n = b & 0x0f;
    } else if (b == 0xde) {
      n = load(2, w);
    } else if (b == 0xdf) {
      n = load(4, w);
    } else {
      wrong(w, "a map", b);
    }
    if (n * 2 > remaining())
      fail("truncated: " + w.str() + " claims " + std::to_string(n) + " entries, " +
           std::to_string(remaining()) + " bytes remain");
    return static_cast<uint32_t>(n);
  }

 private:
  [[noreturn]] static void wrong(const Where& w, const char* expected, uint8_t b) {
    fail(w.str() + ": expected " + expected + ", found " + kind_of(b));
  }

  void take(size_t n, const Where& w) {
    if (n > remaining()) fail("truncated: input ends inside " + w.str());
    p_ += n;
  }

  // Skips the type byte and returns the big-endian payload of `size` bytes after it.
  uint64_t load(size_t size, const Where& w) {
    if (size + 1 > remaining()) fail("truncated: input ends inside " + w.str());
    uint64_t v = 0;
    for (size_t i = 1; i <= size; ++i) v = (v << 8) | p_[i];
    p_ += size + 1;
    return v;
  }

  int64_t read_signed(const Where& w) {
    const uint8_t b = peek(w);
    if (b >= 0xe0) return take(1, w), static_cast<int8_t>(b);
    switch (b) {
      case 0xd0: return static_cast<int8_t>(load(1, w));
      case 0xd1: return static_cast<int16_t>(load(2, w));
      case 0xd2: return static_cast<int32_t>(load(4, w));
      default: return static_cast<int64_t>(load(8, w));
    }
  }

  const uint8_t* p_;
  const uint8_t* end_;
};

// Reads one record: its keys must come from `names` (by index), each at most once; `field`
// reads the value of key number i. Returns the set of keys seen as a bit mask.
template <size_t N, typename Field>
uint32_t read_record(Cursor& c, const Where& w, const std::array<std::string_view, N>& names,
                     Field&& field) {
  static_assert(N <= 32);
  uint32_t seen = 0;
  const uint32_t n = c.read_map(w);
  for (uint32_t i = 0; i < n; ++i) {
    const std::string_view key = c.read_text(w.key());
    size_t k = 0;
    while (k < N && names[k] != key) ++k;
    if (k == N) fail(w.str() + ": unknown key \"" + std::string(key) + "\"");
    if (seen & (1u << k)) fail(w.str() + ": duplicate key \"" + std::string(key) + "\"");
    seen |= 1u << k;
    field(k, w.field(names[k]));
  }
  return seen;
}

template <size_t N>
void require(const Where& w, const std::array<std::string_view, N>& names, uint32_t seen,
             uint32_t required) {
  for (size_t k = 0; k < N; ++k)
    if ((required & (1u << k)) && !(seen & (1u << k)))
      fail(w.str() + ": missing key \"" + std::string(names[k]) + "\"");
}

std::vector<std::string> read_strings(Cursor& c, const Where& w) {
  const uint32_t n = c.read_array(w);
  std::vector<std::string> out;
  out.reserve(n);
  for (uint32_t i = 0; i < n; ++i) out.push_back(c.read_str(w.at(i)));
  return out;
}

template <typename Int>
std::vector<Int> read_uints(Cursor& c, const Where& w) {
  const uint32_t n = c.read_array(w);
  std::vector<Int> out;
  out.reserve(n);
  for (uint32_t i = 0; i < n; ++i) {
    if constexpr (sizeof(Int) == 4) {
      out.push_back(c.read_u32(w.at(i)));
    } else {
      out.push_back(c.read_uint(w.at(i)));
    }
  }
  return out;
}

EnvMap read_env(Cursor& c, const Where& w) {
  const uint32_t n = c.read_map(w);
  EnvMap env;
  env.reserve(n);
  for (uint32_t i = 0; i < n; ++i) {
    std::string name = c.read_str(w.key());
    std::string value = c.read_str(w.env_value(name));
    if (!env.emplace(name, std::move(value)).second)
      fail(w.str() + ": duplicate key \"" + name + "\"");
  }
  return env;
}

constexpr std::array<std::string_view, 4> kProcessKeys = {"pid", "parent_pid", "command", "env"};

ProcessRecord read_process(Cursor& c, const Where& w) {
  ProcessRecord p;
  const uint32_t seen = read_record(c, w, kProcessKeys, [&](size_t k, const Where& at) {
    switch (k) {
      case 0: p.pid = c.read_u32(at); break;
      case 1:
        if (!c.take_nil(at)) p.parent_pid = c.read_u32(at);
        break;
      case 2: p.command = read_strings(c, at); break;
      case 3: p.env = read_env(c, at); break;
    }
  });
  require(w, kProcessKeys, seen, 0b1111);
  return p;
}

constexpr std::array<std::string_view, 7> kFileKeys = {
    "path", "read", "written", "read_threads", "written_threads", "chunks_read", "chunks_written"};

FileRecord read_file_record(Cursor& c, const Where& w) {
  FileRecord f;
  const uint32_t seen = read_record(c, w, kFileKeys, [&](size_t k, const Where& at) {
    switch (k) {
      case 0: f.path = c.read_str(at); break;
      case 1: f.read = c.read_bool(at); break;
      case 2: f.written = c.read_bool(at); break;
      case 3: f.read_threads = read_uints<uint32_t>(c, at); break;
      case 4: f.written_threads = read_uints<uint32_t>(c, at); break;
      case 5: f.chunks_read = read_uints<uint64_t>(c, at); break;
      case 6: f.chunks_written = read_uints<uint64_t>(c, at); break;
    }
  });
  require(w, kFileKeys, seen, 0b111);
  return f;
}

constexpr std::array<std::string_view, 12> kReportKeys = {
    "version",       "chunk_size",   "processes",  "files",    "opened_files", "read_files",
    "written_files", "env_accessed", "start_time", "end_time", "tracer_mode",  "events_dropped"};

TraceReport read_report(Cursor& c) {
  const Where root;
  TraceReport r;
  const uint32_t seen = read_record(c, root, kReportKeys, [&](size_t k, const Where& at) {
    switch (k) {
      case 0: {
        const uint64_t v = c.read_uint(at);
        if (v != REPORT_VERSION) fail("unsupported report version " + std::to_string(v));
        r.version = static_cast<uint32_t>(v);
        break;
      }
      case 1: r.chunk_size = c.read_uint(at); break;
      case 2: {
        const uint32_t count = c.read_array(at);
        r.processes.reserve(count);
        for (uint32_t i = 0; i < count; ++i) r.processes.push_back(read_process(c, at.at(i)));
        break;
      }
      case 3: {
        const uint32_t count = c.read_array(at);
        r.files.reserve(count);
        for (uint32_t i = 0; i < count; ++i) r.files.push_back(read_file_record(c, at.at(i)));
        break;
      }
      case 4: r.opened_files = read_strings(c, at); break;
      case 5: r.read_files = read_strings(c, at); break;
      case 6: r.written_files = read_strings(c, at); break;
      case 7: r.env_accessed = read_env(c, at); break;
      case 8: r.start_time = c.read_double(at); break;
      case 9: r.end_time = c.read_double(at); break;
      case 10: r.tracer_mode = c.read_str(at); break;
      case 11: r.events_dropped = c.read_uint(at); break;
    }
  });
  // version, processes, files, start_time, end_time, tracer_mode
  require(root, kReportKeys, seen, 1u << 0 | 1u << 2 | 1u << 3 | 1u << 8 | 1u << 9 | 1u << 10);
  return r;
}

}  // namespace

Result<TraceReport> decode_report(std::span<const uint8_t> bytes) {
  try {
    Cursor c(bytes.data(), bytes.data() + bytes.size());
    if (bytes.empty()) fail("empty input");
    TraceReport r = read_report(c);
    if (c.remaining() != 0)
      fail(std::to_string(c.remaining()) + " trailing bytes after the report");
    return r;
  } catch (const Malformed& m) {
    return Error(m.message);
  } catch (const std::bad_alloc&) {
    return Error("out of memory");
  } catch (const std::length_error&) {
    return Error("out of memory");
  }
}

Result<std::vector<uint8_t>> read_report_bytes(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return Error::os(errno);
  std::vector<uint8_t> bytes;
  uint8_t buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::os(errno);
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), buf, buf + n);
  }
  return bytes;
}

Result<TraceReport> read_report_file(const std::string& path) {
  auto bytes = read_report_bytes(path);
  if (!bytes) return std::move(bytes).error();
  auto report = decode_report(*bytes);
  if (!report) return std::move(report).error().context("not a valid trace report");
  return report;
}

}  // namespace drel
