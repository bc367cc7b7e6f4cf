#include "report_reader.h"

#include <msgpuck.h>

#include <array>
#include <limits>
#include <new>
#include <stdexcept>
#include <string_view>

#include "common/file_system.h"
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

// What a value is, for an error message. 0xc1 is named: MsgPuck files it under extensions.
const char* kind_of(const char* p) {
  if (static_cast<uint8_t>(*p) == 0xc1) return "the never-used byte 0xc1";
  switch (mp_typeof(*p)) {
    case MP_NIL: return "nil";
    case MP_UINT: return "unsigned integer";
    case MP_INT: return "integer";
    case MP_STR: return "string";
    case MP_BIN: return "binary";
    case MP_ARRAY: return "array";
    case MP_MAP: return "map";
    case MP_BOOL: return "boolean";
    case MP_FLOAT:
    case MP_DOUBLE: return "float";
    case MP_EXT: break;
  }
  return "extension";
}

// Reads MessagePack values with MsgPuck; every header is checked against the end of the input
// before it is decoded, and every count against the bytes that remain.
class Cursor {
 public:
  explicit Cursor(std::span<const uint8_t> bytes)
      : p_(reinterpret_cast<const char*>(bytes.data())), end_(p_ + bytes.size()) {}

  size_t remaining() const { return static_cast<size_t>(end_ - p_); }

  bool take_nil(const Where& w) {
    if (type(w) != MP_NIL) return false;
    mp_decode_nil(&p_);
    return true;
  }

  uint64_t read_uint(const Where& w) {
    switch (type(w)) {
      case MP_UINT: return whole(mp_check_uint(p_, end_), w), mp_decode_uint(&p_);
      case MP_INT: {
        whole(mp_check_int(p_, end_), w);
        const int64_t v = mp_decode_int(&p_);
        if (v < 0) {
          fail(w.str() + ": expected an unsigned integer, found a negative integer (" +
               std::to_string(v) + ")");
        }
        return static_cast<uint64_t>(v);
      }
      default: wrong(w, "an unsigned integer");
    }
  }

  uint32_t read_u32(const Where& w) {
    const uint64_t v = read_uint(w);
    if (v > std::numeric_limits<uint32_t>::max())
      fail(w.str() + ": " + std::to_string(v) + " does not fit in 32 bits");
    return static_cast<uint32_t>(v);
  }

  double read_double(const Where& w) {
    switch (type(w)) {
      case MP_DOUBLE: return whole(mp_check_double(p_, end_), w), mp_decode_double(&p_);
      case MP_FLOAT: return whole(mp_check_float(p_, end_), w), mp_decode_float(&p_);
      case MP_INT: return whole(mp_check_int(p_, end_), w), static_cast<double>(mp_decode_int(&p_));
      case MP_UINT:
        return whole(mp_check_uint(p_, end_), w), static_cast<double>(mp_decode_uint(&p_));
      default: wrong(w, "a number");
    }
  }

  bool read_bool(const Where& w) {
    if (type(w) != MP_BOOL) wrong(w, "a boolean");
    return mp_decode_bool(&p_);
  }

  std::string read_str(const Where& w) { return std::string(read_text(w)); }

  // A string's bytes in the input, checked to be UTF-8.
  std::string_view read_text(const Where& w) {
    if (type(w) != MP_STR) wrong(w, "a string");
    whole(mp_check_strl(p_, end_), w);
    const uint32_t len = mp_decode_strl(&p_);
    if (len > remaining())
      fail("truncated: " + w.str() + " claims " + std::to_string(len) + " bytes, " +
           std::to_string(remaining()) + " remain");
    std::string_view s(p_, len);
    p_ += len;
    if (!is_valid_utf8(s)) fail(w.str() + ": string is not valid UTF-8");
    return s;
  }

  uint32_t read_array(const Where& w) {
    if (type(w) != MP_ARRAY) wrong(w, "an array");
    whole(mp_check_array(p_, end_), w);
    const uint32_t n = mp_decode_array(&p_);
    // Every element needs at least one byte: a larger count cannot be real.
    if (n > remaining())
      fail("truncated: " + w.str() + " claims " + std::to_string(n) + " elements, " +
           std::to_string(remaining()) + " bytes remain");
    return n;
  }

  uint32_t read_map(const Where& w) {
    if (type(w) != MP_MAP) wrong(w, "a map");
    whole(mp_check_map(p_, end_), w);
    const uint32_t n = mp_decode_map(&p_);
    if (uint64_t{n} * 2 > remaining())
      fail("truncated: " + w.str() + " claims " + std::to_string(n) + " entries, " +
           std::to_string(remaining()) + " bytes remain");
    return n;
  }

 private:
  // The type of the next value; the input must not have ended.
  mp_type type(const Where& w) const {
    if (p_ == end_) fail("truncated: input ends where " + w.str() + " should be");
    return mp_typeof(*p_);
  }

  // MsgPuck's mp_check_* answer: above zero, the header needs that many more bytes.
  static void whole(ptrdiff_t missing, const Where& w) {
    if (missing > 0) fail("truncated: input ends inside " + w.str());
  }

  [[noreturn]] void wrong(const Where& w, const char* expected) const {
    fail(w.str() + ": expected " + expected + ", found " + kind_of(p_));
  }

  const char* p_;
  const char* end_;
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
    Cursor c(bytes);
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
  Result<std::string> bytes = read_whole_file(path);
  if (!bytes) return std::move(bytes).error();
  return std::vector<uint8_t>(bytes->begin(), bytes->end());
}

Result<TraceReport> read_report_file(const std::string& path) {
  auto bytes = read_report_bytes(path);
  if (!bytes) return std::move(bytes).error();
  auto report = decode_report(*bytes);
  if (!report) return std::move(report).error().context("not a valid trace report");
  return report;
}

}  // namespace drel
