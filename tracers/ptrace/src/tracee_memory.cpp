#include "tracee_memory.h"

#include <sys/ptrace.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>


namespace drel {

TraceeMemory::~TraceeMemory() = default;

namespace {

constexpr std::size_t kFirstPiece = 256;

std::size_t page_size() {
  static const std::size_t size = [] {
    const long s = sysconf(_SC_PAGESIZE);
    return s > 0 ? static_cast<std::size_t>(s) : std::size_t{4096};
  }();
  return size;
}

}  // namespace

bool PtraceMemory::read_vm(pid_t task, uint64_t address, std::size_t len, char* out) {
  iovec local{out, len};
  iovec remote{reinterpret_cast<void*>(address), len};
  const ssize_t n = process_vm_readv(task, &local, 1, &remote, 1, 0);
  if (n == static_cast<ssize_t>(len)) return true;
  // Some sandboxes forbid the call outright; the word-by-word route still works there.
  if (n < 0 && method_ == Method::Auto && (errno == ENOSYS || errno == EPERM)) {
    method_ = Method::PeekData;
    return read_words(task, address, len, out);
  }
  return false;
}

bool PtraceMemory::read_words(pid_t task, uint64_t address, std::size_t len, char* out) {
  // Aligned words never cross a page boundary.
  uint64_t word_addr = address & ~uint64_t{7};
  std::size_t skip = static_cast<std::size_t>(address - word_addr);
  std::size_t done = 0;
  while (done < len) {
    errno = 0;
    const long word = ptrace(PTRACE_PEEKDATA, task, reinterpret_cast<void*>(word_addr), nullptr);
    if (word == -1 && errno != 0) return false;
    unsigned char bytes[sizeof word];
    std::memcpy(bytes, &word, sizeof word);  // memory order: lowest address first
    for (std::size_t k = skip; k < sizeof word && done < len; ++k)
      out[done++] = static_cast<char>(bytes[k]);
    skip = 0;
    word_addr += sizeof word;
  }
  return true;
}

std::optional<std::string_view> PtraceMemory::read_view(pid_t task, uint64_t address) {
  if (address == 0) return std::nullopt;
  const std::size_t page = page_size();
  std::size_t have = 0;
  uint64_t at = address;
  // One page piece at a time, stopping at the first NUL; a string may take 4096 bytes, so at
  // most 4097 bytes are ever looked at.
  while (have < buf_.size()) {
    // Word by word costs a request per 8 bytes, so look for the NUL after each word.
    // Most paths are short: the first piece is small, the later ones go to the end of a page.
    const std::size_t to_page_end = page - static_cast<std::size_t>(at % page);
    const std::size_t piece = method_ == Method::PeekData ? 8 - static_cast<std::size_t>(at % 8)
                              : have == 0                 ? std::min(kFirstPiece, to_page_end)
                                                          : to_page_end;
    const std::size_t len = std::min(piece, buf_.size() - have);
    char* dest = buf_.data() + have;
    const bool ok = method_ == Method::PeekData ? read_words(task, at, len, dest)
                                                : read_vm(task, at, len, dest);
    if (!ok) return std::nullopt;
    if (const void* nul = std::memchr(dest, '\0', len)) {
      return std::string_view(
          buf_.data(), have + static_cast<std::size_t>(static_cast<const char*>(nul) - dest));
    }
    have += len;
    at += len;
  }
  return std::nullopt;
}

bool PtraceMemory::read_string_into(pid_t task, uint64_t address, std::string& out) {
  const std::optional<std::string_view> text = read_view(task, address);
  if (!text) return false;
  out.assign(*text);
  return true;
}

}  // namespace drel

namespace drel {

bool PtraceMemory::read_u64(pid_t task, uint64_t address, uint64_t& out) {
  if (address == 0) return false;
  char bytes[8];
  const bool ok = method_ == Method::PeekData ? read_words(task, address, sizeof bytes, bytes)
                                              : read_vm(task, address, sizeof bytes, bytes);
  if (ok) std::memcpy(&out, bytes, sizeof out);
  return ok;
}

}  // namespace drel
