#include "report_view.h"

#include <msgpuck.h>
#include <time.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <unordered_map>
#include <vector>

#include "common/report_reader.h"

namespace drel {
namespace {

// Paths and arguments may hold newlines or escape sequences; keep one entry per line.
std::string printable(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (b < 0x20 || b == 0x7f) {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02x", b);
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

std::string join_ids(const std::vector<uint32_t>& ids) {
  std::string out;
  for (uint32_t id : ids) {
    if (!out.empty()) out += ", ";
    out += std::to_string(id);
  }
  return out;
}

void render_processes(const TraceReport& r, std::string& out) {
  const auto& procs = r.processes;
  // First record of each pid: children hang under it (a pid may repeat).
  std::unordered_map<uint32_t, size_t> first_of_pid;
  for (size_t i = 0; i < procs.size(); ++i) first_of_pid.try_emplace(procs[i].pid, i);
  std::vector<std::vector<size_t>> children(procs.size());
  std::vector<size_t> roots;
  for (size_t i = 0; i < procs.size(); ++i) {
    const auto& parent = procs[i].parent_pid;
    auto it = parent ? first_of_pid.find(*parent) : first_of_pid.end();
    if (it == first_of_pid.end() || it->second == i) {
      roots.push_back(i);
    } else {
      children[it->second].push_back(i);
    }
  }
  std::vector<bool> shown(procs.size(), false);
  auto show_tree = [&](size_t root) {
    std::vector<std::pair<size_t, size_t>> stack{{root, 1}};  // (index, depth)
    while (!stack.empty()) {
      const auto [i, depth] = stack.back();
      stack.pop_back();
      if (shown[i]) continue;
      shown[i] = true;
      out.append(depth * 2, ' ');
      out += std::to_string(procs[i].pid);
      for (const auto& arg : procs[i].command) {
        out += ' ';
        out += printable(arg);
      }
      out += '\n';
      for (auto c = children[i].rbegin(); c != children[i].rend(); ++c)
        stack.emplace_back(*c, depth + 1);
    }
  };
  for (size_t root : roots) show_tree(root);
  // Parent links that form a cycle leave records unreached; show them as roots.
  for (size_t i = 0; i < procs.size(); ++i)
    if (!shown[i]) show_tree(i);
}

void render_files(const TraceReport& r, std::string& out) {
  for (const auto& f : r.files) {
    out += "  ";
    out += f.read ? 'r' : '-';
    out += f.written ? 'w' : '-';
    out += ' ';
    out += printable(f.path);
    std::string threads;
    if (f.read_threads && !f.read_threads->empty()) threads += "read by " + join_ids(*f.read_threads);
    if (f.written_threads && !f.written_threads->empty()) {
      if (!threads.empty()) threads += "; ";
      threads += "written by " + join_ids(*f.written_threads);
    }
    if (!threads.empty()) out += "  (" + threads + ")";
    out += '\n';
  }
}

std::string seconds_text(double s) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6f s", s);
  return buf;
}

// Converts the MessagePack value at *p (already validated by decode_report) to JSON.
nlohmann::ordered_json to_json(const char** p, const char* end) {
  using Json = nlohmann::ordered_json;
  if (*p >= end) throw std::runtime_error("unexpected end of data");
  switch (mp_typeof(**p)) {
    case MP_NIL:
      mp_decode_nil(p);
      return nullptr;
    case MP_BOOL:
      return mp_decode_bool(p);
    case MP_UINT:
      return mp_decode_uint(p);
    case MP_INT:
      return mp_decode_int(p);
    case MP_FLOAT:
      return mp_decode_float(p);
    case MP_DOUBLE:
      return mp_decode_double(p);
    case MP_STR: {
      uint32_t len = 0;
      const char* s = mp_decode_str(p, &len);
      return std::string(s, len);
    }
    case MP_ARRAY: {
      Json arr = Json::array();
      const uint32_t n = mp_decode_array(p);
      for (uint32_t i = 0; i < n; ++i) arr.push_back(to_json(p, end));
      return arr;
    }
    case MP_MAP: {
      Json obj = Json::object();
      const uint32_t n = mp_decode_map(p);
      for (uint32_t i = 0; i < n; ++i) {
        if (mp_typeof(**p) != MP_STR) throw std::runtime_error("map key is not a string");
        uint32_t len = 0;
        const char* k = mp_decode_str(p, &len);
        obj[std::string(k, len)] = to_json(p, end);
      }
      return obj;
    }
    default:
      throw std::runtime_error("value of a type reports do not hold");
  }
}

}  // namespace

std::string format_utc(double t) {
  if (!std::isfinite(t) || t < 0 || t >= 253402300800.0) {  // 10000-01-01
    char num[64];
    const auto res = std::to_chars(num, num + sizeof num, t);
    return std::string(num, res.ptr) + " (seconds since the epoch)";
  }
  char buf[64];
  auto whole = static_cast<time_t>(std::floor(t));
  auto micros = std::llround((t - std::floor(t)) * 1e6);
  if (micros >= 1000000) {
    whole += 1;
    micros -= 1000000;
  }
  struct tm tm {};
  gmtime_r(&whole, &tm);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(buf, sizeof buf, "%s.%06lldZ", date, static_cast<long long>(micros));
  return buf;
}

std::string render_text(const TraceReport& r) {
  std::string out;
  out += "tracer mode:    " + printable(r.tracer_mode) + "\n";
  out += "start:          " + format_utc(r.start_time) + "\n";
  out += "end:            " + format_utc(r.end_time) + "\n";
  out += "duration:       " + seconds_text(r.end_time - r.start_time) + "\n";
  if (r.events_dropped) out += "events dropped: " + std::to_string(*r.events_dropped) + "\n";
  if (r.chunk_size) out += "chunk size:     " + std::to_string(*r.chunk_size) + "\n";
  out += "\nprocesses:\n";
  render_processes(r, out);
  out += "\nfiles:\n";
  render_files(r, out);
  size_t read = 0, written = 0;
  for (const auto& f : r.files) {
    read += f.read;
    written += f.written;
  }
  out += "\n" + std::to_string(r.processes.size()) + " processes, " +
         std::to_string(r.files.size()) + " files, " + std::to_string(read) + " read, " +
         std::to_string(written) + " written\n";
  return out;
}

Result<std::string> render_json(std::span<const uint8_t> bytes) {
  auto decoded = decode_report(bytes);
  if (!decoded) return std::move(decoded).error();
  try {
    const char* p = reinterpret_cast<const char*>(bytes.data());
    const auto json = to_json(&p, p + bytes.size());
    return json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  } catch (const std::exception& e) {
    return Error(e.what());
  }
}

}  // namespace drel
