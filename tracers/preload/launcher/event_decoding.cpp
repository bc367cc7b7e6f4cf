#include "preload/launcher/event_decoding.h"

#include <msgpuck.h>

#include <array>
#include <limits>

#include "common/utf8.h"

namespace drel::launcher {
namespace {

// The payload not yet read. Every read checks the bounds with MsgPuck's mp_check_* before
// decoding with mp_decode_*.
class Reader {
 public:
  Reader(const char* p, const char* end) : p_(p), end_(end) {}

  size_t left() const { return static_cast<size_t>(end_ - p_); }
  const char* at() const { return p_; }
  const char* end() const { return end_; }

  // The type of the next value; refuses the end of the payload and the never-used byte 0xc1
  // (which MsgPuck would take for an extension).
  bool type(mp_type& out, DecodeFailure& failure) const {
    if (p_ >= end_) return fail(failure, DecodeFailure::Truncated);
    if (static_cast<uint8_t>(*p_) == 0xc1) return fail(failure, DecodeFailure::Malformed);
    out = mp_typeof(*p_);
    return true;
  }

  bool is_text() const {
    if (p_ >= end_) return false;
    const mp_type t = mp_typeof(*p_);
    return t == MP_STR || t == MP_BIN;
  }

  // A str or bin value's bytes.
  bool text(mp_type t, std::string_view& out, DecodeFailure& failure) {
    const bool is_str = t == MP_STR;
    if ((is_str ? mp_check_strl(p_, end_) : mp_check_binl(p_, end_)) > 0)
      return fail(failure, DecodeFailure::Truncated);
    const uint32_t len = is_str ? mp_decode_strl(&p_) : mp_decode_binl(&p_);
    if (len > left()) return fail(failure, DecodeFailure::Truncated);
    out = std::string_view(p_, len);
    p_ += len;
    return true;
  }

  bool uint(uint64_t& out, DecodeFailure& failure) {
    if (mp_check_uint(p_, end_) > 0) return fail(failure, DecodeFailure::Truncated);
    out = mp_decode_uint(&p_);
    return true;
  }

  bool sint(int64_t& out, DecodeFailure& failure) {
    if (mp_check_int(p_, end_) > 0) return fail(failure, DecodeFailure::Truncated);
    out = mp_decode_int(&p_);
    return true;
  }

  // A map's or array's header: the number of values inside (two per map entry).
  bool container(mp_type t, uint64_t& values, DecodeFailure& failure) {
    if (t == MP_MAP) {
      if (mp_check_map(p_, end_) > 0) return fail(failure, DecodeFailure::Truncated);
      values = uint64_t{mp_decode_map(&p_)} * 2;
    } else {
      if (mp_check_array(p_, end_) > 0) return fail(failure, DecodeFailure::Truncated);
      values = mp_decode_array(&p_);
    }
    return true;
  }

  // Skips one whole value whose container sits at `depth` (the event map is depth 1).
  // Iterative: an explicit stack of pending value counts, bounded by the nesting limit.
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
      mp_type t;
      if (!type(t, failure)) return false;
      if (t == MP_MAP || t == MP_ARRAY) {
        if (depth + top + 1 > kMaxEventNesting) return fail(failure, DecodeFailure::TooDeep);
        uint64_t values = 0;
        if (!container(t, values, failure)) return false;
        // Each value takes at least one byte: a count beyond what is left is truncated.
        if (values > left()) return fail(failure, DecodeFailure::Truncated);
        pending[++top] = values;
      } else {
        // A scalar, string or extension: no nesting, so MsgPuck's own check bounds it.
        const char* q = p_;
        if (mp_check(&q, end_) != 0) return fail(failure, DecodeFailure::Truncated);
        p_ = q;
      }
    }
  }

  static bool fail(DecodeFailure& failure, DecodeFailure why) {
    failure = why;
    return false;
  }

 private:
  const char* p_;
  const char* end_;
};

bool read_kind(Reader& r, EventKind& kind, DecodeFailure& failure) {
  mp_type t;
  if (!r.type(t, failure)) return false;
  uint64_t index = 0;
  if (t == MP_STR || t == MP_BIN) {
    std::string_view name;
    if (!r.text(t, name, failure)) return false;
    for (unsigned i = 0; i < protocol::kEventKindCount; ++i) {
      if (!name.empty() && name == protocol::kEventKindNames[i]) {
        kind = static_cast<EventKind>(i);
        return true;
      }
    }
    return Reader::fail(failure, DecodeFailure::UnknownKind);
  }
  if (t == MP_UINT) {
    if (!r.uint(index, failure)) return false;
  } else if (t == MP_INT) {
    int64_t value = 0;
    if (!r.sint(value, failure)) return false;
    if (value < 0) return Reader::fail(failure, DecodeFailure::UnknownKind);
    index = static_cast<uint64_t>(value);
  } else {
    return Reader::fail(failure, DecodeFailure::WrongType);
  }
  if (index >= protocol::kFileEventKindCount)
    return Reader::fail(failure, DecodeFailure::UnknownKind);
  kind = static_cast<EventKind>(index);
  return true;
}

