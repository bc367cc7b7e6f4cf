#include "preload/src/event_decoding.h"

#include <msgpuck.h>

#include <array>
#include <cstring>
#include <limits>

#include "common/utf8.h"

namespace drel {
namespace {

enum class Tag : uint8_t { Nil, Bool, Uint, Int, Float, Str, Bin, Ext, Array, Map };

// One decoded header. For Str, Bin and Ext the payload (`len` bytes) follows at the cursor;
// for Array and Map `len` is the number of elements (entries for maps).
struct Header {
  Tag tag = Tag::Nil;
  uint64_t uint_value = 0;
  int64_t int_value = 0;
  uint64_t len = 0;
};

// Bytes a header occupies after its first byte; -1 for the reserved byte 0xc1.
int header_tail(uint8_t c) {
  if (c <= 0xbf || c >= 0xe0) return 0;  // fixint, fixmap, fixarray, fixstr, negative fixint
  switch (c) {
    case 0xc0: case 0xc2: case 0xc3: return 0;
    case 0xc4: case 0xd9: case 0xcc: case 0xd0: return 1;
    case 0xc5: case 0xda: case 0xcd: case 0xd1: case 0xdc: case 0xde: return 2;
    case 0xc6: case 0xdb: case 0xce: case 0xd2: case 0xdd: case 0xdf: case 0xca: return 4;
    case 0xcf: case 0xd3: case 0xcb: return 8;
    case 0xc7: return 2;  // ext8: length, type
    case 0xc8: return 3;
    case 0xc9: return 5;
    case 0xd4: case 0xd5: case 0xd6: case 0xd7: case 0xd8: return 1;  // fixext: type
    default: return -1;
  }
}

class Reader {
 public:
  Reader(const char* p, const char* end) : p_(p), end_(end) {}

  size_t left() const { return static_cast<size_t>(end_ - p_); }

  // Whether the next value is a str or bin (a key that may name a field).
  bool next_is_text() const {
    if (left() < 1) return false;
    const auto c = static_cast<uint8_t>(*p_);
    return (c >= 0xa0 && c <= 0xbf) || (c >= 0xd9 && c <= 0xdb) || (c >= 0xc4 && c <= 0xc6);
  }

  // Reads the header of the next value, bounds-checked; the payload of str/bin/ext is not
  // consumed.
  bool header(Header& h, DecodeFailure& failure) {
    if (left() < 1) return fail(failure, DecodeFailure::Truncated);
    const auto c = static_cast<uint8_t>(*p_);
    const int tail = header_tail(c);
    if (tail < 0) return fail(failure, DecodeFailure::Malformed);
    if (left() < 1 + static_cast<size_t>(tail)) return fail(failure, DecodeFailure::Truncated);
    const char* q = p_;
    if (c <= 0x7f || (c >= 0xcc && c <= 0xcf)) {
      h.tag = Tag::Uint;
      h.uint_value = mp_decode_uint(&q);
    } else if (c >= 0xe0 || (c >= 0xd0 && c <= 0xd3)) {
      h.tag = Tag::Int;
      h.int_value = mp_decode_int(&q);
    } else if (c <= 0x8f || c == 0xde || c == 0xdf) {
      h.tag = Tag::Map;
      h.len = mp_decode_map(&q);
    } else if (c <= 0x9f || c == 0xdc || c == 0xdd) {
      h.tag = Tag::Array;
      h.len = mp_decode_array(&q);
    } else if (c <= 0xbf || (c >= 0xd9 && c <= 0xdb)) {
      h.tag = Tag::Str;
      h.len = mp_decode_strl(&q);
    } else if (c >= 0xc4 && c <= 0xc6) {
      h.tag = Tag::Bin;
      h.len = mp_decode_binl(&q);
    } else if (c == 0xc0) {
      h.tag = Tag::Nil;
      ++q;
    } else if (c == 0xc2 || c == 0xc3) {
      h.tag = Tag::Bool;
      ++q;
    } else if (c == 0xca || c == 0xcb) {
      h.tag = Tag::Float;
      q += 1 + tail;
    } else {
      h.tag = Tag::Ext;
      h.len = ext_length(c);
      q += 1 + tail;
    }
    p_ = q;
    return true;
  }

