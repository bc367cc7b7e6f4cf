// Byte-exact checks of the report's MessagePack form.
#include "common/report_encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace drel {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes encode(const TraceReport& r) {
  auto bytes = encode_report(r);
  EXPECT_TRUE(bytes.ok());
  return bytes.ok() ? *bytes : Bytes{};
}

Bytes str(std::string_view s) {
  Bytes out;
  if (s.size() < 32) {
    out.push_back(static_cast<uint8_t>(0xa0 + s.size()));
  } else {
    out.push_back(0xd9);
    out.push_back(static_cast<uint8_t>(s.size()));
  }
  out.insert(out.end(), s.begin(), s.end());
  return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes float64(double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  Bytes out{0xcb};
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(bits >> shift));
  return out;
}

// Position of needle in haystack, or npos.
size_t find(const Bytes& haystack, const Bytes& needle) {
  auto it = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end());
  return it == haystack.end() ? std::string::npos : static_cast<size_t>(it - haystack.begin());
}

TraceReport minimal(std::string mode, std::optional<uint64_t> dropped) {
  return make_report(std::move(mode), std::nullopt, {}, {}, {}, {}, 0.0, 1.5, dropped);
}

TEST(ReportEncoder, MinimalPtraceReportIsExactlySixEntries) {
  const Bytes expected = cat({{0x86}, str("version"), {0x01}, str("processes"), {0x90},
                              str("files"), {0x90}, str("start_time"), float64(0.0),
                              str("end_time"), float64(1.5), str("tracer_mode"), str("ptrace")});
  EXPECT_EQ(encode(minimal("ptrace", std::nullopt)), expected);
}

TEST(ReportEncoder, MinimalPreloadReportHasSevenEntriesEndingWithEventsDropped) {
  const Bytes bytes = encode(minimal("preload", 300));
  ASSERT_FALSE(bytes.empty());
  EXPECT_EQ(bytes[0], 0x87);
  const Bytes tail = cat({str("tracer_mode"), str("preload"), str("events_dropped"), {0xcd, 0x01, 0x2c}});
  ASSERT_GE(bytes.size(), tail.size());
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), bytes.end() - static_cast<long>(tail.size())));
}

TEST(ReportEncoder, ZeroTimeIsFloat64NotInteger) {
  const Bytes bytes = encode(minimal("ptrace", std::nullopt));
  const Bytes zero = cat({str("start_time"), {0xcb, 0, 0, 0, 0, 0, 0, 0, 0}});
  EXPECT_NE(find(bytes, zero), std::string::npos);
}

TEST(ReportEncoder, ProcessWithoutParentWritesNilAndKeepsKeyOrder) {
  ProcessRecord p;
  p.pid = 5;
  p.command = {"sh"};
  auto r = make_report("ptrace", std::nullopt, {p}, {}, {}, {}, 0.0, 0.0, std::nullopt);
  const Bytes expected_process = cat({{0x84}, str("pid"), {0x05}, str("parent_pid"), {0xc0},
                                      str("command"), {0x91}, str("sh"), str("env"), {0x80}});
  const Bytes head = cat({{0x86}, str("version"), {0x01}, str("processes"), {0x91}, expected_process,
                          str("files"), {0x90}});
  const Bytes bytes = encode(r);
  ASSERT_GE(bytes.size(), head.size());
  EXPECT_TRUE(std::equal(head.begin(), head.end(), bytes.begin()));
}

struct UintCase {
  uint64_t value;
  Bytes encoded;
};

std::string name_of(const UintCase& c) { return "pid_" + std::to_string(c.value); }
void PrintTo(const UintCase& c, std::ostream* os) { *os << name_of(c); }

class PidWidth : public ::testing::TestWithParam<UintCase> {};

