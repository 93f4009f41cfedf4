/* Keeps libjxl's notes on failures off standard error in `tools/dev shell`.

   A libjxl built without NDEBUG, as Debian builds it, prints a note for
   every refusal ("./lib/jxl/decode.cc:2041: premature end of input", "...:
   JXL_FAILURE: ..."), whatever program is decoding: a plug-in user's script,
   a Dask worker. The wheel's libjxl prints none. A process cannot drop them
   by redirecting its standard error without taking it from every thread, so
   this library, preloaded, drops just those calls: libjxl prints each note
   with one vfprintf(stderr, "%s:%d: ...", __FILE__, __LINE__, ...), which
   arrives here (as __vfprintf_chk in a fortified build). Everything else,
   from libjxl or anyone, passes on unchanged; there is no state. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

typedef int (*vfprintf_chk_fn)(FILE *, int, const char *, va_list);
typedef int (*vfprintf_fn)(FILE *, const char *, va_list);

/* Whether a call of `caller` is one of libjxl's notes. */
static int is_libjxl_note(FILE *stream, const char *format, const void *caller) {
  Dl_info found;
  if (stream != stderr || format == NULL || strncmp(format, "%s:%d: ", 7) != 0) return 0;
  if (!dladdr(caller, &found) || found.dli_fname == NULL) return 0;
  const char *name = strrchr(found.dli_fname, '/');
  return strncmp(name ? name + 1 : found.dli_fname, "libjxl", 6) == 0;
}

/* The next definition of `symbol` (glibc's), looked up once; a race only
   looks it up twice. */
static void *next(void **slot, const char *symbol) {
  void *function = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
  if (function == NULL) {
    function = dlsym(RTLD_NEXT, symbol);
    __atomic_store_n(slot, function, __ATOMIC_RELEASE);
  }
  return function;
}

int __vfprintf_chk(FILE *stream, int flag, const char *format, va_list args) {
  static void *glibc;
  if (is_libjxl_note(stream, format, __builtin_return_address(0))) return 0;
  return ((vfprintf_chk_fn)next(&glibc, "__vfprintf_chk"))(stream, flag, format, args);
}

int vfprintf(FILE *stream, const char *format, va_list args) {
  static void *glibc;
  if (is_libjxl_note(stream, format, __builtin_return_address(0))) return 0;
  return ((vfprintf_fn)next(&glibc, "vfprintf"))(stream, format, args);
}
