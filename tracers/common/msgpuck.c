/* The one translation unit that emits MsgPuck's out-of-line functions and tables. */
#define MP_SOURCE 1
#include <msgpuck.h>
