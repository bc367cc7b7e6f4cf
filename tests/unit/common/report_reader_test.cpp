// Decoding reports: round trips through the encoder, lenient value forms, strict structure.
#include "common/report_reader.h"

#include <gtest/gtest.h>
#include <msgpuck.h>

#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/report_encoder.h"
#include "support/case_names.h"

namespace drel {
namespace {

using Bytes = std::vector<uint8_t>;
using Entries = std::vector<std::pair<std::string, Bytes>>;

// Hand-built MessagePack, so the tests can write forms the encoder never does.
Bytes raw(std::initializer_list<int> b) { return Bytes(b.begin(), b.end()); }
Bytes s(std::string_view text) {
  Bytes out(mp_sizeof_str(static_cast<uint32_t>(text.size())));
  mp_encode_str(reinterpret_cast<char*>(out.data()), text.data(), static_cast<uint32_t>(text.size()));
  return out;
}
Bytes u(uint64_t v) {
  Bytes out(mp_sizeof_uint(v));
  mp_encode_uint(reinterpret_cast<char*>(out.data()), v);
  return out;
}
Bytes f64(double d) {
  Bytes out(9);
  mp_encode_double(reinterpret_cast<char*>(out.data()), d);
  return out;
}
Bytes arr(std::initializer_list<Bytes> items) {
  Bytes out(mp_sizeof_array(static_cast<uint32_t>(items.size())));
  mp_encode_array(reinterpret_cast<char*>(out.data()), static_cast<uint32_t>(items.size()));
  for (const auto& i : items) out.insert(out.end(), i.begin(), i.end());
  return out;
}
Bytes map(const Entries& entries) {
  Bytes out(mp_sizeof_map(static_cast<uint32_t>(entries.size())));
  mp_encode_map(reinterpret_cast<char*>(out.data()), static_cast<uint32_t>(entries.size()));
  for (const auto& [k, v] : entries) {
    const Bytes key = s(k);
    out.insert(out.end(), key.begin(), key.end());
    out.insert(out.end(), v.begin(), v.end());
  }
  return out;
}

Bytes process_bytes() {
  return map({{"pid", u(10)}, {"parent_pid", raw({0xc0})}, {"command", arr({s("sh")})},
              {"env", map({{"A", s("1")}})}});
}
Bytes file_bytes() {
  return map({{"path", s("/a")}, {"read", raw({0xc3})}, {"written", raw({0xc2})},
              {"read_threads", arr({u(10)})}});
}

Entries base() {
  return {{"version", u(1)},          {"processes", arr({process_bytes()})},
          {"files", arr({file_bytes()})}, {"start_time", f64(1.0)},
          {"end_time", f64(2.0)},     {"tracer_mode", s("ptrace")}};
}

Entries with(Entries e, const std::string& key, Bytes value) {
  for (auto& [k, v] : e)
    if (k == key) {
      v = std::move(value);
      return e;
    }
  e.emplace_back(key, std::move(value));
  return e;
}

Entries without(Entries e, const std::string& key) {
  std::erase_if(e, [&](const auto& kv) { return kv.first == key; });
  return e;
}

TraceReport full_report() {
  ProcessRecord root{1, std::nullopt, {"make", "-j2"}, {{"PATH", "/bin"}, {"HOME", "/root"}}};
  ProcessRecord child{4000000000u, 1, {"cc", "é"}, {}};
  FileRecord a{"/src/a.c", true, false, std::vector<uint32_t>{1, 70000}, std::nullopt,
               std::vector<uint64_t>{0, uint64_t{1} << 40}, std::nullopt};
  FileRecord b{"/out/a.o", false, true, std::nullopt, std::vector<uint32_t>{2}, std::nullopt,
               std::vector<uint64_t>{3}};
  FileRecord c{"/dev/null", false, false, std::vector<uint32_t>{}, std::nullopt, std::nullopt,
               std::nullopt};
  std::vector<FileRecord> files{a, b, c};
  auto lists = collect_path_lists(files);
  return make_report("preload", 4096, {child, root}, files, lists, {{"CC", "gcc"}}, 1.25,
                     1e9 + 0.5, 0);
}

TraceReport empty_report() {
  return make_report("ptrace", std::nullopt, {}, {}, {}, {}, 0.0, 0.0, std::nullopt);
}

struct ReportCase {
  const char* name;
  TraceReport (*make)();
};
void PrintTo(const ReportCase& c, std::ostream* os) { *os << c.name; }

class RoundTrip : public ::testing::TestWithParam<ReportCase> {};

TEST_P(RoundTrip, DecodeGivesBackWhatWasEncoded) {
  const TraceReport original = GetParam().make();
  auto bytes = encode_report(original);
  ASSERT_TRUE(bytes.ok());
  auto decoded = decode_report(*bytes);
  ASSERT_TRUE(decoded.ok()) << decoded.error().text();
  EXPECT_EQ(*decoded, original);
}

INSTANTIATE_TEST_SUITE_P(Reports, RoundTrip,
                         ::testing::Values(ReportCase{"full", &full_report},
                                           ReportCase{"empty", &empty_report}),
                         test::ByName());

TEST(ReportReader, EveryTruncationIsRejected) {
  auto bytes = encode_report(full_report());
  ASSERT_TRUE(bytes.ok());
  for (size_t len = 0; len < bytes->size(); ++len) {
    auto decoded = decode_report(std::span<const uint8_t>(bytes->data(), len));
    EXPECT_FALSE(decoded.ok()) << "prefix of " << len << " bytes accepted";
  }
}

// Each byte replaced by values that change a header's meaning: the reader must either reject
// the result or return a report that survives its own round trip.
TEST(ReportReader, CorruptedBytesAreRejectedOrConsistent) {
  auto bytes = encode_report(full_report());
  ASSERT_TRUE(bytes.ok());
  size_t accepted = 0;
  for (size_t i = 0; i < bytes->size(); ++i) {
    for (uint8_t v : {0x00, 0x7f, 0x80, 0x8f, 0x9f, 0xbf, 0xc0, 0xc1, 0xc3, 0xca, 0xcf, 0xd9, 0xdb,
                      0xdd, 0xdf, 0xff}) {
      Bytes copy = *bytes;
      copy[i] = v;
      auto decoded = decode_report(copy);
      if (!decoded.ok()) continue;
      ++accepted;
      auto again = encode_report(*decoded);
      ASSERT_TRUE(again.ok());
      auto redecoded = decode_report(*again);
      ASSERT_TRUE(redecoded.ok()) << "byte " << i << " = " << int(v);
      // A NaN time is kept, but never compares equal.
      for (double TraceReport::*t : {&TraceReport::start_time, &TraceReport::end_time})
        if (std::isnan(decoded.value().*t) && std::isnan(redecoded.value().*t))
          decoded.value().*t = redecoded.value().*t = 0.0;
      EXPECT_EQ(*redecoded, *decoded) << "byte " << i << " = " << int(v);
    }
  }
  // Some replacements only change a value (a pid digit, a path letter) and must be accepted.
  EXPECT_GT(accepted, 0u);
}

TEST(ReportReader, TrailingByteIsRejected) {
  auto bytes = encode_report(empty_report());
  ASSERT_TRUE(bytes.ok());
  bytes->push_back(0xc0);
  auto decoded = decode_report(*bytes);
  ASSERT_FALSE(decoded.ok());
  EXPECT_NE(decoded.error().text().find("trailing"), std::string::npos);
}

TEST(ReportReader, AcceptsNonShortestFormsAndAnyKeyOrder) {
  Bytes float32_two = {0xca, 0x40, 0x00, 0x00, 0x00};
  Bytes process = map({{"env", map({})}, {"command", arr({})}, {"parent_pid", raw({0xd0, 0x05})},
                       {"pid", raw({0xcf, 0, 0, 0, 0, 0, 0, 0, 0x2a})}});
  Entries e = {{"tracer_mode", s("preload")}, {"end_time", float32_two},
               {"start_time", raw({0x01})},   {"files", arr({})},
               {"processes", arr({process})}, {"events_dropped", raw({0xcd, 0x00, 0x03})},
               {"version", raw({0xce, 0, 0, 0, 1})}};
  auto decoded = decode_report(map(e));
  ASSERT_TRUE(decoded.ok()) << decoded.error().text();
  ASSERT_EQ(decoded->processes.size(), 1u);
  EXPECT_EQ(decoded->processes[0].pid, 42u);
  EXPECT_EQ(decoded->processes[0].parent_pid, std::optional<uint32_t>(5));
  EXPECT_EQ(decoded->start_time, 1.0);
  EXPECT_EQ(decoded->end_time, 2.0);
  EXPECT_EQ(decoded->events_dropped, std::optional<uint64_t>(3));
  EXPECT_EQ(decoded->tracer_mode, "preload");
}

struct BadCase {
  const char* name;
  Bytes bytes;
  const char* expected_fragment;  // part of the error message
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class Rejects : public ::testing::TestWithParam<BadCase> {};

TEST_P(Rejects, WithAMessageNamingTheProblem) {
  auto decoded = decode_report(GetParam().bytes);
  ASSERT_FALSE(decoded.ok());
  EXPECT_NE(decoded.error().text().find(GetParam().expected_fragment), std::string::npos)
      << decoded.error().text();
}

Bytes top_map32(uint32_t claimed) {
  return raw({0xdf, static_cast<int>(claimed >> 24), static_cast<int>((claimed >> 16) & 0xff),
              static_cast<int>((claimed >> 8) & 0xff), static_cast<int>(claimed & 0xff), 0xa1, 'x'});
}

std::vector<BadCase> bad_cases() {
  const Bytes huge_array = raw({0xdd, 0xff, 0xff, 0xff, 0xff, 0x01});
  const Bytes huge_string = raw({0xdb, 0xff, 0xff, 0xff, 0xf0, 'a'});
  return {
      {"empty", {}, "empty input"},
      {"not_a_map", arr({}), "expected a map, found array"},
      {"reserved_byte", raw({0xc1}), "0xc1"},
      {"version_string", map(with(base(), "version", s("1"))), "version: expected an unsigned"},
      {"version_two", map(with(base(), "version", u(2))), "unsupported report version 2"},
      {"processes_map", map(with(base(), "processes", map({}))), "processes: expected an array"},
      {"pid_negative",
       map(with(base(), "processes", arr({map({{"pid", raw({0xff})}})}))),
       "processes[0].pid: expected an unsigned integer, found a negative"},
      {"pid_too_wide",
       map(with(base(), "processes",
                arr({map({{"pid", u(uint64_t{1} << 32)}, {"parent_pid", raw({0xc0})},
                          {"command", arr({})}, {"env", map({})}})}))),
       "does not fit in 32 bits"},
      {"parent_pid_missing",
       map(with(base(), "processes",
                arr({map({{"pid", u(1)}, {"command", arr({})}, {"env", map({})}})}))),
       "processes[0]: missing key \"parent_pid\""},
      {"duplicate_top_key", map([] { auto e = base(); e.emplace_back("files", arr({})); return e; }()),
       "duplicate key \"files\""},
      {"duplicate_env_name",
       map(with(base(), "env_accessed", raw({0x82, 0xa1, 'A', 0xa0, 0xa1, 'A', 0xa0}))),
       "env_accessed: duplicate key \"A\""},
      {"unknown_key", map(with(base(), "colour", s("blue"))), "unknown key \"colour\""},
      {"missing_tracer_mode", map(without(base(), "tracer_mode")), "missing key \"tracer_mode\""},
      {"missing_start_time", map(without(base(), "start_time")), "missing key \"start_time\""},
      {"time_as_string", map(with(base(), "end_time", s("now"))), "end_time: expected a number"},
      {"path_not_utf8",
       map(with(base(), "files",
                arr({map({{"path", raw({0xa2, 0xc3, 0x28})}, {"read", raw({0xc3})},
                          {"written", raw({0xc2})}})}))),
       "files[0].path: string is not valid UTF-8"},
      {"file_is_binary", map(with(base(), "files", arr({raw({0xc4, 0x01, 0x00})}))),
       "files[0]: expected a map, found binary"},
      {"thread_is_string",
       map(with(base(), "files",
                arr({map({{"path", s("/a")}, {"read", raw({0xc3})}, {"written", raw({0xc2})},
                          {"read_threads", arr({u(1), s("2")})}})}))),
       "files[0].read_threads[1]: expected an unsigned integer, found string"},
      {"env_value_nil",
       map(with(base(), "processes",
                arr({map({{"pid", u(1)}, {"parent_pid", raw({0xc0})}, {"command", arr({})},
                          {"env", map({{"A", raw({0xc0})}})}})}))),
       "expected a string, found nil"},
      {"read_as_int",
       map(with(base(), "files",
                arr({map({{"path", s("/a")}, {"read", u(1)}, {"written", raw({0xc2})}})}))),
       "files[0].read: expected a boolean"},
      {"absurd_array", map(with(base(), "processes", huge_array)), "4294967295 elements"},
      {"absurd_string", map(with(base(), "tracer_mode", huge_string)), "truncated"},
      {"absurd_map", top_map32(0xffffffffu), "4294967295 entries"},
      {"half_of_map32_range", top_map32(0x80000000u), "2147483648 entries"},
  };
}

INSTANTIATE_TEST_SUITE_P(Malformed, Rejects, ::testing::ValuesIn(bad_cases()),
                         test::ByName());

TEST(ReportReader, ReadsFileAndNamesContentErrors) {
  const std::string dir = ::testing::TempDir();
  const std::string good = dir + "/reader-good.msgpack";
  const std::string bad = dir + "/reader-bad.msgpack";
  auto bytes = encode_report(full_report());
  ASSERT_TRUE(bytes.ok());
  FILE* f = std::fopen(good.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(bytes->data(), 1, bytes->size(), f);
  std::fclose(f);
  f = std::fopen(bad.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs("{\"version\": 1}\n", f);
  std::fclose(f);

  auto decoded = read_report_file(good);
  ASSERT_TRUE(decoded.ok()) << decoded.error().text();
  EXPECT_EQ(*decoded, full_report());

  auto rejected = read_report_file(bad);
  ASSERT_FALSE(rejected.ok());
  EXPECT_EQ(rejected.error().message(), "not a valid trace report");

  auto missing = read_report_file(dir + "/reader-missing.msgpack");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().text(), "No such file or directory (os error 2)");
  std::remove(good.c_str());
  std::remove(bad.c_str());
}

}  // namespace
}  // namespace drel
