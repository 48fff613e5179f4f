/* The part of inih's interface (ini.h, release 55) that Quillmark uses, for a Windows build
 * on a machine whose package mirror does not serve inih's source. ini.c implements it
 * with inih's default settings, so a settings file reads the same as with Debian's inih. */
#ifndef QUILLMARK_INI_H
#define QUILLMARK_INI_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int (*ini_handler)(void* user, const char* section, const char* name, const char* value);
typedef char* (*ini_reader)(char* str, int num, void* stream);

/* Calls `handler` for each name=value (or name: value) pair, with its section. Returns 0
 * on success, the number of the first line with an error (parsing goes on after it), or
 * -2 when memory runs out. */
int ini_parse_stream(ini_reader reader, void* stream, ini_handler handler, void* user);

#ifdef __cplusplus
}
#endif

#endif
