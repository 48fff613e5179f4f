/* A line-based INI reader with inih's default behaviour: a UTF-8 byte-order mark is
 * skipped, ';' and '#' start a comment line, " ;" starts an inline comment, "[section]"
 * names the section, "name = value" and "name: value" pairs are trimmed, an indented line
 * continues the previous value (another call with the same name), and lines are at most
 * 200 bytes. */
#include "ini.h"

#include <ctype.h>
#include <string.h>

#define INI_MAX_LINE 200
#define MAX_SECTION 50
#define MAX_NAME 50

static char* rstrip(char* s) {
  char* p = s + strlen(s);
  while (p > s && isspace((unsigned char)(*--p))) *p = '\0';
  return s;
}

static char* lskip(const char* s) {
  while (*s && isspace((unsigned char)(*s))) s++;
  return (char*)s;
}

/* The first of `chars` in `s` (an inline ';' only after whitespace), or its end. */
static char* find_chars_or_comment(const char* s, const char* chars) {
  int was_space = 0;
  while (*s && (!chars || !strchr(chars, *s)) && !(was_space && *s == ';')) {
    was_space = isspace((unsigned char)(*s));
    s++;
  }
  return (char*)s;
}

static void copy_bounded(char* dest, const char* src, size_t size) {
  size_t i;
  for (i = 0; i < size - 1 && src[i]; i++) dest[i] = src[i];
  dest[i] = '\0';
}

int ini_parse_stream(ini_reader reader, void* stream, ini_handler handler, void* user) {
  char line[INI_MAX_LINE];
  char section[MAX_SECTION] = "";
  char prev_name[MAX_NAME] = "";
  int lineno = 0;
  int error = 0;

  while (reader(line, INI_MAX_LINE, stream) != NULL) {
    char* start = line;
    char* end;
    lineno++;
    if (lineno == 1 && (unsigned char)start[0] == 0xEF && (unsigned char)start[1] == 0xBB &&
        (unsigned char)start[2] == 0xBF) {
      start += 3;
    }
    start = lskip(rstrip(start));

    if (strchr(";#", *start) && *start) {
      /* a comment line */
    } else if (*prev_name && *start && start > line) {
      /* an indented line continues the previous value */
      end = find_chars_or_comment(start, NULL);
      if (*end) *end = '\0';
      rstrip(start);
      if (!handler(user, section, prev_name, start) && !error) error = lineno;
    } else if (*start == '[') {
      end = find_chars_or_comment(start + 1, "]");
      if (*end == ']') {
        *end = '\0';
        copy_bounded(section, start + 1, sizeof(section));
        *prev_name = '\0';
      } else if (!error) {
        error = lineno;
      }
    } else if (*start) {
      end = find_chars_or_comment(start, "=:");
      if (*end == '=' || *end == ':') {
        char* name;
        char* value;
        *end = '\0';
        name = rstrip(start);
        value = end + 1;
        end = find_chars_or_comment(value, NULL);
        if (*end) *end = '\0';
        value = lskip(value);
        rstrip(value);
        copy_bounded(prev_name, name, sizeof(prev_name));
        if (!handler(user, section, name, value) && !error) error = lineno;
      } else if (!error) {
        error = lineno;
      }
    }
  }
  return error;
}
