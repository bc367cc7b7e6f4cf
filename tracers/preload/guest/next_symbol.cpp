#include "preload/guest/next_symbol.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <sys/auxv.h>

#include <cstdint>

namespace drel::guest {
namespace {

struct SearchedObject {
  const uint32_t* gnu_hash;
  const ElfW(Sym)* symbols;
  const char* strings;
  const ElfW(Half)* versions;  // null when the object has no version table
};

// The objects after this library, up to the loader, which ends the objects loaded with the
// program: their links never change (later ones are appended after the loader, and removed
// from there). The kernel's shared object is in the list but not in the search order.
const link_map* g_self = nullptr;
const link_map* g_loader = nullptr;
ElfW(Addr) g_vdso = 0;

// The loader rewrites an object's dynamic entries into addresses, except where the section is
// read-only; an entry still below the load address is an offset.
template <typename T>
const T* dynamic_pointer(ElfW(Addr) base, ElfW(Addr) value) {
  return reinterpret_cast<const T*>(value < base ? value + base : value);
}

bool describe(const link_map* map, SearchedObject& out) {
  const ElfW(Addr) base = map->l_addr;
  out = SearchedObject{nullptr, nullptr, nullptr, nullptr};
  for (const ElfW(Dyn)* d = map->l_ld; d->d_tag != DT_NULL; ++d) {
    switch (d->d_tag) {
      case DT_GNU_HASH:
        out.gnu_hash = dynamic_pointer<uint32_t>(base, d->d_un.d_ptr);
        break;
      case DT_SYMTAB:
        out.symbols = dynamic_pointer<ElfW(Sym)>(base, d->d_un.d_ptr);
        break;
      case DT_STRTAB:
        out.strings = dynamic_pointer<char>(base, d->d_un.d_ptr);
        break;
      case DT_VERSYM:
        out.versions = dynamic_pointer<ElfW(Half)>(base, d->d_un.d_ptr);
        break;
      default:
        break;
    }
  }
  return out.gnu_hash != nullptr && out.symbols != nullptr && out.strings != nullptr;
}

// The same bit fields in both classes.
unsigned symbol_type(const ElfW(Sym)& s) { return ELF64_ST_TYPE(s.st_info); }
unsigned symbol_binding(const ElfW(Sym)& s) { return ELF64_ST_BIND(s.st_info); }

// A loop rather than strcmp: no call in the search, so its values stay in registers.
bool same_name(const char* a, const char* b) {
  while (*a == *b && *a != '\0') ++a, ++b;
  return *a == *b;
}

uint32_t gnu_hash_of(const char* name) {
  uint32_t h = 5381;
  for (auto c = reinterpret_cast<const unsigned char*>(name); *c != '\0'; ++c) h = h * 33 + *c;
  return h;
}

constexpr unsigned kTypesFound = (1u << STT_NOTYPE) | (1u << STT_OBJECT) | (1u << STT_FUNC) |
                                 (1u << STT_COMMON) | (1u << STT_TLS) | (1u << STT_GNU_IFUNC);

// The loader's rules for a lookup without a version: a symbol without one (index 0 or 1) is
// taken at once; otherwise the object's only default version, if it has exactly one.
const ElfW(Sym)* search(const SearchedObject& o, const char* name, uint32_t hash) {
  constexpr unsigned kBits = 8 * sizeof(ElfW(Addr));
  const uint32_t buckets_count = o.gnu_hash[0];
  const uint32_t first_hashed = o.gnu_hash[1];
  const uint32_t bloom_words = o.gnu_hash[2];
  const uint32_t bloom_shift = o.gnu_hash[3];
  const auto* bloom = reinterpret_cast<const ElfW(Addr)*>(o.gnu_hash + 4);
  const auto* buckets = reinterpret_cast<const uint32_t*>(bloom + bloom_words);
  const uint32_t* chain = buckets + buckets_count;
  if (buckets_count == 0 || bloom_words == 0) return nullptr;

  const ElfW(Addr) word = bloom[(hash / kBits) % bloom_words];
  const ElfW(Addr) mask = (ElfW(Addr){1} << (hash % kBits)) |
                          (ElfW(Addr){1} << ((hash >> bloom_shift) % kBits));
  if ((word & mask) != mask) return nullptr;

  uint32_t i = buckets[hash % buckets_count];
  if (i < first_hashed) return nullptr;
  const ElfW(Sym)* versioned = nullptr;
  int default_versions = 0;
  for (;; ++i) {
    const uint32_t entry = chain[i - first_hashed];
    if ((entry | 1) == (hash | 1)) {
      const ElfW(Sym)& s = o.symbols[i];
      const unsigned type = symbol_type(s);
      if ((s.st_value != 0 || type == STT_TLS) && ((1u << type) & kTypesFound) != 0 &&
          same_name(o.strings + s.st_name, name)) {
        if (o.versions == nullptr || (o.versions[i] & 0x7fff) < 2) return &s;
        if ((o.versions[i] & 0x8000) == 0 && default_versions++ == 0) versioned = &s;
      }
    }
    if ((entry & 1) != 0) break;
  }
  return default_versions == 1 ? versioned : nullptr;
}

// The noted objects in order: the one after m, or null after the loader.
const link_map* after(const link_map* m) {
  do {
    if (m == g_loader) return nullptr;
    m = m->l_next;
  } while (m != nullptr && g_vdso != 0 && m->l_addr == g_vdso);
  return m;
}

// The symbol of that name m defines, if any. Kept out of line, so that the frames of a first
// lookup stay small on the program's stack.
[[gnu::noinline]] const ElfW(Sym)* search_object(const link_map* m, const char* name,
                                                 uint32_t hash) {
  SearchedObject o;
  if (!describe(m, o)) return nullptr;
  const ElfW(Sym)* s = search(o, name, hash);
  return s != nullptr && symbol_binding(*s) != STB_LOCAL ? s : nullptr;
}

}  // namespace

bool note_next_objects() noexcept {
  Dl_info info;
  link_map* self = nullptr;
  if (dladdr1(reinterpret_cast<void*>(&note_next_objects), &info, reinterpret_cast<void**>(&self),
              RTLD_DL_LINKMAP) == 0 ||
      self == nullptr) {
    return false;
  }
  const auto loader_base = static_cast<ElfW(Addr)>(getauxval(AT_BASE));
  g_vdso = static_cast<ElfW(Addr)>(getauxval(AT_SYSINFO_EHDR));
  g_loader = nullptr;
  for (const link_map* m = self->l_next; m != nullptr && g_loader == nullptr; m = m->l_next) {
    if (m->l_addr == loader_base) g_loader = m;
  }
  if (g_loader == nullptr) return false;
  g_self = self;
  for (const link_map* m = after(self); m != nullptr; m = after(m)) {
    SearchedObject o;
    if (!describe(m, o)) return false;
  }
  // The C library must be among them.
  return find_next_symbol("getenv").address != nullptr;
}

NextSymbol find_next_symbol(const char* name) noexcept {
  const uint32_t hash = gnu_hash_of(name);
  for (const link_map* m = after(g_self); m != nullptr; m = after(m)) {
    const ElfW(Sym)* s = search_object(m, name, hash);
    if (s == nullptr) continue;
    const unsigned type = symbol_type(*s);
    if (type == STT_GNU_IFUNC || type == STT_TLS) return {nullptr, true};
    const ElfW(Addr) base = s->st_shndx == SHN_ABS ? 0 : m->l_addr;
    return {reinterpret_cast<void*>(base + s->st_value), false};
  }
  return {};
}

}  // namespace drel::guest
