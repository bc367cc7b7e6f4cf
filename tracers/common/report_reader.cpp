#include "report_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <set>
#include <stdexcept>

#include "common/unique_fd.h"
#include "common/utf8.h"

namespace drel {
namespace {

// Thrown inside this file only; decode_report turns it into an Error.
struct Malformed {
  std::string message;
};

[[noreturn]] void fail(std::string message) { throw Malformed{std::move(message)}; }

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

  uint8_t peek(const std::string& where) const {
    if (p_ == end_) fail("truncated: input ends where " + where + " should be");
    return *p_;
  }

  bool take_nil(const std::string& where) {
    if (peek(where) != 0xc0) return false;
    ++p_;
    return true;
  }

  uint64_t read_uint(const std::string& where) {
    const uint8_t b = peek(where);
    if (b <= 0x7f) return take(1, where), b;
    switch (b) {
      case 0xcc: return load(1, where);
      case 0xcd: return load(2, where);
      case 0xce: return load(4, where);
      case 0xcf: return load(8, where);
      case 0xd0:
      case 0xd1:
      case 0xd2:
      case 0xd3: {
        const int64_t v = read_signed(where);
        if (v < 0) fail(where + ": expected an unsigned integer, found " + std::to_string(v));
        return static_cast<uint64_t>(v);
      }
      default:
        if (b >= 0xe0) fail(where + ": expected an unsigned integer, found a negative integer");
        wrong(where, "an unsigned integer", b);
    }
  }

  uint32_t read_u32(const std::string& where) {
    const uint64_t v = read_uint(where);
    if (v > std::numeric_limits<uint32_t>::max())
      fail(where + ": " + std::to_string(v) + " does not fit in 32 bits");
    return static_cast<uint32_t>(v);
  }

  double read_double(const std::string& where) {
    const uint8_t b = peek(where);
    if (b == 0xcb) {
      const uint64_t bits = load(8, where);
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return d;
    }
    if (b == 0xca) {
      const auto bits = static_cast<uint32_t>(load(4, where));
      float f;
      std::memcpy(&f, &bits, sizeof f);
      return f;
    }
    if (b >= 0xe0 || (b >= 0xd0 && b <= 0xd3)) return static_cast<double>(read_signed(where));
    if (b <= 0x7f || (b >= 0xcc && b <= 0xcf)) return static_cast<double>(read_uint(where));
    wrong(where, "a number", b);
  }

  bool read_bool(const std::string& where) {
    const uint8_t b = peek(where);
    if (b != 0xc2 && b != 0xc3) wrong(where, "a boolean", b);
    ++p_;
    return b == 0xc3;
  }

  std::string read_str(const std::string& where) {
    const uint8_t b = peek(where);
    size_t len;
    if (b >= 0xa0 && b <= 0xbf) {
      ++p_;
      len = b & 0x1f;
    } else if (b == 0xd9) {
      len = load(1, where);
    } else if (b == 0xda) {
      len = load(2, where);
    } else if (b == 0xdb) {
      len = load(4, where);
    } else {
      wrong(where, "a string", b);
    }
    if (len > remaining())
      fail("truncated: " + where + " claims " + std::to_string(len) + " bytes, " +
           std::to_string(remaining()) + " remain");
    std::string s(reinterpret_cast<const char*>(p_), len);
    p_ += len;
    if (!is_valid_utf8(s)) fail(where + ": string is not valid UTF-8");
    return s;
  }

  uint32_t read_array(const std::string& where) {
    const uint8_t b = peek(where);
    uint64_t n;
    if (b >= 0x90 && b <= 0x9f) {
      ++p_;
      n = b & 0x0f;
    } else if (b == 0xdc) {
      n = load(2, where);
    } else if (b == 0xdd) {
      n = load(4, where);
    } else {
      wrong(where, "an array", b);
    }
    // Every element needs at least one byte: a larger count cannot be real.
    if (n > remaining())
      fail("truncated: " + where + " claims " + std::to_string(n) + " elements, " +
           std::to_string(remaining()) + " bytes remain");
    return static_cast<uint32_t>(n);
  }

