#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "preload/guest/event_encoding.h"
#include "support/event_frames.h"

namespace drel::guest {
namespace {

using Bytes = std::vector<uint8_t>;

// The whole frame as a sender puts it on the wire: the head, then the path's own bytes.
Bytes frame(EventKind kind, uint32_t pid, uint32_t tid, const std::string& path) {
  char head[kFrameHeadCapacity];
  size_t n = frame_event_head(kind, pid, tid, path.size(), head, sizeof head);
  if (n == 0) return {};
  Bytes out(head, head + n);
  out.insert(out.end(), path.begin(), path.end());
  return out;
}

// The frame's payload, without its length.
Bytes encode(EventKind kind, uint32_t pid, uint32_t tid, const std::string& path) {
  Bytes whole = frame(kind, pid, tid, path);
  return whole.size() < 4 ? Bytes{} : Bytes(whole.begin() + 4, whole.end());
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes str_bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(GuestEventEncoding, WorkedExampleFrameMatchesByteForByte) {
  const Bytes expected = {
      0x37, 0x00, 0x00, 0x00, 0x84, 0xa4, 0x6b, 0x69, 0x6e, 0x64, 0xaa, 0x6f, 0x70, 0x65, 0x6e,
      0x5f, 0x77, 0x72, 0x69, 0x74, 0x65, 0xa3, 0x70, 0x69, 0x64, 0xcd, 0x01, 0x2c, 0xa9, 0x74,
      0x68, 0x72, 0x65, 0x61, 0x64, 0x5f, 0x69, 0x64, 0xcd, 0x01, 0x2d, 0xa4, 0x70, 0x61, 0x74,
      0x68, 0xac, 0x2f, 0x74, 0x6d, 0x70, 0x2f, 0x6f, 0x75, 0x74, 0x2e, 0x74, 0x78, 0x74};
  ASSERT_EQ(expected.size(), 59u);
  EXPECT_EQ(frame(EventKind::OpenWrite, 300, 301, "/tmp/out.txt"), expected);
}

TEST(GuestEventEncoding, FrameIsLittleEndianLengthThenPayload) {
  std::string path(300, 'p');
  Bytes payload = encode(EventKind::Read, 70000, 5, path);
  Bytes framed = frame(EventKind::Read, 70000, 5, path);
  ASSERT_EQ(framed.size(), payload.size() + 4);
  uint32_t len = framed[0] | (framed[1] << 8) | (framed[2] << 16) | (uint32_t{framed[3]} << 24);
  EXPECT_EQ(len, payload.size());
  EXPECT_EQ(Bytes(framed.begin() + 4, framed.end()), payload);
}

struct KindCase {
  EventKind kind;
  const char* name;
};

void PrintTo(const KindCase& c, std::ostream* os) { *os << c.name; }

class GuestEventKinds : public testing::TestWithParam<KindCase> {};

TEST_P(GuestEventKinds, KindIsItsNameAsFixstr) {
  const KindCase& c = GetParam();
  std::string name = c.name;
  Bytes expected = concat({{0x84, 0xa4}, str_bytes("kind"),
                           {static_cast<uint8_t>(0xa0 | name.size())}, str_bytes(name),
                           {0xa3}, str_bytes("pid"), {0x01, 0xa9}, str_bytes("thread_id"),
                           {0x02, 0xa4}, str_bytes("path"), {0xa2}, str_bytes("/a")});
  EXPECT_EQ(encode(c.kind, 1, 2, "/a"), expected);
  EXPECT_STREQ(protocol::event_kind_name(c.kind), c.name);
}

INSTANTIATE_TEST_SUITE_P(AllKinds, GuestEventKinds,
                         testing::Values(KindCase{EventKind::Read, "read"},
                                         KindCase{EventKind::Write, "write"},
                                         KindCase{EventKind::OpenRead, "open_read"},
                                         KindCase{EventKind::OpenWrite, "open_write"}),
                         [](const auto& info) { return std::string(info.param.name); });

struct UintCase {
  uint32_t value;
  Bytes form;
};

void PrintTo(const UintCase& c, std::ostream* os) { *os << c.value; }

class GuestEventIntegers : public testing::TestWithParam<UintCase> {};

// pid and thread_id take the shortest unsigned form for their value.
TEST_P(GuestEventIntegers, PidAndThreadIdUseShortestForm) {
  const UintCase& c = GetParam();
  Bytes expected = concat({{0x84, 0xa4}, str_bytes("kind"), {0xa4}, str_bytes("read"), {0xa3},
                           str_bytes("pid"), c.form, {0xa9}, str_bytes("thread_id"), c.form,
                           {0xa4}, str_bytes("path"), {0xa1, '/'}});
  EXPECT_EQ(encode(EventKind::Read, c.value, c.value, "/"), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, GuestEventIntegers,
    testing::Values(UintCase{0, {0x00}}, UintCase{127, {0x7f}}, UintCase{128, {0xcc, 0x80}},
                    UintCase{255, {0xcc, 0xff}}, UintCase{256, {0xcd, 0x01, 0x00}},
                    UintCase{65535, {0xcd, 0xff, 0xff}},
                    UintCase{65536, {0xce, 0x00, 0x01, 0x00, 0x00}},
                    UintCase{4294967295u, {0xce, 0xff, 0xff, 0xff, 0xff}}),
    [](const auto& info) { return "value_" + std::to_string(info.param.value); });

struct PathCase {
  size_t length;
  Bytes header;
};

void PrintTo(const PathCase& c, std::ostream* os) { *os << c.length << " bytes"; }

class GuestEventPaths : public testing::TestWithParam<PathCase> {};

TEST_P(GuestEventPaths, PathUsesShortestStringForm) {
  const PathCase& c = GetParam();
  std::string path(c.length, 'x');
  Bytes expected = concat({{0x84, 0xa4}, str_bytes("kind"), {0xa5}, str_bytes("write"), {0xa3},
                           str_bytes("pid"), {0x07}, {0xa9}, str_bytes("thread_id"), {0x08},
                           {0xa4}, str_bytes("path"), c.header, str_bytes(path)});
  EXPECT_EQ(encode(EventKind::Write, 7, 8, path), expected);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, GuestEventPaths,
                         testing::Values(PathCase{1, {0xa1}}, PathCase{31, {0xbf}},
                                         PathCase{32, {0xd9, 0x20}}, PathCase{255, {0xd9, 0xff}},
                                         PathCase{256, {0xda, 0x01, 0x00}},
                                         PathCase{4096, {0xda, 0x10, 0x00}}),
                         [](const auto& info) { return "length_" + std::to_string(info.param.length); });

// A sender that writes the head and then the path puts on the wire the frame any MessagePack
// encoder would build for the event.
TEST_P(GuestEventPaths, HeadFollowedByPathIsTheWholeFrame) {
  std::string path(GetParam().length, 'y');
  Bytes whole = test::frame(test::event_payload("open_read", 128, 70000, path));
  char head[kFrameHeadCapacity];
  size_t n = frame_event_head(EventKind::OpenRead, 128, 70000, path.size(), head, sizeof head);
  ASSERT_GT(n, 0u);
  Bytes joined = concat({Bytes(head, head + n), str_bytes(path)});
  EXPECT_EQ(joined, whole);
  EXPECT_EQ(frame_event_head(EventKind::OpenRead, 128, 70000, path.size(), head, n - 1), 0u);
}

TEST(GuestEventEncoding, LongestHeadFitsItsCapacity) {
  char head[kFrameHeadCapacity];
  EXPECT_GT(frame_event_head(EventKind::OpenWrite, UINT32_MAX, UINT32_MAX, UINT32_MAX - 100, head,
                             sizeof head),
            0u);
}

// A Process frame's pieces, joined with the areas between them, are the frame a MessagePack
// encoder makes of the same map; areas take bin in its shortest form, so every length row
// crosses a form boundary.
struct ProcessFrameCase {
  std::string name;
  size_t cmdline_len;
  size_t environ_len;
  bool known;
};

void PrintTo(const ProcessFrameCase& c, std::ostream* os) { *os << c.name; }

class GuestProcessFrames : public testing::TestWithParam<ProcessFrameCase> {};

TEST_P(GuestProcessFrames, PiecesAndAreasMakeTheWholeFrame) {
  const ProcessFrameCase& c = GetParam();
  const std::string cmdline(c.cmdline_len, 'c');
  const std::string environ(c.environ_len, 'e');
  ProcessAreas areas{cmdline.data(), cmdline.size(), environ.data(), environ.size(), c.known};
  char head[kProcessHeadCapacity];
  char middle[kProcessMiddleCapacity];
  size_t middle_len = 99;
  const size_t n = frame_process(UINT32_MAX, 70000, 1, c.known, areas, head, sizeof head, middle,
                                 sizeof middle, middle_len);
  ASSERT_GT(n, 0u);
  test::Pack p;
  p.map(c.known ? 7 : 5).str("kind").str("process").str("pid").uint(UINT32_MAX);
  p.str("thread_id").uint(70000).str("parent_pid").uint(1).str("exec");
  p.raw({static_cast<uint8_t>(c.known ? 0xc3 : 0xc2)});
  Bytes joined(head, head + n);
  if (c.known) {
    p.str("cmdline").bin(cmdline).str("environ").bin(environ);
    joined = concat({joined, str_bytes(cmdline), Bytes(middle, middle + middle_len),
                     str_bytes(environ)});
  } else {
    EXPECT_EQ(middle_len, 0u);
  }
  EXPECT_EQ(joined, test::frame(p.bytes()));
  EXPECT_EQ(frame_process(UINT32_MAX, 70000, 1, c.known, areas, head, n - 1, middle,
                          sizeof middle, middle_len),
            0u);
}

INSTANTIATE_TEST_SUITE_P(Areas, GuestProcessFrames,
                         testing::Values(ProcessFrameCase{"Empty", 0, 0, true},
                                         ProcessFrameCase{"Bin8", 255, 1, true},
                                         ProcessFrameCase{"Bin16", 256, 65535, true},
                                         ProcessFrameCase{"Bin32", 65536, 300000, true},
                                         ProcessFrameCase{"Unknown", 10, 10, false}),
                         [](const auto& info) { return info.param.name; });

class GuestEventCapacity : public testing::TestWithParam<size_t> {};

// A buffer one byte short is refused untouched; an exact one is enough.
TEST_P(GuestEventCapacity, RefusesShortBufferWithoutWritingIntoIt) {
  const size_t path_len = GetParam();
  std::vector<char> big(kFrameHeadCapacity);
  size_t need = frame_event_head(EventKind::OpenWrite, 300, 301, path_len, big.data(), big.size());
  ASSERT_GT(need, 0u);

  std::vector<char> buf(need + 8, '\x5a');
  EXPECT_EQ(frame_event_head(EventKind::OpenWrite, 300, 301, path_len, buf.data(), need - 1), 0u);
  for (char c : buf) ASSERT_EQ(c, '\x5a');
  EXPECT_EQ(frame_event_head(EventKind::OpenWrite, 300, 301, path_len, buf.data(), need), need);
  EXPECT_EQ(buf[need], '\x5a');
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + static_cast<long>(need), big.begin()));
}

INSTANTIATE_TEST_SUITE_P(PathLengths, GuestEventCapacity, testing::Values(0, 12, 300, 70000),
                         [](const auto& info) { return "path_of_" + std::to_string(info.param); });

}  // namespace
}  // namespace drel::guest
