#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "common/error.h"
#include "preload/launcher/event_decoding.h"
#include "support/event_frames.h"

namespace drel::launcher {
namespace {

using test::Pack;

// An event with its own copy of the path, to compare.
struct NativeTraceEvent {
  EventKind kind = EventKind::Read;
  uint32_t pid = 0;
  uint32_t thread_id = 0;
  std::string path;
  std::string from = {};
  uint64_t time = 0;
  bool exchange = false;

  bool operator==(const NativeTraceEvent&) const = default;
};

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

Result<NativeTraceEvent> decode_event(std::span<const uint8_t> payload) {
  NativeTraceEventView view;
  DecodeFailure failure = DecodeFailure::Malformed;
  if (!decode_event_view(payload, view, failure)) return Error(decode_failure_text(failure));
  return NativeTraceEvent{view.kind,          view.pid,  view.thread_id, std::string(view.path),
                          std::string(view.from), view.time, view.exchange};
}

struct AcceptCase {
  std::string name;
  std::function<std::vector<uint8_t>()> payload;
  NativeTraceEvent expected;
};

// A value nested `levels` arrays deep, ending in nil.
Pack& nest(Pack& p, size_t levels) {
  for (size_t i = 0; i < levels; ++i) p.array(1);
  return p.nil();
}

std::vector<uint8_t> with_extra_value(size_t nesting) {
  Pack p;
  p.map(5).str("extra");
  nest(p, nesting);
  p.str("kind").str("read").str("pid").uint(1).str("thread_id").uint(2).str("path").str("/n");
  return p.bytes();
}

const std::vector<AcceptCase>& accept_cases() {
  static const std::vector<AcceptCase> cases = {
      {"WorkedExample",
       [] {
         // A wrapper's frame for OpenWrite, pid 300, thread 301, /tmp/out.txt, without its length.
         return std::vector<uint8_t>{
             0x84, 0xa4, 0x6b, 0x69, 0x6e, 0x64, 0xaa, 0x6f, 0x70, 0x65, 0x6e, 0x5f, 0x77, 0x72,
             0x69, 0x74, 0x65, 0xa3, 0x70, 0x69, 0x64, 0xcd, 0x01, 0x2c, 0xa9, 0x74, 0x68, 0x72,
             0x65, 0x61, 0x64, 0x5f, 0x69, 0x64, 0xcd, 0x01, 0x2d, 0xa4, 0x70, 0x61, 0x74, 0x68,
             0xac, 0x2f, 0x74, 0x6d, 0x70, 0x2f, 0x6f, 0x75, 0x74, 0x2e, 0x74, 0x78, 0x74};
       },
       {EventKind::OpenWrite, 300, 301, "/tmp/out.txt"}},
      {"KeysInAnotherOrder",
       [] {
         return Pack().map(4).str("path").str("/a").str("thread_id").uint(9).str("kind")
             .str("write").str("pid").uint(8).bytes();
       },
       {EventKind::Write, 8, 9, "/a"}},
      {"UnknownKeysWithNestedValuesSkipped",
       [] {
         return Pack().map(6).str("zz").map(1).str("k").array(2).uint(1).str("x")
             .str("kind").str("open_read").str("pid").uint(1).str("ext").raw({0xd4, 0x01, 0xff})
             .str("thread_id").uint(2).str("path").str("/p").bytes();
       },
       {EventKind::OpenRead, 1, 2, "/p"}},
      {"NonStringKeySkipped",
       [] {
         return Pack().map(5).uint(7).array(2).nil().float64(1.5).str("kind").str("read")
             .str("pid").uint(1).str("thread_id").uint(2).str("path").str("/p").bytes();
       },
       {EventKind::Read, 1, 2, "/p"}},
      {"KindAsBin",
       [] {
         return Pack().map(4).str("kind").bin("open_write").str("pid").uint(1)
             .str("thread_id").uint(2).str("path").str("/b").bytes();
       },
       {EventKind::OpenWrite, 1, 2, "/b"}},
      {"KindAsIndex",
       [] {
         return Pack().map(4).str("kind").uint(2).str("pid").uint(1).str("thread_id").uint(2)
             .str("path").str("/i").bytes();
       },
       {EventKind::OpenRead, 1, 2, "/i"}},
      {"KindAsSignedIndex",
       [] {
         return Pack().map(4).str("kind").raw({0xd0, 0x03}).str("pid").uint(1)
             .str("thread_id").uint(2).str("path").str("/i").bytes();
       },
       {EventKind::OpenWrite, 1, 2, "/i"}},
      {"IdsInWideAndSignedForms",
       [] {
         return Pack().map(4).str("kind").str("read").str("pid")
             .raw({0xcf, 0, 0, 0, 0, 0, 0, 0x01, 0x2c}).str("thread_id")
             .raw({0xd2, 0x00, 0x00, 0x01, 0x2d}).str("path").str("/w").bytes();
       },
       {EventKind::Read, 300, 301, "/w"}},
      {"LargestIds",
       [] {
         return Pack().map(4).str("kind").str("read").str("pid").uint(4294967295u)
             .str("thread_id").raw({0xd0, 0x00}).str("path").str("/m").bytes();
       },
       {EventKind::Read, 4294967295u, 0, "/m"}},
      {"PathAsUtf8Bin",
       [] {
         return Pack().map(4).str("kind").str("write").str("pid").uint(1).str("thread_id")
             .uint(2).str("path").bin("/tmp/caf\xc3\xa9").bytes();
       },
       {EventKind::Write, 1, 2, "/tmp/caf\xc3\xa9"}},
      {"LongPathStr16",
       [] { return test::event_payload("read", 5, 6, "/" + std::string(300, 'x')); },
       {EventKind::Read, 5, 6, "/" + std::string(300, 'x')}},
      {"ArrayForm",
       [] { return Pack().array(4).str("write").uint(1).uint(2).str("/arr").bytes(); },
       {EventKind::Write, 1, 2, "/arr"}},
      {"ArrayFormWithIndex",
       [] { return Pack().array(4).uint(3).uint(1).uint(2).bin("/arr").bytes(); },
       {EventKind::OpenWrite, 1, 2, "/arr"}},
      {"TrailingBytesIgnored",
       [] {
         Pack p;
         p.raw(test::event_payload("read", 1, 2, "/t")).raw({0xc1, 0xff, 0x00});
         return p.bytes();
       },
       {EventKind::Read, 1, 2, "/t"}},
      {"NestingAtTheLimit",
       [] { return with_extra_value(kMaxEventNesting - 1); },
       {EventKind::Read, 1, 2, "/n"}},
      {"RenameWithBothNames",
       [] { return test::rename_payload(1, 2, 1234567890123ull, "/w/out.tmp", "/w/out"); },
       {EventKind::Rename, 1, 2, "/w/out", "/w/out.tmp", 1234567890123ull, false}},
      {"RenameExchangeKeysInAnotherOrder",
       [] {
         return Pack().map(7).str("from").str("/a").str("exchange").boolean(true).str("path")
             .str("/b").str("time").uint(9).str("thread_id").uint(2).str("kind").str("rename")
             .str("pid").uint(1).bytes();
       },
       {EventKind::Rename, 1, 2, "/b", "/a", 9, true}},
      {"RenameKeysOnAFileEventAreUnknownKeys",
       [] {
         return Pack().map(7).str("kind").str("write").str("pid").uint(1).str("thread_id")
             .uint(2).str("from").uint(5).str("time").str("x").str("exchange").nil()
             .str("path").str("/f").bytes();
       },
       {EventKind::Write, 1, 2, "/f"}},
  };
  return cases;
}

void PrintTo(const AcceptCase& c, std::ostream* os) { *os << c.name; }

class DecodeAccepts : public ::testing::TestWithParam<AcceptCase> {};

TEST_P(DecodeAccepts, Decodes) {
  const std::vector<uint8_t> payload = GetParam().payload();
  Result<NativeTraceEvent> event = decode_event(payload);
  ASSERT_TRUE(event.ok()) << event.error().text();
  EXPECT_EQ(*event, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Forms, DecodeAccepts, ::testing::ValuesIn(accept_cases()),
                         [](const auto& info) { return info.param.name; });

struct RejectCase {
  std::string name;
  std::function<std::vector<uint8_t>()> payload;
};

Pack event_without(std::string_view skipped) {
  Pack p;
  p.map(3);
  if (skipped != "kind") p.str("kind").str("read");
  if (skipped != "pid") p.str("pid").uint(1);
  if (skipped != "thread_id") p.str("thread_id").uint(2);
  if (skipped != "path") p.str("path").str("/x");
  return p;
}

// An event whose field `key` carries the value appended by `value`.
std::vector<uint8_t> event_with(std::string_view key, const std::function<void(Pack&)>& value) {
  Pack p;
  p.map(4);
  for (std::string_view k : {"kind", "pid", "thread_id", "path"}) {
    p.str(k);
    if (k == key) {
      value(p);
    } else if (k == "kind") {
      p.str("read");
    } else if (k == "path") {
      p.str("/x");
    } else {
      p.uint(1);
    }
  }
  return p.bytes();
}

const std::vector<RejectCase>& reject_cases() {
  static const std::vector<RejectCase> cases = {
      {"Empty", [] { return std::vector<uint8_t>{}; }},
      {"ReservedByte", [] { return std::vector<uint8_t>{0xc1}; }},
      {"NotAContainer", [] { return Pack().str("read").bytes(); }},
      {"UnknownKindName", [] { return event_with("kind", [](Pack& p) { p.str("execute"); }); }},
      {"KindNameCaseDiffers", [] { return event_with("kind", [](Pack& p) { p.str("Read"); }); }},
      {"KindIndexFour", [] { return event_with("kind", [](Pack& p) { p.uint(4); }); }},
      {"KindIndexNegative", [] { return event_with("kind", [](Pack& p) { p.sint(-1); }); }},
      {"KindNil", [] { return event_with("kind", [](Pack& p) { p.nil(); }); }},
      {"MissingKind", [] { return event_without("kind").bytes(); }},
      {"MissingPid", [] { return event_without("pid").bytes(); }},
      {"MissingThread", [] { return event_without("thread_id").bytes(); }},
      {"MissingPath", [] { return event_without("path").bytes(); }},
      {"DuplicatePid",
       [] {
         return Pack().map(5).str("kind").str("read").str("pid").uint(1).str("pid").uint(1)
             .str("thread_id").uint(2).str("path").str("/x").bytes();
       }},
      {"DuplicateKind",
       [] {
         return Pack().map(5).str("kind").str("read").str("pid").uint(1).str("thread_id")
             .uint(2).str("path").str("/x").str("kind").str("read").bytes();
       }},
      {"PidTooLarge", [] { return event_with("pid", [](Pack& p) { p.uint(4294967296ull); }); }},
      {"PidNegative", [] { return event_with("pid", [](Pack& p) { p.sint(-1); }); }},
      {"PidFloat", [] { return event_with("pid", [](Pack& p) { p.float64(1.0); }); }},
      {"ThreadString", [] { return event_with("thread_id", [](Pack& p) { p.str("2"); }); }},
      {"PathInteger", [] { return event_with("path", [](Pack& p) { p.uint(5); }); }},
      {"PathNil", [] { return event_with("path", [](Pack& p) { p.nil(); }); }},
      {"PathBinNotUtf8", [] { return event_with("path", [](Pack& p) { p.bin("/\xff\xfe"); }); }},
      {"PathStrNotUtf8", [] { return event_with("path", [](Pack& p) { p.str("/a\xc3"); }); }},
      {"TruncatedInPath",
       [] {
         std::vector<uint8_t> b = test::event_payload("read", 1, 2, "/some/path");
         b.resize(b.size() - 3);
         return b;
       }},
      {"TruncatedInsideInteger",
       [] { return Pack().map(4).str("kind").str("read").str("pid").raw({0xcd, 0x01}).bytes(); }},
      {"FewerEntriesThanDeclared",
       [] {
         return Pack().map(5).str("kind").str("read").str("pid").uint(1).str("thread_id")
             .uint(2).str("path").str("/x").bytes();
       }},
      {"HugeDeclaredMap", [] { return Pack().raw({0xdf, 0xff, 0xff, 0xff, 0xff}).bytes(); }},
      {"HugeDeclaredUnknownArray",
       [] { return Pack().map(1).str("x").raw({0xdd, 0xff, 0xff, 0xff, 0xff}).bytes(); }},
      {"ArrayOfThree", [] { return Pack().array(3).str("read").uint(1).uint(2).bytes(); }},
      {"ArrayOfFive",
       [] { return Pack().array(5).str("read").uint(1).uint(2).str("/x").nil().bytes(); }},
      {"ArrayWithMapInPlaceOfPath",
       [] { return Pack().array(4).str("read").uint(1).uint(2).map(0).bytes(); }},
      {"NestingOverTheLimit", [] { return with_extra_value(kMaxEventNesting); }},
      {"RenameAsArray",
       [] { return Pack().array(4).str("rename").uint(1).uint(2).str("/x").bytes(); }},
      {"RenameKindIndexFive", [] { return event_with("kind", [](Pack& p) { p.uint(5); }); }},
      {"RenameWithoutFrom",
       [] {
         return Pack().map(6).str("kind").str("rename").str("pid").uint(1).str("thread_id")
             .uint(2).str("time").uint(3).str("exchange").boolean(false).str("path").str("/b")
             .bytes();
       }},
      {"RenameWithoutTime",
       [] {
         return Pack().map(6).str("kind").str("rename").str("pid").uint(1).str("thread_id")
             .uint(2).str("exchange").boolean(false).str("from").str("/a").str("path").str("/b")
             .bytes();
       }},
      {"RenameFromTwice",
       [] {
         return Pack().map(8).str("kind").str("rename").str("pid").uint(1).str("thread_id")
             .uint(2).str("time").uint(3).str("exchange").boolean(false).str("from").str("/a")
             .str("from").str("/c").str("path").str("/b").bytes();
       }},
      {"RenameExchangeNotABool",
       [] {
         return Pack().map(7).str("kind").str("rename").str("pid").uint(1).str("thread_id")
             .uint(2).str("time").uint(3).str("exchange").uint(1).str("from").str("/a")
             .str("path").str("/b").bytes();
       }},
      {"RenameTimeNegative",
       [] {
         return Pack().map(7).str("kind").str("rename").str("pid").uint(1).str("thread_id")
             .uint(2).str("time").sint(-3).str("exchange").boolean(false).str("from").str("/a")
             .str("path").str("/b").bytes();
       }},
      {"RenameFromNotUtf8",
       [] { return test::rename_payload(1, 2, 3, "/a\xff", "/b"); }},
      {"NestingHundredThousand", [] { return with_extra_value(100000); }},
      {"NestingInKey",
       [] {
         Pack p;
         p.map(1);
         nest(p, 100000);
         return p.uint(1).bytes();
       }},
  };
  return cases;
}

void PrintTo(const RejectCase& c, std::ostream* os) { *os << c.name; }

class DecodeRejects : public ::testing::TestWithParam<RejectCase> {};

TEST_P(DecodeRejects, Fails) {
  const std::vector<uint8_t> payload = GetParam().payload();
  Result<NativeTraceEvent> event = decode_event(payload);
  EXPECT_FALSE(event.ok()) << "decoded kind " << static_cast<int>(event->kind) << " path "
                           << event->path;
}

INSTANTIATE_TEST_SUITE_P(Forms, DecodeRejects, ::testing::ValuesIn(reject_cases()),
                         [](const auto& info) { return info.param.name; });

// Each rejection is about what is wrong, not a blanket failure.
TEST(DecodeFailureKind, NamesTheFault) {
  struct Row {
    std::vector<uint8_t> payload;
    DecodeFailure expected;
  };
  const std::vector<Row> rows = {
      {with_extra_value(kMaxEventNesting), DecodeFailure::TooDeep},
      {event_with("pid", [](Pack& p) { p.uint(4294967296ull); }), DecodeFailure::OutOfRange},
      {event_with("kind", [](Pack& p) { p.str("x"); }), DecodeFailure::UnknownKind},
      {event_without("path").bytes(), DecodeFailure::MissingKey},
      {Pack().map(4).str("kind").str("read").bytes(), DecodeFailure::Truncated},
  };
  for (const Row& row : rows) {
    NativeTraceEventView view;
    DecodeFailure failure = DecodeFailure::Malformed;
    EXPECT_FALSE(decode_event_view(row.payload, view, failure));
    EXPECT_EQ(failure, row.expected) << decode_failure_text(failure);
  }
}

// The library's own events: what each decodes to, shown as text, or the failure.
struct LibraryEventCase {
  std::string name;
  std::function<std::vector<uint8_t>()> payload;
  std::string expected;
};

std::string shown(std::string_view bytes) {
  std::string out(bytes);
  std::replace(out.begin(), out.end(), '\0', '|');
  return out;
}

std::string decoded_text(const std::vector<uint8_t>& payload) {
  NativeTraceEventView v;
  DecodeFailure failure = DecodeFailure::Malformed;
  if (!decode_event_view(payload, v, failure)) return decode_failure_text(failure);
  std::string out = std::string(protocol::event_kind_name(v.kind)) + " " + std::to_string(v.pid) +
                    "/" + std::to_string(v.thread_id);
  if (v.kind == EventKind::Dropped) out += " count " + std::to_string(v.count);
  if (v.kind == EventKind::Executed) out += " " + std::string(v.path);
  if (v.kind != EventKind::Process) return out;
  if (v.has_parent) out += " parent " + std::to_string(v.parent_pid);
  out += v.exec ? " exec" : " fork";
  if (v.has_areas) out += " [" + shown(v.cmdline) + "] [" + shown(v.environ) + "]";
  return out;
}

// A Process event as the library sends it, its areas as bin values.
Pack process_event(std::string_view cmdline, std::string_view environ) {
  Pack p;
  p.map(7).str("kind").str("process").str("pid").uint(7).str("thread_id").uint(8);
  p.str("parent_pid").uint(3).str("exec").raw({0xc3});
  return std::move(p.str("cmdline").bin(cmdline).str("environ").bin(environ));
}

const std::vector<LibraryEventCase>& library_event_cases() {
  using namespace std::string_literals;
  static const std::vector<LibraryEventCase> cases = {
      {"DroppedCount",
       [] {
         return Pack().map(4).str("kind").str("dropped").str("pid").uint(1).str("thread_id")
             .uint(2).str("count").uint(300).bytes();
       },
       "dropped 1/2 count 300"},
      {"DroppedWithoutCount",
       [] { return Pack().map(3).str("kind").str("dropped").str("pid").uint(1).str("thread_id")
                .uint(2).bytes(); },
       "missing key in event"},
      {"ProcessAsSent",
       [] { return process_event("sh\0-c\0x\0"s, "A=1\0B=\xff\0"s).bytes(); },
       "process 7/8 parent 3 exec [sh|-c|x|] [A=1|B=\xff|]"},
      {"ProcessAreasAsStrings",
       [] {
         return Pack().map(5).str("environ").str("E=1").str("cmdline").str("ls").str("kind")
             .str("process").str("thread_id").uint(8).str("pid").uint(7).bytes();
       },
       "process 7/8 fork [ls] [E=1]"},
      {"ProcessWithoutAreas",
       [] {
         return Pack().map(5).str("kind").str("process").str("pid").uint(7).str("thread_id")
             .uint(8).str("parent_pid").uint(3).str("exec").raw({0xc2}).bytes();
       },
       "process 7/8 parent 3 fork"},
      {"ProcessWithOneAreaOnly",
       [] {
         return Pack().map(4).str("kind").str("process").str("pid").uint(7).str("thread_id")
             .uint(8).str("cmdline").bin("ls").bytes();
       },
       "missing key in event"},
      {"ProcessWithoutPid",
       [] { return Pack().map(2).str("kind").str("process").str("thread_id").uint(8).bytes(); },
       "missing key in event"},
      {"ProcessAreaOfWrongType",
       [] {
         return Pack().map(5).str("kind").str("process").str("pid").uint(7).str("thread_id")
             .uint(8).str("cmdline").uint(1).str("environ").bin("").bytes();
       },
       "event field has the wrong type"},
      {"ProcessExecNotBool",
       [] {
         return Pack().map(4).str("kind").str("process").str("pid").uint(7).str("thread_id")
             .uint(8).str("exec").uint(1).bytes();
       },
       "event field has the wrong type"},
      {"ProcessParentTwice",
       [] {
         return Pack().map(5).str("kind").str("process").str("pid").uint(7).str("thread_id")
             .uint(8).str("parent_pid").uint(1).str("parent_pid").uint(2).bytes();
       },
       "duplicate key in event"},
      {"ProcessInArrayForm",
       [] { return Pack().array(4).str("process").uint(1).uint(2).str("/x").bytes(); },
       "unknown event kind"},
      {"ProcessByIndex",
       [] {
         return Pack().map(4).str("kind").uint(6).str("pid").uint(7).str("thread_id").uint(8)
             .str("path").str("/x").bytes();
       },
       "unknown event kind"},
      {"ExecutedAsSent",
       [] {
         return Pack().map(4).str("kind").str("executed").str("pid").uint(7).str("thread_id")
             .uint(8).str("path").str("/usr/bin/true").bytes();
       },
       "executed 7/8 /usr/bin/true"},
      {"ExecutedWithoutPath",
       [] { return Pack().map(3).str("kind").str("executed").str("pid").uint(7).str("thread_id")
                .uint(8).bytes(); },
       "missing key in event"},
      {"ExecutedByIndex",
       [] {
         return Pack().map(4).str("kind").uint(7).str("pid").uint(7).str("thread_id").uint(8)
             .str("path").str("/x").bytes();
       },
       "unknown event kind"},
      {"ExecutedInArrayForm",
       [] { return Pack().array(4).str("executed").uint(1).uint(2).str("/x").bytes(); },
       "unknown event kind"},
      // The unused value between the library's kinds is no kind at all, even as an empty name.
      {"EmptyKindName",
       [] { return event_with("kind", [](Pack& p) { p.str(""); }); },
       "unknown event kind"},
      // For a file event the keys of the library's kinds are just unknown keys.
      {"FileEventWithProcessKeys",
       [] {
         return Pack().map(6).str("kind").str("read").str("pid").uint(1).str("thread_id").uint(2)
             .str("path").str("/p").str("cmdline").uint(5).str("exec").nil().bytes();
       },
       "read 1/2"},
  };
  return cases;
}

void PrintTo(const LibraryEventCase& c, std::ostream* os) { *os << c.name; }

class DecodeLibraryEvents : public ::testing::TestWithParam<LibraryEventCase> {};

TEST_P(DecodeLibraryEvents, DecodeToTheirFields) {
  EXPECT_EQ(decoded_text(GetParam().payload()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Kinds, DecodeLibraryEvents, ::testing::ValuesIn(library_event_cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace drel::launcher