  uint32_t read_map(const std::string& where) {
    const uint8_t b = peek(where);
    uint64_t n;
    if (b >= 0x80 && b <= 0x8f) {
      ++p_;
      n = b & 0x0f;
    } else if (b == 0xde) {
      n = load(2, where);
    } else if (b == 0xdf) {
      n = load(4, where);
    } else {
      wrong(where, "a map", b);
    }
    if (n * 2 > remaining())
      fail("truncated: " + where + " claims " + std::to_string(n) + " entries, " +
           std::to_string(remaining()) + " bytes remain");
    return static_cast<uint32_t>(n);
  }

 private:
  [[noreturn]] static void wrong(const std::string& where, const char* expected, uint8_t b) {
    fail(where + ": expected " + expected + ", found " + kind_of(b));
  }

  void take(size_t n, const std::string& where) {
    if (n > remaining()) fail("truncated: input ends inside " + where);
    p_ += n;
  }

  // Skips the type byte and returns the big-endian payload of `size` bytes after it.
  uint64_t load(size_t size, const std::string& where) {
    if (size + 1 > remaining()) fail("truncated: input ends inside " + where);
    uint64_t v = 0;
    for (size_t i = 1; i <= size; ++i) v = (v << 8) | p_[i];
    p_ += size + 1;
    return v;
  }

  int64_t read_signed(const std::string& where) {
    const uint8_t b = peek(where);
    if (b >= 0xe0) return take(1, where), static_cast<int8_t>(b);
    switch (b) {
      case 0xd0: return static_cast<int8_t>(load(1, where));
      case 0xd1: return static_cast<int16_t>(load(2, where));
      case 0xd2: return static_cast<int32_t>(load(4, where));
      default: return static_cast<int64_t>(load(8, where));
    }
  }

  const uint8_t* p_;
  const uint8_t* end_;
};

// Key bookkeeping for one record: duplicates and missing required keys.
class Keys {
 public:
  Keys(std::string where) : where_(std::move(where)) {}
  void see(const std::string& key) {
    if (!seen_.insert(key).second) fail(where_ + ": duplicate key \"" + key + "\"");
  }
  bool has(const std::string& key) const { return seen_.count(key) != 0; }
  void require(std::initializer_list<const char*> keys) const {
    for (const char* k : keys)
      if (!has(k)) fail(where_ + ": missing key \"" + std::string(k) + "\"");
  }

