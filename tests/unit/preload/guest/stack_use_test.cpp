// The deepest chain of the library's own frames that a wrapper can put on the program's stack,
// from the compiler's call graph with frame sizes (one .ci file per guest object). A program may
// report from a 16 KiB thread stack or an 8 KiB signal stack; the chain must stay under the
// budget, leaving room below 2 KiB for the system-call wrappers of the C library at its ends.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr long kBudget = 1536;

// Variable-length frames allowed: the argument vector of execl and friends, built on the
// caller's stack exactly as the C library builds it.
const std::set<std::string> kDynamicAllowed = {"execl", "execlp", "execle"};

struct CallGraph {
  std::map<std::string, long> frame;            // function -> own frame bytes
  std::map<std::string, std::string> dynamic;   // function -> qualifier, when unbounded
  std::map<std::string, std::set<std::string>> calls;
};

CallGraph read_graphs(const std::filesystem::path& dir) {
  static const std::regex kNode(R"re(^node: \{ title: "([^"]*)" label: ".*\\n(\d+) bytes \(([a-z,]+)\)")re");
  static const std::regex kEdge(R"re(^edge: \{ sourcename: "([^"]*)" targetname: "([^"]*)")re");
  CallGraph g;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (entry.path().extension() != ".ci") continue;
    std::ifstream in(entry.path());
    std::string line;
    std::smatch m;
    while (std::getline(in, line)) {
      if (std::regex_search(line, m, kNode)) {
        long bytes = std::stol(m[2]);
        long& known = g.frame[m[1]];
        if (bytes > known) known = bytes;
        // "dynamic,bounded": the size given is the most the frame grows to.
        if (m[3] != "static" && m[3] != "dynamic,bounded") g.dynamic[m[1]] = m[3];
      } else if (std::regex_search(line, m, kEdge)) {
        g.calls[m[1]].insert(m[2]);
      }
    }
  }
  return g;
}

// Deepest chain from fn, the frames' sum; functions without a frame of their own here (the C
// library's) count nothing. A cycle would make the depth unbounded and is reported as a failure.
struct Depth {
  explicit Depth(const CallGraph& graph) : g(graph) {}

  const CallGraph& g;
  std::map<std::string, long> done;
  std::map<std::string, std::string> next;
  std::set<std::string> open;

  long of(const std::string& fn) {
    if (auto it = done.find(fn); it != done.end()) return it->second;
    if (!open.insert(fn).second) {
      ADD_FAILURE() << "recursion through " << fn << ": the stack it needs has no bound";
      return 0;
    }
    long deepest = 0;
    if (auto it = g.calls.find(fn); it != g.calls.end())
      for (const std::string& callee : it->second) {
        long d = of(callee);
        if (d > deepest) {
          deepest = d;
          next[fn] = callee;
        }
      }
    open.erase(fn);
    auto own = g.frame.find(fn);
    return done[fn] = deepest + (own != g.frame.end() ? own->second : 0);
  }

  std::string chain(std::string fn) {
    std::string text;
    for (; !fn.empty(); fn = next.count(fn) ? next[fn] : "") {
      auto own = g.frame.find(fn);
      text += "\n  " + fn.substr(fn.rfind(':') + 1) + ": " +
              std::to_string(own != g.frame.end() ? own->second : 0) + " B";
    }
    return text;
  }
};

TEST(GuestStackUse, EveryChainOfTheLibrarysFramesStaysWithinTheBudget) {
  CallGraph g = read_graphs(DREL_GUEST_OBJECT_DIR);
  // The graph must really hold the reporting paths, or the check proves nothing.
  for (const char* entry : {"open", "openat", "read", "write", "fwrite", "rename", "unlinkat"})
    EXPECT_EQ(g.frame.count(entry), 1U) << entry << " is missing from the call graph";
  for (const auto& [fn, qualifier] : g.dynamic)
    EXPECT_EQ(kDynamicAllowed.count(fn), 1U)
        << fn << " has a frame of unbounded size (" << qualifier << ")";
  Depth depth(g);
  for (const auto& [fn, own] : g.frame) {
    long d = depth.of(fn);
    EXPECT_LE(d, kBudget) << fn << " puts " << d << " B of frames on the caller's stack:"
                          << depth.chain(fn);
  }
}

}  // namespace
