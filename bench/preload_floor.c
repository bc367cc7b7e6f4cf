/* The preload floor: a shared library with nothing in it. Preloaded into every process of a
 * workload, it costs what any interposition library costs before it does anything at all (the
 * loader's search, mapping and relocation of one more object), which no library can go below. */

/* C wants a declaration in every file; a type adds no symbol, no code and no data. */
typedef int drel_preload_floor_empty;
