/* The string functions the library calls, as hidden copies of its own: each one taken from the
 * C library would be a symbol the loader looks up in every traced process, and one a program
 * could replace. Linked into the library only; the launcher keeps the C library's. Plain loops:
 * the library's strings are paths and frames, short. */
#include <stddef.h>

#define DREL_OWN __attribute__((visibility("hidden")))

DREL_OWN void *memcpy(void *restrict dst, const void *restrict src, size_t n) {
  unsigned char *d = dst;
  const unsigned char *s = src;
  while (n-- > 0) *d++ = *s++;
  return dst;
}

DREL_OWN void *memmove(void *dst, const void *src, size_t n) {
  unsigned char *d = dst;
  const unsigned char *s = src;
  if (d < s) {
    while (n-- > 0) *d++ = *s++;
  } else {
    while (n-- > 0) d[n] = s[n];
  }
  return dst;
}

DREL_OWN int memcmp(const void *a, const void *b, size_t n) {
  const unsigned char *x = a, *y = b;
  for (; n > 0; --n, ++x, ++y)
    if (*x != *y) return *x < *y ? -1 : 1;
  return 0;
}

DREL_OWN size_t strlen(const char *s) {
  const char *p = s;
  while (*p != '\0') ++p;
  return (size_t)(p - s);
}

DREL_OWN int strncmp(const char *a, const char *b, size_t n) {
  for (; n > 0; --n, ++a, ++b) {
    const unsigned char x = (unsigned char)*a, y = (unsigned char)*b;
    if (x != y) return x < y ? -1 : 1;
    if (x == '\0') return 0;
  }
  return 0;
}

DREL_OWN int strcmp(const char *a, const char *b) { return strncmp(a, b, (size_t)-1); }

DREL_OWN char *strchr(const char *s, int c) {
  for (;; ++s) {
    if (*s == (char)c) return (char *)s;
    if (*s == '\0') return NULL;
  }
}

DREL_OWN char *strrchr(const char *s, int c) {
  const char *found = NULL;
  for (;; ++s) {
    if (*s == (char)c) found = s;
    if (*s == '\0') return (char *)found;
  }
}

DREL_OWN size_t strcspn(const char *s, const char *reject) {
  size_t n = 0;
  for (; s[n] != '\0'; ++n)
    for (const char *r = reject; *r != '\0'; ++r)
      if (s[n] == *r) return n;
  return n;
}