bool read_u32(Reader& r, uint32_t& out, DecodeFailure& failure) {
  mp_type t;
  if (!r.type(t, failure)) return false;
  uint64_t value = 0;
  if (t == MP_UINT) {
    if (!r.uint(value, failure)) return false;
  } else if (t == MP_INT) {
    int64_t signed_value = 0;
    if (!r.sint(signed_value, failure)) return false;
    if (signed_value < 0) return Reader::fail(failure, DecodeFailure::OutOfRange);
    value = static_cast<uint64_t>(signed_value);
  } else {
    return Reader::fail(failure, DecodeFailure::WrongType);
  }
  if (value > std::numeric_limits<uint32_t>::max())
    return Reader::fail(failure, DecodeFailure::OutOfRange);
  out = static_cast<uint32_t>(value);
  return true;
}

bool read_path(Reader& r, std::string_view& path, DecodeFailure& failure) {
  mp_type t;
  if (!r.type(t, failure)) return false;
  if (t != MP_STR && t != MP_BIN) return Reader::fail(failure, DecodeFailure::WrongType);
  if (!r.text(t, path, failure)) return false;
  if (!is_valid_utf8(path)) return Reader::fail(failure, DecodeFailure::InvalidUtf8);
  return true;
}

enum Field : unsigned { kKind = 1, kPid = 2, kThread = 4, kPath = 8, kAll = 15 };

unsigned field_named(std::string_view name) {
  if (name == "kind") return kKind;
  if (name == "pid") return kPid;
  if (name == "thread_id") return kThread;
  if (name == "path") return kPath;
  return 0;
}

// An unsigned integer: a Dropped event's count, a Rename's time.
bool read_count(Reader r, uint64_t& count, DecodeFailure& failure) {
  mp_type t;
  if (!r.type(t, failure)) return false;
  if (t != MP_UINT) return Reader::fail(failure, DecodeFailure::WrongType);
  return r.uint(count, failure);
}

bool read_bool(Reader r, bool& out, DecodeFailure& failure) {
  mp_type t;
  if (!r.type(t, failure)) return false;
  if (t != MP_BOOL) return Reader::fail(failure, DecodeFailure::WrongType);
  if (mp_check_bool(r.at(), r.end()) > 0) return Reader::fail(failure, DecodeFailure::Truncated);
  const char* p = r.at();
  out = mp_decode_bool(&p);
  return true;
}

// Raw bytes of a str or bin value: an area of a process, which need not be UTF-8.
bool read_bytes(Reader r, std::string_view& out, DecodeFailure& failure) {
  mp_type t;
  if (!r.type(t, failure)) return false;
  if (t != MP_STR && t != MP_BIN) return Reader::fail(failure, DecodeFailure::WrongType);
  return r.text(t, out, failure);
}

// Keys that only some kinds carry. For the others they are unknown keys, skipped whatever they
// hold; so they are found first and read once the kind is known.
enum Extra : unsigned {
  kCount, kParent, kExec, kCmdline, kEnviron, kTime, kExchange, kFrom, kExtraCount
};
constexpr std::array<std::string_view, kExtraCount> kExtraNames = {
    "count", "parent_pid", "exec", "cmdline", "environ", "time", "exchange", "from"};

struct ExtraKeys {
  std::array<const char*, kExtraCount> at{};  // where each value starts; null: absent
  unsigned duplicated = 0;                    // bit per key seen twice

  void note(std::string_view name, const char* value) {
    for (unsigned i = 0; i < kExtraCount; ++i) {
      if (name != kExtraNames[i]) continue;
      if (at[i] != nullptr) duplicated |= 1u << i;
      at[i] = value;
    }
  }
  bool has(Extra e) const { return at[e] != nullptr; }
  bool duplicate(Extra e) const { return (duplicated & (1u << e)) != 0; }
};

