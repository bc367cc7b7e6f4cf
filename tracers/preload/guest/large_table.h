// Where the library keeps its large zeroed tables (a path buffer, a table per descriptor or per
// thread), which most processes never touch or touch at one end only.
#pragma once

// On x86-64 they go to the large-data section, which the linker places after all other zeroed
// data: the small variables every process touches then share the page the loader writes
// anyway, instead of lying between the tables on pages of their own, each a page fault per
// process. They follow one another in the order of the sources in the build file, which puts
// first the one every process writes at its head. Elsewhere they stay where the compiler puts
// them.
#if defined(__x86_64__)
#define DREL_LARGE_TABLE __attribute__((section(".lbss")))
#else
#define DREL_LARGE_TABLE
#endif
