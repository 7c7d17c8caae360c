#pragma once
// The system debugger output (OutputDebugString): where diagnostic lines go when no log file is
// wanted. On this backend it is the process's standard error.
#include "platform/text.h"

namespace platform {

// Writes `text` as it stands (no line end is added) in one piece, so that texts of several
// threads or processes do not mix. Never fails visibly: a closed or broken standard error loses
// the text, and a pipe that nobody reads any more does not end the process.
void debug_output(TextView text);

} // namespace platform