TEST_P(PidWidth, ShortestUnsignedForm) {
  ProcessRecord p;
  p.pid = static_cast<uint32_t>(GetParam().value);
  p.parent_pid = static_cast<uint32_t>(GetParam().value);
  auto r = make_report("ptrace", std::nullopt, {p}, {}, {}, {}, 0.0, 0.0, std::nullopt);
  const Bytes bytes = encode(r);
  EXPECT_NE(find(bytes, cat({str("pid"), GetParam().encoded, str("parent_pid"), GetParam().encoded})),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Widths, PidWidth,
    ::testing::Values(UintCase{0, {0x00}}, UintCase{127, {0x7f}}, UintCase{128, {0xcc, 0x80}},
                      UintCase{255, {0xcc, 0xff}}, UintCase{256, {0xcd, 0x01, 0x00}},
                      UintCase{70000, {0xce, 0x00, 0x01, 0x11, 0x70}},
                      UintCase{4294967295u, {0xce, 0xff, 0xff, 0xff, 0xff}}),
    [](const auto& info) { return name_of(info.param); });

TEST(ReportEncoder, LargeCountersUseUint64) {
  auto r = make_report("preload", uint64_t{1} << 32, {}, {}, {}, {}, 0.0, 0.0, uint64_t{1} << 40);
  const Bytes bytes = encode(r);
  EXPECT_NE(find(bytes, cat({str("chunk_size"), {0xcf, 0, 0, 0, 1, 0, 0, 0, 0}})), std::string::npos);
  EXPECT_NE(find(bytes, cat({str("events_dropped"), {0xcf, 0, 0, 1, 0, 0, 0, 0, 0}})),
            std::string::npos);
  EXPECT_EQ(bytes[0], 0x88);
}

struct StringCase {
  size_t length;
  Bytes header;
};

std::string name_of(const StringCase& c) { return "length_" + std::to_string(c.length); }
void PrintTo(const StringCase& c, std::ostream* os) { *os << name_of(c); }

class StringWidth : public ::testing::TestWithParam<StringCase> {};

TEST_P(StringWidth, HeaderForLength) {
  const std::string s(GetParam().length, 'x');
  auto r = make_report(s, std::nullopt, {}, {}, {}, {}, 0.0, 0.0, std::nullopt);
  const Bytes bytes = encode(r);
  const Bytes tail = cat({str("tracer_mode"), GetParam().header, Bytes(s.begin(), s.end())});
  ASSERT_GE(bytes.size(), tail.size());
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), bytes.end() - static_cast<long>(tail.size())));
}

INSTANTIATE_TEST_SUITE_P(Lengths, StringWidth,
                         ::testing::Values(StringCase{0, {0xa0}}, StringCase{31, {0xbf}},
                                           StringCase{32, {0xd9, 32}}, StringCase{255, {0xd9, 255}},
                                           StringCase{256, {0xda, 0x01, 0x00}},
                                           StringCase{65536, {0xdb, 0x00, 0x01, 0x00, 0x00}}),
                         [](const auto& info) { return name_of(info.param); });

struct CountCase {
  size_t count;
  Bytes array_header;
  Bytes map_header;
};

std::string name_of(const CountCase& c) { return "count_" + std::to_string(c.count); }
void PrintTo(const CountCase& c, std::ostream* os) { *os << name_of(c); }

class ContainerWidth : public ::testing::TestWithParam<CountCase> {};

TEST_P(ContainerWidth, ArrayAndMapHeaders) {
  ProcessRecord p;
  p.pid = 1;
  for (size_t i = 0; i < GetParam().count; ++i) {
    p.command.push_back("a");
    char key[32];
    std::snprintf(key, sizeof key, "K%05zu", i);
    p.env.emplace(key, "v");
  }
  auto r = make_report("ptrace", std::nullopt, {p}, {}, {}, {}, 0.0, 0.0, std::nullopt);
  const Bytes bytes = encode(r);
  EXPECT_NE(find(bytes, cat({str("command"), GetParam().array_header, str("a")})), std::string::npos);
  EXPECT_NE(find(bytes, cat({str("env"), GetParam().map_header, {0xa6, 'K'}})), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Counts, ContainerWidth,
                         ::testing::Values(CountCase{1, {0x91}, {0x81}}, CountCase{15, {0x9f}, {0x8f}},
                                           CountCase{16, {0xdc, 0x00, 0x10}, {0xde, 0x00, 0x10}},
                                           CountCase{65536, {0xdd, 0x00, 0x01, 0x00, 0x00},
                                                     {0xdf, 0x00, 0x01, 0x00, 0x00}}),
                         [](const auto& info) { return name_of(info.param); });

TEST(ReportEncoder, FileRecordOmitsAbsentListsAndKeepsEmptyPresentOnes) {
  FileRecord f;
  f.path = "/a";
  f.written = true;
  f.written_threads = std::vector<uint32_t>{7, 300};
  auto r = make_report("ptrace", std::nullopt, {}, {f}, collect_path_lists({f}), {}, 0.0, 0.0,
                       std::nullopt);
  const Bytes record = cat({{0x84}, str("path"), str("/a"), str("read"), {0xc2}, str("written"),
                            {0xc3}, str("written_threads"), {0x92, 0x07, 0xcd, 0x01, 0x2c}});
  const Bytes bytes = encode(r);
  EXPECT_NE(find(bytes, cat({str("files"), {0x91}, record, str("opened_files"), {0x91}, str("/a"),
                             str("written_files"), {0x91}, str("/a"), str("start_time")})),
            std::string::npos);
  EXPECT_EQ(find(bytes, str("read_files")), std::string::npos);
}

TEST(ReportEncoder, EnvAccessedPresentOnlyWhenNotEmpty) {
  auto r = make_report("ptrace", std::nullopt, {}, {}, {}, {{"HOME", "/root"}}, 0.0, 0.0,
                       std::nullopt);
  const Bytes bytes = encode(r);
  EXPECT_EQ(bytes[0], 0x87);
  EXPECT_NE(find(bytes, cat({str("env_accessed"), {0x81}, str("HOME"), str("/root"),
                             str("start_time")})),
            std::string::npos);
}

}  // namespace
}  // namespace drel
