#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "preload/guest/next_symbol.h"
#include "preload/guest/wrapped_functions.h"

namespace drel::guest {
namespace {

// Every name the library looks up, names with several versions (posix_spawn, memcpy), data and
// thread-local symbols, and names no object defines: the answer is dlsym's, the loader's own.
TEST(GuestNextSymbol, FindsWhatDlsymFinds) {
  ASSERT_TRUE(note_next_objects());
  std::vector<std::string> names = {
#define DREL_TEST_NAME(name, fallback) #name,
      DREL_WRAPPED_FUNCTIONS(DREL_TEST_NAME) DREL_UNWRAPPED_FUNCTIONS(DREL_TEST_NAME)
#undef DREL_TEST_NAME
  };
  names.insert(names.end(), {"posix_spawn", "memcpy", "realpath", "pthread_cond_wait", "environ",
                             "stdout", "errno", "_ZSt4cout", "drel_no_such_function", ""});
  int found = 0;
  for (const std::string& name : names) {
    NextSymbol s = find_next_symbol(name.c_str());
    dlerror();
    void* expected = dlsym(RTLD_NEXT, name.c_str());
    if (s.needs_dlsym) {
      EXPECT_EQ(s.address, nullptr) << name;
      continue;
    }
    EXPECT_EQ(s.address, expected) << name;
    found += s.address != nullptr;
  }
  EXPECT_GT(found, static_cast<int>(names.size()) / 2);
}

}  // namespace
}  // namespace drel::guest
