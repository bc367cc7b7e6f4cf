#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <list>
#include <string>
#include <vector>

#include "support/event_frames.h"
#include "preload/launcher/event_connection.h"
#include "preload/launcher/rename_order.h"

namespace drel::launcher {
namespace {

constexpr uint32_t kNoSuchPid = 4000000000u;  // never a live process: no /proc lookups succeed

// The launcher's end of a connection, and the traced thread's end to write into.
class Connection {
 public:
  Connection() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) != 0) std::abort();
    launcher_ = std::make_unique<EventConnection>(UniqueFd(fds[0]));
    sender_.reset(fds[1]);
  }
  void send(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::send(sender_.get(), bytes.data() + done, bytes.size() - done, 0);
      ASSERT_GT(n, 0);
      done += static_cast<size_t>(n);
    }
  }
  void close_sender() { sender_.reset(); }
  EventConnection& launcher() { return *launcher_; }

 private:
  std::unique_ptr<EventConnection> launcher_;
  UniqueFd sender_;
};

PreloadAggregator make_aggregator() { return PreloadAggregator({"cmd"}, {}, kNoSuchPid); }

std::vector<uint8_t> event_frame(std::string_view kind, std::string_view path, uint32_t tid = 7) {
  return test::frame(test::event_payload(kind, kNoSuchPid, tid, path));
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(DrainConnection, FrameSplitAcrossReadsDecodesOnlyWhenComplete) {
  Connection c;
  PreloadAggregator agg = make_aggregator();
  const std::vector<uint8_t> f = event_frame("read", "/split/file");
  // Cut inside the length prefix, then inside the payload, then deliver the last byte.
  const std::vector<size_t> cuts = {2, 20, f.size() - 1, f.size()};
  size_t sent = 0;
  for (size_t cut : cuts) {
    c.send(std::vector<uint8_t>(f.begin() + sent, f.begin() + cut));
    sent = cut;
    EXPECT_FALSE(drain_connection(c.launcher(), agg));
    EXPECT_EQ(agg.path_count(), cut == f.size() ? 1u : 0u) << "after " << cut << " bytes";
  }
  EXPECT_EQ(c.launcher().buffer.size(), 0u);
  TraceReport r = std::move(agg).build_preload_report(0, 0);
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_EQ(r.files[0].path, "/split/file");
  EXPECT_TRUE(r.files[0].read);
}

TEST(DrainConnection, ManyFramesInOneReadAllDecoded) {
  Connection c;
  PreloadAggregator agg = make_aggregator();
  c.send(concat({event_frame("write", "/m/a", 1), event_frame("open_read", "/m/b", 2),
                 event_frame("open_write", "/m/c", 3), event_frame("read", "/m/a", 4)}));
  EXPECT_FALSE(drain_connection(c.launcher(), agg));
  TraceReport r = std::move(agg).build_preload_report(0, 0);
  ASSERT_EQ(r.files.size(), 3u);
  EXPECT_EQ(r.files[0].read_threads, (std::vector<uint32_t>{4}));
  EXPECT_EQ(r.files[0].written_threads, (std::vector<uint32_t>{1}));
  EXPECT_TRUE(r.files[1].read);
  EXPECT_FALSE(r.files[1].written);
  // An open for writing counts as a write, even with no write after it.
  EXPECT_TRUE(r.files[2].written);
  EXPECT_EQ(r.events_dropped, 0u);
}

TEST(DrainConnection, UndecodableFramesCountedAndLaterFramesStillDecoded) {
  Connection c;
  PreloadAggregator agg = make_aggregator();
  c.send(concat({event_frame("read", "/u/first"), test::frame({0xc1, 0x00}),
                 test::frame(test::event_payload("delete", 1, 2, "/u/bad")), test::frame({}),
                 event_frame("write", "/u/last")}));
  EXPECT_FALSE(drain_connection(c.launcher(), agg));
  EXPECT_EQ(agg.events_dropped(), 3u);
  TraceReport r = std::move(agg).build_preload_report(0, 0);
  ASSERT_EQ(r.files.size(), 2u);
  EXPECT_EQ(r.files[0].path, "/u/first");
  EXPECT_EQ(r.files[1].path, "/u/last");
  EXPECT_EQ(r.events_dropped, 3u);
}

struct CloseCase {
  std::string name;
  size_t kept;  // bytes of the second frame sent before the peer closes
};

void PrintTo(const CloseCase& c, std::ostream* os) { *os << c.name; }

class DrainClosing : public ::testing::TestWithParam<CloseCase> {};

TEST_P(DrainClosing, IncompleteTailIsDiscardedUncounted) {
  Connection c;
  PreloadAggregator agg = make_aggregator();
  const std::vector<uint8_t> whole = event_frame("read", "/c/whole");
  std::vector<uint8_t> partial = event_frame("write", "/c/partial");
  partial.resize(GetParam().kept);
  c.send(concat({whole, partial}));
  c.close_sender();
  EXPECT_TRUE(drain_connection(c.launcher(), agg));
  EXPECT_EQ(agg.events_dropped(), 0u);
  TraceReport r = std::move(agg).build_preload_report(0, 0);
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_EQ(r.files[0].path, "/c/whole");
}

INSTANTIATE_TEST_SUITE_P(Tails, DrainClosing,
                         ::testing::Values(CloseCase{"Nothing", 0},
                                           CloseCase{"ThreeLengthBytes", 3},
                                           CloseCase{"LengthOnly", 4},
                                           CloseCase{"MidPayload", 15}),
                         [](const auto& info) { return info.param.name; });

TEST(DrainConnection, NothingAvailableIsNotTheEnd) {
  Connection c;
  PreloadAggregator agg = make_aggregator();
  EXPECT_FALSE(drain_connection(c.launcher(), agg));
  EXPECT_FALSE(drain_connection(c.launcher(), agg));
  c.close_sender();
  EXPECT_TRUE(drain_connection(c.launcher(), agg));
}

TEST(DrainConnection, ReadFailureEndsTheConnection) {
  PreloadAggregator agg = make_aggregator();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  UniqueFd writer(fds[1]);
  // recv on a pipe fails with ENOTSOCK: any failure but EAGAIN ends the connection.
  EventConnection not_a_socket{UniqueFd(fds[0])};
  EXPECT_TRUE(drain_connection(not_a_socket, agg));
}

// Memory follows what is pending, not what has passed through.
TEST(DrainConnection, BufferStaysBoundedOverALongStream) {
  Connection c;
  PreloadAggregator agg = make_aggregator();
  const std::vector<uint8_t> f = event_frame("read", "/stream/" + std::string(40, 'p'));
  std::vector<uint8_t> batch;
  for (int i = 0; i < 300; ++i) batch.insert(batch.end(), f.begin(), f.end());
  // Cut the batches off-frame so a partial frame is always carried over.
  batch.resize(batch.size() - f.size() / 2);
  std::vector<uint8_t> carry(f.begin() + static_cast<long>(f.size() - f.size() / 2), f.end());
  size_t max_capacity = 0;
  constexpr int kBatches = 400;  // ~8 MB through the connection
  for (int i = 0; i < kBatches; ++i) {
    c.send(i == 0 ? batch : concat({carry, batch}));
    EXPECT_FALSE(drain_connection(c.launcher(), agg));
    max_capacity = std::max(max_capacity, c.launcher().buffer.capacity());
  }
  EXPECT_LT(max_capacity, 4 * kDrainBlockSize);
  EXPECT_EQ(agg.events_dropped(), 0u);
  EXPECT_EQ(agg.path_count(), 1u);
}

// Renames wait until every connection has caught up, then apply in the order they began; a
// frame seen to come after a rename began waits for it.
struct OrderStep {
  size_t connection;
  // Sent, given the clock at this step; without it the connection is drained.
  std::function<std::vector<uint8_t>(uint64_t now)> frames = {};
};

struct OrderCase {
  std::string name;
  std::vector<OrderStep> steps;
  std::vector<std::string> files;  // "path r|- w|-" in report order
  std::string note;
};

void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.name; }

