#include "util/output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <mutex>
#include <stdexcept>

namespace vkn {
namespace {

enum Priority { kError = 3, kWarning = 4, kInfo = 6, kDebug = 7 };

struct Output {
    std::mutex mutex;
    OutputSettings settings;
    int file = -1;
};

Output& output() {
    static Output o;
    return o;
}

std::atomic<bool> reopen_requested{false};

int open_log(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) throw std::runtime_error("--log-file " + path + ": " + std::strerror(errno));
    return fd;
}

// "2026-12-07T05:00:41.123+01:00 "
std::string local_time() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    localtime_r(&t, &tm);
    char date[32], zone[8];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &tm);
    std::strftime(zone, sizeof zone, "%z", &tm);
    char out[48];
    std::snprintf(out, sizeof out, "%s.%03d%.3s:%.2s ", date, int(ms), zone, zone + 3);
    return out;
}

// Each line of `text`, with its priority where the journal reads the stream.
std::string decorate(const std::string& text, bool journal, Priority p, const std::string& time) {
    std::string out;
    for (size_t from = 0; from <= text.size();) {
        const size_t nl = std::min(text.find('\n', from), text.size());
        if (journal) {
            const char prefix[] = {'<', char('0' + p), '>'};
            out.append(prefix, sizeof prefix);
        }
        out.append(time).append(text, from, nl - from).push_back('\n');
        from = nl + 1;
    }
    return out;
}

void emit(std::ostream& stream, bool is_err, Priority p, const std::string& line) {
    Output& o = output();
    std::lock_guard<std::mutex> lock(o.mutex);
    const OutputSettings& s = o.settings;
    if (p == kDebug && s.level != OutputSettings::Level::verbose) return;
    const bool kept = p <= kWarning || line.starts_with("[found]") || line.starts_with("[submit]");
    if (s.level == OutputSettings::Level::quiet && !kept) return;
    const std::string time = s.time || o.file >= 0 ? local_time() : std::string();
    stream << decorate(line, is_err ? s.journal_err : s.journal_out, p, s.time ? time : std::string());
    if (!is_err) stream << std::flush;
    if (reopen_requested.exchange(false) && o.file >= 0) {
        try {
            const int fresh = open_log(s.file);
            ::close(o.file);
            o.file = fresh;
        } catch (const std::runtime_error&) {
            // Keep writing to the file already open rather than lose lines.
        }
    }
    if (o.file >= 0) {
        const std::string text = decorate(line, false, p, time);
        if (::write(o.file, text.data(), text.size()) < 0) {
            // A full disk must not stop mining; the streams still have the line.
        }
    }
}

}  // namespace

bool is_journal_stream(int fd, const char* journal_stream) {
    unsigned long long dev = 0, ino = 0;
    if (!journal_stream || std::sscanf(journal_stream, "%llu:%llu", &dev, &ino) != 2) return false;
    struct stat st {};
    return ::fstat(fd, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}

void configure_output(const OutputSettings& settings) {
    const int fd = settings.file.empty() ? -1 : open_log(settings.file);
    Output& o = output();
    std::lock_guard<std::mutex> lock(o.mutex);
    if (o.file >= 0) ::close(o.file);
    o.file = fd;
    o.settings = settings;
}

void request_log_reopen() { reopen_requested.store(true); }

void print_out(const std::string& line) { emit(std::cout, false, kInfo, line); }
void print_verbose(const std::string& line) { emit(std::cout, false, kDebug, line); }
void print_warn(const std::string& line) { emit(std::cerr, true, kWarning, line); }
void print_err(const std::string& line) { emit(std::cerr, true, kError, line); }

}  // namespace vkn