 private:
  std::string where_;
  std::set<std::string> seen_;
};

[[noreturn]] void unknown(const std::string& where, const std::string& key) {
  fail(where + ": unknown key \"" + key + "\"");
}

std::vector<std::string> read_strings(Cursor& c, const std::string& where) {
  const uint32_t n = c.read_array(where);
  std::vector<std::string> out;
  out.reserve(n);
  for (uint32_t i = 0; i < n; ++i) out.push_back(c.read_str(where + "[" + std::to_string(i) + "]"));
  return out;
}

template <typename Int>
std::vector<Int> read_uints(Cursor& c, const std::string& where) {
  const uint32_t n = c.read_array(where);
  std::vector<Int> out;
  out.reserve(n);
  for (uint32_t i = 0; i < n; ++i) {
    const std::string at = where + "[" + std::to_string(i) + "]";
    if constexpr (sizeof(Int) == 4) {
      out.push_back(c.read_u32(at));
    } else {
      out.push_back(c.read_uint(at));
    }
  }
  return out;
}

EnvMap read_env(Cursor& c, const std::string& where) {
  const uint32_t n = c.read_map(where);
  EnvMap env;
  env.reserve(n);
  for (uint32_t i = 0; i < n; ++i) {
    std::string name = c.read_str(where + " key");
    std::string value = c.read_str(where + "[\"" + name + "\"]");
    if (!env.emplace(name, std::move(value)).second)
      fail(where + ": duplicate key \"" + name + "\"");
  }
  return env;
}

ProcessRecord read_process(Cursor& c, const std::string& where) {
  ProcessRecord p;
  Keys keys(where);
  const uint32_t n = c.read_map(where);
  for (uint32_t i = 0; i < n; ++i) {
    const std::string key = c.read_str(where + " key");
    keys.see(key);
    const std::string at = where + "." + key;
    if (key == "pid") {
      p.pid = c.read_u32(at);
    } else if (key == "parent_pid") {
      if (!c.take_nil(at)) p.parent_pid = c.read_u32(at);
    } else if (key == "command") {
      p.command = read_strings(c, at);
    } else if (key == "env") {
      p.env = read_env(c, at);
    } else {
      unknown(where, key);
    }
  }
  keys.require({"pid", "parent_pid", "command", "env"});
  return p;
}

FileRecord read_file_record(Cursor& c, const std::string& where) {
  FileRecord f;
  Keys keys(where);
  const uint32_t n = c.read_map(where);
  for (uint32_t i = 0; i < n; ++i) {
    const std::string key = c.read_str(where + " key");
    keys.see(key);
    const std::string at = where + "." + key;
    if (key == "path") {
      f.path = c.read_str(at);
    } else if (key == "read") {
      f.read = c.read_bool(at);
    } else if (key == "written") {
      f.written = c.read_bool(at);
    } else if (key == "read_threads") {
      f.read_threads = read_uints<uint32_t>(c, at);
    } else if (key == "written_threads") {
      f.written_threads = read_uints<uint32_t>(c, at);
    } else if (key == "chunks_read") {
      f.chunks_read = read_uints<uint64_t>(c, at);
    } else if (key == "chunks_written") {
      f.chunks_written = read_uints<uint64_t>(c, at);
    } else {
      unknown(where, key);
    }
  }
  keys.require({"path", "read", "written"});
  return f;
}

TraceReport read_report(Cursor& c) {
  const std::string where = "report";
  TraceReport r;
  Keys keys(where);
  const uint32_t n = c.read_map(where);
  for (uint32_t i = 0; i < n; ++i) {
    const std::string key = c.read_str(where + " key");
    keys.see(key);
    if (key == "version") {
      const uint64_t v = c.read_uint(key);
      if (v != REPORT_VERSION) fail("unsupported report version " + std::to_string(v));
      r.version = static_cast<uint32_t>(v);
    } else if (key == "chunk_size") {
      r.chunk_size = c.read_uint(key);
    } else if (key == "processes") {
      const uint32_t count = c.read_array(key);
      r.processes.reserve(count);
      for (uint32_t k = 0; k < count; ++k)
        r.processes.push_back(read_process(c, key + "[" + std::to_string(k) + "]"));
    } else if (key == "files") {
      const uint32_t count = c.read_array(key);
      r.files.reserve(count);
      for (uint32_t k = 0; k < count; ++k)
        r.files.push_back(read_file_record(c, key + "[" + std::to_string(k) + "]"));
    } else if (key == "opened_files") {
      r.opened_files = read_strings(c, key);
    } else if (key == "read_files") {
      r.read_files = read_strings(c, key);
    } else if (key == "written_files") {
      r.written_files = read_strings(c, key);
    } else if (key == "env_accessed") {
      r.env_accessed = read_env(c, key);
    } else if (key == "start_time") {
      r.start_time = c.read_double(key);
    } else if (key == "end_time") {
      r.end_time = c.read_double(key);
    } else if (key == "tracer_mode") {
      r.tracer_mode = c.read_str(key);
    } else if (key == "events_dropped") {
      r.events_dropped = c.read_uint(key);
    } else {
      unknown(where, key);
    }
  }
  keys.require({"version", "processes", "files", "start_time", "end_time", "tracer_mode"});
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
