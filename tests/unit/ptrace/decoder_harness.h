// Drives the decoder the way the event loop does, on synthetic calls and a fake tracee memory.
#pragma once

#include <errno.h>
#include <fcntl.h>

#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "arch/registers.h"
#include "syscall_decoder.h"
#include "tracee_memory.h"

namespace drel::test {

class FakeMemory final : public TraceeMemory {
 public:
  bool read_string_into(pid_t, uint64_t address, std::string& out) override {
    ++reads;
    const auto it = strings.find(address);
    if (it == strings.end()) return false;
    out = it->second;
    return true;
  }
  bool read_u64(pid_t, uint64_t address, uint64_t& out) override {
    const auto it = words.find(address);
    if (it == words.end()) return false;
    out = it->second;
    return true;
  }
  // Places a word (the first field of a structure) at a fresh address and returns the address.
  uint64_t place_word(uint64_t w) {
    const uint64_t address = next;
    next += 0x1000;
    words[address] = w;
    return address;
  }
  std::map<uint64_t, uint64_t> words;
  // Places a string at a fresh address and returns the address.
  uint64_t place(const std::string& s) {
    const uint64_t address = next;
    next += 0x1000;
    strings[address] = s;
    return address;
  }
  std::map<uint64_t, std::string> strings;
  uint64_t next = 0x10000;
  int reads = 0;
};

// A file as the report shows it: path, read, written and the two thread lists.
struct Seen {
  std::string path;
  bool read = false;
  bool written = false;
  std::vector<uint32_t> read_threads;
  std::vector<uint32_t> written_threads;
  bool operator==(const Seen&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Seen& s) {
  os << "{" << s.path << " r=" << s.read << " w=" << s.written << " rt=[";
  for (auto t : s.read_threads) os << t << ",";
  os << "] wt=[";
  for (auto t : s.written_threads) os << t << ",";
  return os << "]}";
}

inline std::vector<Seen> seen(const std::vector<FileRecord>& files) {
  std::vector<Seen> out;
  for (const auto& f : files) {
    out.push_back({f.path, f.read, f.written, f.read_threads.value_or(std::vector<uint32_t>{}),
                   f.written_threads.value_or(std::vector<uint32_t>{})});
  }
  return out;
}

inline uint64_t reg(int64_t v) {
  return static_cast<uint64_t>(v);
}

struct Harness {
  // Without `names` every name is resolved from its directory: the calls here are mostly made
  // up, their descriptors not this process's.
  explicit Harness(OpenedFileNames* names = nullptr) : decoder{memory, names} {}
  FakeMemory memory;
  SyscallDecoder decoder;

  // One call: its seccomp stop and, when the table asks for it, its exit stop. Also checks that
  // an exit the decoder said it does not need would have changed nothing.
  bool call(pid_t task, SyscallKind kind, std::initializer_list<uint64_t> args, int64_t result) {
    TracedCall c;
    c.kind = kind;
    int i = 0;
    for (uint64_t a : args) c.args[i++] = a;
    const bool wanted = decoder.decode_entry(task, c);
    if (!exit_needed(kind)) return wanted;
    if (wanted) {
      decoder.decode_exit(task, result);
    } else {
      const auto before = seen(decoder.aggregate_files().files);
      decoder.decode_exit(task, result);
      EXPECT_EQ(seen(decoder.aggregate_files().files), before)
          << "an exit declared unneeded changed the record";
    }
    return wanted;
  }

  // openat(AT_FDCWD, path, flags) returning fd (or -errno).
  void open(pid_t task, const std::string& path, int64_t fd, uint64_t flags = O_RDONLY) {
    call(task, SyscallKind::Openat, {reg(AT_FDCWD), memory.place(path), flags, 0}, fd);
  }

  std::vector<Seen> files() const { return seen(decoder.aggregate_files().files); }
};

}  // namespace drel::test
