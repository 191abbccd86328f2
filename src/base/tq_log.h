// The library's own log lines: one route, stderr unless the host set a
// callback with tq_set_log. The texts are the same either way.
#pragma once

#include "tq/tq.h"

namespace tq {

// Formats one line (printf rules; a trailing newline is the line's end, not
// part of the text a callback receives) and hands it to the current route.
void logText(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace tq