bool decode_process(const ExtraKeys& extra, const char* end, NativeTraceEventView& view,
                    DecodeFailure& failure) {
  for (Extra e : {kParent, kExec, kCmdline, kEnviron})
    if (extra.duplicate(e)) return Reader::fail(failure, DecodeFailure::DuplicateKey);
  if (extra.has(kCmdline) != extra.has(kEnviron))
    return Reader::fail(failure, DecodeFailure::MissingKey);
  if (extra.has(kParent)) {
    Reader r(extra.at[kParent], end);
    if (!read_u32(r, view.parent_pid, failure)) return false;
    view.has_parent = true;
  }
  if (extra.has(kExec) && !read_bool(Reader(extra.at[kExec], end), view.exec, failure))
    return false;
  if (extra.has(kCmdline)) {
    if (!read_bytes(Reader(extra.at[kCmdline], end), view.cmdline, failure) ||
        !read_bytes(Reader(extra.at[kEnviron], end), view.environ, failure))
      return false;
    view.has_areas = true;
  }
  return true;
}

// A Rename: the file events' entries (path is the new name), then its own.
bool decode_rename(const ExtraKeys& extra, const char* end, NativeTraceEventView& view,
                   DecodeFailure& failure) {
  for (Extra e : {kTime, kExchange, kFrom}) {
    if (!extra.has(e)) return Reader::fail(failure, DecodeFailure::MissingKey);
    if (extra.duplicate(e)) return Reader::fail(failure, DecodeFailure::DuplicateKey);
  }
  Reader from(extra.at[kFrom], end);
  return read_count(Reader(extra.at[kTime], end), view.time, failure) &&
         read_bool(Reader(extra.at[kExchange], end), view.exchange, failure) &&
         read_path(from, view.from, failure);
}

bool decode_map(Reader& r, uint64_t entries, NativeTraceEventView& view,
                DecodeFailure& failure) {
  unsigned seen = 0;
  ExtraKeys extra;
  for (uint64_t i = 0; i < entries; ++i) {
    if (!r.is_text()) {
      // A key of another type is just an unknown key.
      if (!r.skip(1, failure) || !r.skip(1, failure)) return false;
      continue;
    }
    mp_type key_type;
    std::string_view name;
    if (!r.type(key_type, failure) || !r.text(key_type, name, failure)) return false;
    const unsigned field = field_named(name);
    if (field == 0) {
      extra.note(name, r.at());
      if (!r.skip(1, failure)) return false;
      continue;
    }
    if ((seen & field) != 0) return Reader::fail(failure, DecodeFailure::DuplicateKey);
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
  const bool ids = (seen & (kPid | kThread)) == (kPid | kThread);
  if ((seen & kKind) != 0 && view.kind == EventKind::Dropped) {
    if (!ids || !extra.has(kCount)) return Reader::fail(failure, DecodeFailure::MissingKey);
    if (extra.duplicate(kCount)) return Reader::fail(failure, DecodeFailure::DuplicateKey);
    return read_count(Reader(extra.at[kCount], r.end()), view.count, failure);
  }
  if ((seen & kKind) != 0 && view.kind == EventKind::Process) {
    if (!ids) return Reader::fail(failure, DecodeFailure::MissingKey);
    return decode_process(extra, r.end(), view, failure);
  }
  if (seen != kAll) return Reader::fail(failure, DecodeFailure::MissingKey);
  if (view.kind == EventKind::Rename) return decode_rename(extra, r.end(), view, failure);
  return true;
}

}  // namespace

bool decode_event_view(std::span<const uint8_t> payload, NativeTraceEventView& view,
                       DecodeFailure& failure) noexcept {
  const auto* begin = reinterpret_cast<const char*>(payload.data());
  Reader r(begin, begin + payload.size());
  mp_type top;
  if (!r.type(top, failure)) return false;
  if (top != MP_MAP && top != MP_ARRAY) return Reader::fail(failure, DecodeFailure::NotMapOrArray);
  uint64_t values = 0;
  if (!r.container(top, values, failure)) return false;
  NativeTraceEventView out;
  if (top == MP_MAP) {
    if (!decode_map(r, values / 2, out, failure)) return false;
  } else {
    if (values != 4) return Reader::fail(failure, DecodeFailure::WrongArrayLength);
    if (!read_kind(r, out.kind, failure)) return false;
    if (!protocol::is_file_event(out.kind))
      return Reader::fail(failure, DecodeFailure::UnknownKind);
    if (!read_u32(r, out.pid, failure) || !read_u32(r, out.thread_id, failure) ||
        !read_path(r, out.path, failure)) {
      return false;
    }
  }
  view = out;
  return true;
}

}  // namespace drel::launcher