  // Takes `len` payload bytes after a str/bin/ext header.
  bool bytes(uint64_t len, std::string_view& out, DecodeFailure& failure) {
    if (len > left()) return fail(failure, DecodeFailure::Truncated);
    out = std::string_view(p_, static_cast<size_t>(len));
    p_ += len;
    return true;
  }

  // Skips one whole value whose container sits at `depth` (the event map is depth 1).
  // Iterative: an explicit stack of pending element counts, bounded by the nesting limit.
  bool skip(unsigned depth, DecodeFailure& failure) {
    std::array<uint64_t, kMaxEventNesting + 1> pending;
    size_t top = 0;
    pending[0] = 1;
    for (;;) {
      while (pending[top] == 0) {
        if (top == 0) return true;
        --top;
      }
      --pending[top];
      Header h;
      if (!header(h, failure)) return false;
      switch (h.tag) {
        case Tag::Str:
        case Tag::Bin:
        case Tag::Ext: {
          std::string_view ignored;
          if (!bytes(h.len, ignored, failure)) return false;
          break;
        }
        case Tag::Array:
        case Tag::Map: {
          const uint64_t nested = depth + top + 1;
          if (nested > kMaxEventNesting) return fail(failure, DecodeFailure::TooDeep);
          // Each element takes at least one byte: a count beyond what is left is truncated,
          // which also keeps the counter from overflowing.
          const uint64_t count = h.tag == Tag::Map ? h.len * 2 : h.len;
          if (count > left()) return fail(failure, DecodeFailure::Truncated);
          pending[++top] = count;
          break;
        }
        default:
          break;
      }
    }
  }

 private:
  static bool fail(DecodeFailure& failure, DecodeFailure why) {
    failure = why;
    return false;
  }

  uint64_t ext_length(uint8_t c) const {
    const auto* u = reinterpret_cast<const uint8_t*>(p_);
    switch (c) {
      case 0xc7: return u[1];
      case 0xc8: return (uint64_t{u[1]} << 8) | u[2];
      case 0xc9:
        return (uint64_t{u[1]} << 24) | (uint64_t{u[2]} << 16) | (uint64_t{u[3]} << 8) | u[4];
      case 0xd4: return 1;
      case 0xd5: return 2;
      case 0xd6: return 4;
      case 0xd7: return 8;
      default: return 16;
    }
  }

