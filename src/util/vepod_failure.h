// The one failure record: the code and message a refusal ends in, and where in the document read
// it happened. It travels from the place of the failure to the answer that reports it, so that
// every refusal keeps its place and one length limit.
#pragma once

#include <cstddef>

#include "util/vepod_platform.h"
#include "vepod.h"

struct vepod_failure {
  vepod_code code = VEPOD_OK;
  // 1-based place of the fault in the text read (columns count characters); 0 when the failure
  // has none (a fetch, running out of memory, an empty document).
  size_t line = 0;
  size_t column = 0;
  // Running out of memory says nothing about the input: a caller that judges a document (feed or
  // page) must not take it for an answer about that document.
  bool out_of_memory = false;
  // The whole message the host reads, the place included (" at line L, column C").
  char message[VEPOD_MESSAGE_MAX] = "";
};

// Records code and the formatted message (cut to VEPOD_MESSAGE_MAX - 1 bytes), without a place;
// returns code.
vepod_code vepod_failure_set(vepod_failure *failure, vepod_code code, const char *format, ...)
    VEPOD_PRINTF(3, 4);
// Records running out of memory, VEPOD_ERR_NO_DATA "out of memory"; returns the code.
vepod_code vepod_failure_oom(vepod_failure *failure);
// Gives the failure the place of byte offset at in text (UTF-8; a continuation byte counts with
// its lead byte, CR LF as one line end) and adds it to the message.
void vepod_failure_place(vepod_failure *failure, const unsigned char *text, size_t at);
