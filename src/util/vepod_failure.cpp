// The failure record: its message and its place in a text.

#include "util/vepod_failure.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

vepod_code vepod_failure_set(vepod_failure *failure, vepod_code code, const char *format, ...) {
  failure->code = code;
  failure->line = failure->column = 0;
  failure->out_of_memory = false;
  va_list args;
  va_start(args, format);
  std::vsnprintf(failure->message, sizeof failure->message, format, args);
  va_end(args);
  return code;
}

vepod_code vepod_failure_oom(vepod_failure *failure) {
  vepod_failure_set(failure, VEPOD_ERR_NO_DATA, "out of memory");
  failure->out_of_memory = true;
  return failure->code;
}

void vepod_failure_place(vepod_failure *failure, const unsigned char *text, size_t at) {
  size_t line = 1;
  size_t column = 1;
  for (size_t i = 0; i < at; i++) {
    unsigned char c = text[i];
    if (c == '\n' || (c == '\r' && (i + 1 == at || text[i + 1] != '\n'))) {
      line++;
      column = 1;
    } else if ((c & 0xC0) != 0x80 && c != '\r') {
      column++;  // continuation bytes belong to the character their lead byte began
    }
  }
  failure->line = line;
  failure->column = column;
  size_t len = std::strlen(failure->message);
  std::snprintf(failure->message + len, sizeof failure->message - len, " at line %zu, column %zu",
                line, column);
}
