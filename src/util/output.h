#pragma once
// The one way lines reach the standard streams and the log file: every
// thread prints (device workers, the submitter, the work source, the
// driver), and a line must never interleave with another.
#include <string>

namespace vkn {

struct OutputSettings {
    enum class Level { quiet, normal, verbose };
    Level level = Level::normal;
    bool time = false;  // a local ISO 8601 time with milliseconds before each line
    std::string file;   // every line appended there too, each with its time
    // The streams that go to the systemd journal: each line gets its syslog
    // priority ("<3>" errors, "<4>" warnings, "<6>" the rest).
    bool journal_out = false;
    bool journal_err = false;
};

// Whether the descriptor is the stream that JOURNAL_STREAM ("DEV:INODE")
// names, systemd's sign that the journal reads it.
bool is_journal_stream(int fd, const char* journal_stream);

// Applies the settings for every later line; throws when the file cannot be
// opened, naming it and the system's reason.
void configure_output(const OutputSettings& settings);
// Safe in a signal handler: the log file is opened again before the next
// line (after logrotate has renamed it).
void request_log_reopen();

// Progress on standard output, flushed at once. A closed standard output
// (a pipe whose reader went away) makes this do nothing: mining and the
// journal go on. With --quiet only "[found]" and "[submit]" lines remain.
void print_out(const std::string& line);
// Detail for --verbose alone, on standard output.
void print_verbose(const std::string& line);
// Problems mining goes on after, on standard error.
void print_warn(const std::string& line);
// Errors, on standard error.
void print_err(const std::string& line);

}  // namespace vkn
