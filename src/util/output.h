#pragma once
// The one way lines reach the standard streams: every thread prints (device
// workers, the submitter, the work source, the driver), and a line must
// never interleave with another.
#include <string>

namespace vkn {

// Progress on standard output, flushed at once. A closed standard output
// (a pipe whose reader went away) makes this do nothing: mining and the
// journal go on.
void print_out(const std::string& line);
// Problems on standard error.
void print_err(const std::string& line);

}  // namespace vkn