class RenameOrder : public ::testing::TestWithParam<OrderCase> {};

std::vector<uint8_t> rename_frame(uint64_t time, std::string_view from, std::string_view to,
                                  bool exchange = false) {
  return test::frame(test::rename_payload(kNoSuchPid, 9, time, from, to, exchange));
}

TEST_P(RenameOrder, CarriesWhatHappenedBefore) {
  std::list<EventConnection> connections;
  std::vector<UniqueFd> senders;
  for (int i = 0; i < 2; ++i) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    connections.emplace_back(UniqueFd(fds[0]));
    senders.emplace_back(fds[1]);
  }
  PreloadAggregator agg = make_aggregator();
  for (const OrderStep& step : GetParam().steps) {
    if (!step.frames) {
      drain_connection(*std::next(connections.begin(), static_cast<long>(step.connection)), agg);
      continue;
    }
    const std::vector<uint8_t> bytes = step.frames(monotonic_now());
    ASSERT_EQ(::send(senders[step.connection].get(), bytes.data(), bytes.size(), 0),
              static_cast<ssize_t>(bytes.size()));
  }
  senders[1].reset();  // a waiting rename applies also after its sender went away
  int accepts = 0;
  dispatch_in_order(connections, agg, [&] { ++accepts; });
  for (const EventConnection& c : connections) EXPECT_EQ(c.buffer.size(), 0u);
  TraceReport r = std::move(agg).build_preload_report(0, 0);
  std::vector<std::string> got;
  for (const FileRecord& f : r.files)
    got.push_back(f.path + (f.read ? " r" : " -") + (f.written ? " w" : " -"));
  EXPECT_EQ(got, GetParam().files) << GetParam().note;
  EXPECT_GT(accepts, 0) << "new connections are accepted before a rename applies";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenameOrder,
    ::testing::Values(
        OrderCase{"WriteSentBeforeTheRenameOnAnotherConnectionIsCarried",
                  {{0},  // read before the writer sent
                   {0, [](uint64_t) { return event_frame("open_read", "/o/a", 1); }},
                   {1, [](uint64_t now) { return rename_frame(now, "/o/a", "/o/b"); }},
                   {1}},
                  {"/o/a r w", "/o/b r w"},
                  "the writer's connection is read again before the rename applies"},
        OrderCase{"RenamesOnTwoConnectionsApplyInTheOrderTheyBegan",
                  {{0, [](uint64_t now) { return rename_frame(now + 2000000000, "/o/b", "/o/c"); }},
                   {1, [](uint64_t now) {
                      return concat({event_frame("read", "/o/a", 5),
                                     rename_frame(now + 1000000000, "/o/a", "/o/b")});
                    }},
                   {0},
                   {1}},
                  {"/o/a r w", "/o/b r w", "/o/c r w"},
                  "a -> b began first, so c gets what was done to a"},
        OrderCase{"EventsAfterARenameOnItsConnectionAreNotCarried",
                  {{1, [](uint64_t now) {
                      return concat({event_frame("write", "/o/a", 1),
                                     rename_frame(now, "/o/a", "/o/b"),
                                     event_frame("read", "/o/a", 1)});
                    }},
                   {1}},
                  {"/o/a r w", "/o/b - w"},
                  "the read of the new /o/a came after the rename"},
        OrderCase{"FrameSeenToComeAfterTheRenameWaitsForIt",
                  {{1},
                   {0, [](uint64_t now) { return rename_frame(now - 1000, "/o/a", "/o/b"); }},
                   {1},  // empty after the rename began
                   {1, [](uint64_t) { return event_frame("read", "/o/a", 2); }}},
                  {"/o/a r w", "/o/b - w"},
                  "the other connection was empty after the rename began"},
        OrderCase{"ExchangeCarriesBothWays",
                  {{1, [](uint64_t now) {
                      return concat({event_frame("write", "/o/a", 1), event_frame("read", "/o/b", 1),
                                     rename_frame(now, "/o/a", "/o/b", true)});
                    }},
                   {1}},
                  {"/o/a r w", "/o/b r w"},
                  "a gets the read b had"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace drel::launcher
