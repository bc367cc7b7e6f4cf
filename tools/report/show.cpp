#include "show.h"

#include <time.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "path_filter.h"
#include "process_tree.h"
#include "text_line.h"

namespace drel::report {
namespace {

constexpr const char* kFilesLegend =
    "files (r read, w written, - not; by: threads, as program[pid] where known):";

std::string seconds_text(double s) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6f s", s);
  return buf;
}

std::string thread_list(const std::vector<uint32_t>& ids, const ProcessIndex& index) {
  std::string out;
  for (uint32_t id : ids) {
    if (!out.empty()) out += ", ";
    out += index.describe(id);
  }
  return out;
}

// Appends one line, cut to the width.
void line(std::string& out, const std::string& text, size_t width) {
  out += cut_to_width(text, width);
  out += '\n';
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

std::string render_text(const TraceReport& r, const Options& options) {
  const size_t w = options.width;
  std::string out;
  line(out, "tracer mode:    " + printable(r.tracer_mode), w);
  line(out, "start:          " + format_utc(r.start_time), w);
  line(out, "end:            " + format_utc(r.end_time), w);
  line(out, "duration:       " + seconds_text(r.end_time - r.start_time), w);
  if (r.events_dropped) line(out, "events dropped: " + std::to_string(*r.events_dropped), w);
  if (r.chunk_size) line(out, "chunk size:     " + std::to_string(*r.chunk_size), w);

  out += "\n";
  line(out, "processes (pid and command):", w);
  for (const auto& e : process_tree(r.processes)) {
    const auto& p = r.processes[e.index];
    line(out, std::string((e.depth + 1) * 2, ' ') + std::to_string(p.pid) + " " + command_text(p),
         w);
  }

  out += "\n";
  line(out, kFilesLegend, w);
  const PathFilter filter(options);
  const ProcessIndex index(r.processes);
  size_t shown = 0, read = 0, written = 0;
  for (const auto& f : r.files) {
    if (!filter.keeps(f.path)) continue;
    ++shown;
    read += f.read;
    written += f.written;
    std::string text = "  ";
    text += f.read ? 'r' : '-';
    text += f.written ? 'w' : '-';
    text += ' ';
    text += printable(f.path);
    std::string by;
    if (f.read_threads && !f.read_threads->empty())
      by += "read by " + thread_list(*f.read_threads, index);
    if (f.written_threads && !f.written_threads->empty()) {
      if (!by.empty()) by += "; ";
      by += "written by " + thread_list(*f.written_threads, index);
    }
    if (!by.empty()) text += "  (" + by + ")";
    line(out, text, w);
  }

  std::string totals =
      std::to_string(r.processes.size()) + " processes, " + std::to_string(shown) + " files";
  if (shown != r.files.size())
    totals += " (" + std::to_string(r.files.size() - shown) + " more left out by the filters)";
  totals += ", " + std::to_string(read) + " read, " + std::to_string(written) + " written";
  out += "\n";
  line(out, totals, w);
  return out;
}

int run_show(const Options& options, const std::vector<LoadedReport>& reports, Output& output) {
  output.out = render_text(reports.front().report, options);
  return 0;
}

}  // namespace drel::report
