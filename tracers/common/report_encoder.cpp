#include "report_encoder.h"

#include <msgpuck.h>

#include <limits>
#include <string_view>

namespace drel {
namespace {

constexpr size_t kMaxCount = std::numeric_limits<uint32_t>::max();

struct TooLarge {
  std::string what;
};

uint32_t count32(size_t n, const char* what) {
  if (n > kMaxCount) throw TooLarge{what};
  return static_cast<uint32_t>(n);
}

// One walk over the report serves both passes: Sizer adds up mp_sizeof_*, Writer encodes
// into the buffer the Sizer measured.
struct Sizer {
  size_t n = 0;
  void map(uint32_t c) { n += mp_sizeof_map(c); }
  void array(uint32_t c) { n += mp_sizeof_array(c); }
  void str(std::string_view s) { n += mp_sizeof_str(count32(s.size(), "string")); }
  void uint(uint64_t v) { n += mp_sizeof_uint(v); }
  void dbl(double v) { n += mp_sizeof_double(v); }
  void boolean(bool v) { n += mp_sizeof_bool(v); }
  void nil() { n += mp_sizeof_nil(); }
};

struct Writer {
  char* p;
  void map(uint32_t c) { p = mp_encode_map(p, c); }
  void array(uint32_t c) { p = mp_encode_array(p, c); }
  void str(std::string_view s) { p = mp_encode_str(p, s.data(), static_cast<uint32_t>(s.size())); }
  void uint(uint64_t v) { p = mp_encode_uint(p, v); }
  void dbl(double v) { p = mp_encode_double(p, v); }
  void boolean(bool v) { p = mp_encode_bool(p, v); }
  void nil() { p = mp_encode_nil(p); }
};

template <typename Out>
void strings(Out& out, const std::vector<std::string>& list) {
  out.array(count32(list.size(), "list"));
  for (const auto& s : list) out.str(s);
}

template <typename Out, typename Int>
void uints(Out& out, const std::vector<Int>& list) {
  out.array(count32(list.size(), "list"));
  for (Int v : list) out.uint(v);
}

template <typename Out>
void env_map(Out& out, const EnvMap& env) {
  out.map(count32(env.size(), "map"));
  for (const auto& [name, value] : env) {
    out.str(name);
    out.str(value);
  }
}

template <typename Out>
void process(Out& out, const ProcessRecord& p) {
  out.map(4);
  out.str("pid");
  out.uint(p.pid);
  out.str("parent_pid");
  if (p.parent_pid) {
    out.uint(*p.parent_pid);
  } else {
    out.nil();
  }
  out.str("command");
  strings(out, p.command);
  out.str("env");
  env_map(out, p.env);
}

template <typename Out>
void file(Out& out, const FileRecord& f) {
  out.map(3 + f.read_threads.has_value() + f.written_threads.has_value() +
          f.chunks_read.has_value() + f.chunks_written.has_value());
  out.str("path");
  out.str(f.path);
  out.str("read");
  out.boolean(f.read);
  out.str("written");
  out.boolean(f.written);
  if (f.read_threads) {
    out.str("read_threads");
    uints(out, *f.read_threads);
  }
  if (f.written_threads) {
    out.str("written_threads");
    uints(out, *f.written_threads);
  }
  if (f.chunks_read) {
    out.str("chunks_read");
    uints(out, *f.chunks_read);
  }
  if (f.chunks_written) {
    out.str("chunks_written");
    uints(out, *f.chunks_written);
  }
}

template <typename Out>
void report(Out& out, const TraceReport& r) {
  out.map(6 + r.chunk_size.has_value() + !r.opened_files.empty() + !r.read_files.empty() +
          !r.written_files.empty() + !r.env_accessed.empty() + r.events_dropped.has_value());
  out.str("version");
  out.uint(r.version);
  if (r.chunk_size) {
    out.str("chunk_size");
    out.uint(*r.chunk_size);
  }
  out.str("processes");
  out.array(count32(r.processes.size(), "list"));
  for (const auto& p : r.processes) process(out, p);
  out.str("files");
  out.array(count32(r.files.size(), "list"));
  for (const auto& f : r.files) file(out, f);
  if (!r.opened_files.empty()) {
    out.str("opened_files");
    strings(out, r.opened_files);
  }
  if (!r.read_files.empty()) {
    out.str("read_files");
    strings(out, r.read_files);
  }
  if (!r.written_files.empty()) {
    out.str("written_files");
    strings(out, r.written_files);
  }
  if (!r.env_accessed.empty()) {
    out.str("env_accessed");
    env_map(out, r.env_accessed);
  }
  out.str("start_time");
  out.dbl(r.start_time);
  out.str("end_time");
  out.dbl(r.end_time);
  out.str("tracer_mode");
  out.str(r.tracer_mode);
  if (r.events_dropped) {
    out.str("events_dropped");
    out.uint(*r.events_dropped);
  }
}

}  // namespace

Result<std::vector<uint8_t>> encode_report(const TraceReport& r) {
  Sizer sizer;
  try {
    report(sizer, r);
  } catch (const TooLarge& e) {
    return Error(e.what + " too large for MessagePack (more than 4294967295 entries or bytes)");
  }
  std::vector<uint8_t> bytes(sizer.n);
  Writer writer{reinterpret_cast<char*>(bytes.data())};
  report(writer, r);
  if (writer.p != reinterpret_cast<char*>(bytes.data()) + bytes.size()) {
    return Error("report encoding size mismatch");
  }
  return bytes;
}

}  // namespace drel