  const char* p_;
  const char* end_;
};

constexpr std::array<std::string_view, 4> kKindNames = {"read", "write", "open_read",
                                                        "open_write"};

bool read_kind(Reader& r, EventKind& kind, DecodeFailure& failure) {
  Header h;
  if (!r.header(h, failure)) return false;
  if (h.tag == Tag::Str || h.tag == Tag::Bin) {
    std::string_view name;
    if (!r.bytes(h.len, name, failure)) return false;
    for (size_t i = 0; i < kKindNames.size(); ++i) {
      if (name == kKindNames[i]) {
        kind = static_cast<EventKind>(i);
        return true;
      }
    }
    failure = DecodeFailure::UnknownKind;
    return false;
  }
  if (h.tag == Tag::Uint || h.tag == Tag::Int) {
    const bool in_range = h.tag == Tag::Uint ? h.uint_value < kKindNames.size()
                                             : h.int_value >= 0 && h.int_value < 4;
    if (!in_range) {
      failure = DecodeFailure::UnknownKind;
      return false;
    }
    kind = static_cast<EventKind>(h.tag == Tag::Uint ? h.uint_value : uint64_t(h.int_value));
    return true;
  }
  failure = DecodeFailure::WrongType;
  return false;
}

bool read_u32(Reader& r, uint32_t& out, DecodeFailure& failure) {
  Header h;
  if (!r.header(h, failure)) return false;
  constexpr uint64_t kMax = std::numeric_limits<uint32_t>::max();
  if (h.tag == Tag::Uint) {
    if (h.uint_value > kMax) return (failure = DecodeFailure::OutOfRange, false);
    out = static_cast<uint32_t>(h.uint_value);
    return true;
  }
  if (h.tag == Tag::Int) {
    if (h.int_value < 0 || static_cast<uint64_t>(h.int_value) > kMax) {
      failure = DecodeFailure::OutOfRange;
      return false;
    }
    out = static_cast<uint32_t>(h.int_value);
    return true;
  }
  failure = DecodeFailure::WrongType;
  return false;
}

bool read_path(Reader& r, std::string_view& path, DecodeFailure& failure) {
  Header h;
  if (!r.header(h, failure)) return false;
  if (h.tag != Tag::Str && h.tag != Tag::Bin) {
    failure = DecodeFailure::WrongType;
    return false;
  }
  if (!r.bytes(h.len, path, failure)) return false;
  if (!is_valid_utf8(path)) {
    failure = DecodeFailure::InvalidUtf8;
    return false;
  }
  return true;
}

enum Field : unsigned { kKind = 1, kPid = 2, kThread = 4, kPath = 8, kAll = 15 };

bool decode_map(Reader& r, uint64_t entries, NativeTraceEventView& view,
                DecodeFailure& failure) {
  unsigned seen = 0;
  for (uint64_t i = 0; i < entries; ++i) {
    if (!r.next_is_text()) {
      // A key of another type is just an unknown key.
      if (!r.skip(1, failure) || !r.skip(1, failure)) return false;
      continue;
    }
    Header key;
    if (!r.header(key, failure)) return false;
    std::string_view name;
    if (!r.bytes(key.len, name, failure)) return false;
    unsigned field = 0;
    if (name == "kind") field = kKind;
    else if (name == "pid") field = kPid;
    else if (name == "thread_id") field = kThread;
    else if (name == "path") field = kPath;
    if (field == 0) {
      if (!r.skip(1, failure)) return false;
      continue;
    }
    if (seen & field) {
      failure = DecodeFailure::DuplicateKey;
      return false;
    }
    seen |= field;
    bool ok = false;
    switch (field) {
      case kKind: ok = read_kind(r, view.kind, failure); break;
      case kPid: ok = read_u32(r, view.pid, failure); break;
      case kThread: ok = read_u32(r, view.thread_id, failure); break;
      default: ok = read_path(r, view.path, failure); break;
    }
    if (!ok) return false;
  }
  if (seen != kAll) {
    failure = DecodeFailure::MissingKey;
    return false;
  }
  return true;
}

}  // namespace

const char* decode_failure_text(DecodeFailure failure) {
  switch (failure) {
    case DecodeFailure::Truncated: return "truncated event payload";
    case DecodeFailure::TooDeep: return "event payload nested too deeply";
    case DecodeFailure::NotMapOrArray: return "event is neither a map nor an array";
    case DecodeFailure::WrongArrayLength: return "event array does not have 4 elements";
    case DecodeFailure::DuplicateKey: return "duplicate key in event";
    case DecodeFailure::MissingKey: return "missing key in event";
    case DecodeFailure::UnknownKind: return "unknown event kind";
    case DecodeFailure::WrongType: return "event field has the wrong type";
    case DecodeFailure::OutOfRange: return "event id out of range";
    case DecodeFailure::InvalidUtf8: return "event path is not valid UTF-8";
    case DecodeFailure::Malformed: return "malformed MessagePack in event";
  }
  return "undecodable event";
}

bool decode_event_view(std::span<const uint8_t> payload, NativeTraceEventView& view,
                       DecodeFailure& failure) noexcept {
  const auto* begin = reinterpret_cast<const char*>(payload.data());
  Reader r(begin, begin + payload.size());
  Header top;
  if (!r.header(top, failure)) return false;
  NativeTraceEventView out;
  if (top.tag == Tag::Map) {
    if (!decode_map(r, top.len, out, failure)) return false;
  } else if (top.tag == Tag::Array) {
    if (top.len != 4) {
      failure = DecodeFailure::WrongArrayLength;
      return false;
    }
    if (!read_kind(r, out.kind, failure) || !read_u32(r, out.pid, failure) ||
        !read_u32(r, out.thread_id, failure) || !read_path(r, out.path, failure)) {
      return false;
    }
  } else {
    failure = DecodeFailure::NotMapOrArray;
    return false;
  }
  view = out;
  return true;
}

Result<NativeTraceEvent> decode_event(std::span<const uint8_t> payload) {
  NativeTraceEventView view;
  DecodeFailure failure = DecodeFailure::Malformed;
  if (!decode_event_view(payload, view, failure)) return Error(decode_failure_text(failure));
  return NativeTraceEvent{view.kind, view.pid, view.thread_id, std::string(view.path)};
}

}  // namespace drel
