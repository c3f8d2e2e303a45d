#include "node/journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "util/output.h"
#include "util/files.h"

namespace vkn {
namespace {

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

void lock(int fd, int how) {
    while (::flock(fd, how) != 0)
        if (errno != EINTR) fail("flock");
}

void write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail("write");
        done += size_t(n);
    }
}

}  // namespace

Journal::Journal(std::string path) : path_(std::move(path)) {
    if (path_.empty()) return;
    struct stat st {};
    std::string expanded;
    try {
        expanded = expand_home(path_);
    } catch (const std::runtime_error&) {
        return;  // the first write says why
    }
    // A device or a FIFO would be read for ever (/dev/zero) or take no block (/dev/full).
    if (::stat(expanded.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        throw std::runtime_error("--found-log " + path_ + " is not a regular file");
}

void Journal::warn(const std::string& why) {
    if (!warned_.exchange(true))
        print_warn("[journal] cannot write " + path_ + " (" + why + "); found blocks are not journaled");
}

namespace {

// What every record starts with.
nlohmann::json record_head(uint32_t height, const std::string& hash, const std::string& prevhash) {
    return {{"time", int64_t(std::time(nullptr))}, {"height", height}, {"hash", hash}, {"prevhash", prevhash}};
}

}  // namespace

void Journal::record(const FoundBlock& b, const std::string& status, const nlohmann::json& verdict) {
    if (path_.empty()) return;
    nlohmann::json line = record_head(b.height, b.hash, b.prevhash);
    if (status == "pending") line["block"] = b.block;
    if (status == "pending" && !b.workid.empty()) line["workid"] = b.workid;
    line["status"] = status;
    if (status == "rejected") line["verdict"] = verdict;
    append(line);
}

void Journal::record_pool(const PoolBlock& b, const std::string& status, const std::string& reason) {
    if (path_.empty()) return;
    nlohmann::json line = record_head(b.height, b.hash, b.prevhash);
    line["pool"] = b.pool;
    line["job"] = b.job;
    if (status == "pool") {
        line["header"] = b.header;
        line["coinbase"] = b.coinbase;
        line["extranonce2"] = b.extranonce2;
    }
    line["status"] = status;
    if (!reason.empty()) line["verdict"] = reason;
    append(line);
}

void Journal::append(const nlohmann::json& line) {
    try {
        const std::string path = expand_home(path_);
        const std::filesystem::path parent = std::filesystem::path(path).parent_path();
        if (!parent.empty()) std::filesystem::create_directories(parent);
        const Fd fd(::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
        if (fd.get() < 0) fail("open");
        lock(fd.get(), LOCK_EX);  // released by close
        // A writer that died mid-line left no newline: only its own line stays torn.
        struct stat st {};
        char last = '\n';
        std::string text;
        if (::fstat(fd.get(), &st) == 0 && st.st_size > 0 && ::pread(fd.get(), &last, 1, st.st_size - 1) == 1 &&
            last != '\n')
            text.push_back('\n');
        text += line.dump();
        text.push_back('\n');
        write_all(fd.get(), text);
        if (::fsync(fd.get()) != 0) fail("fsync");
    } catch (const std::exception& e) {
        warn(e.what());
    }
}

namespace {

// The string value of `"key": "..."` in a record line, or "" when it has none.
std::string_view field(std::string_view line, std::string_view key) {
    for (size_t at = line.find(key); at != std::string_view::npos; at = line.find(key, at + 1)) {
        size_t i = at + key.size();
        auto skip = [&] { while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i; };
        skip();
        if (i >= line.size() || line[i] != ':') continue;
        ++i;
        skip();
        if (i >= line.size() || line[i] != '"') continue;
        const size_t end = line.find('"', i + 1);
        if (end != std::string_view::npos) return line.substr(i + 1, end - i - 1);
    }
    return {};
}

struct Latest {
    std::string status;
    size_t first = SIZE_MAX;  // the order of first "pending" lines is the order blocks were found
    uint64_t offset = 0, length = 0;  // of that line
};

// Feeds every whole line of the file, with its offset, to `line`; a line
// longer than the cap is skipped unread. Returns the number skipped.
template <class F>
size_t each_line(int fd, size_t cap, F line) {
    std::string part;
    uint64_t offset = 0, part_at = 0;
    size_t skipped = 0;
    bool too_long = false;
    std::vector<char> buf(1 << 20);
    for (ssize_t n; (n = ::read(fd, buf.data(), buf.size())) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail("read");
        std::string_view chunk(buf.data(), size_t(n));
        for (size_t nl; (nl = chunk.find('\n')) != std::string_view::npos; chunk.remove_prefix(nl + 1)) {
            if (!too_long) {
                part.append(chunk.substr(0, nl));
                line(std::string_view(part), part_at);
            }
            offset += nl + 1;
            part.clear(), part_at = offset, too_long = false;
        }
        offset += chunk.size();
        if (!too_long && part.size() + chunk.size() > cap) ++skipped, too_long = true, part.clear();
        if (!too_long) part.append(chunk);
    }
    return skipped;
}

}  // namespace

std::vector<FoundBlock> Journal::pending() const {
    std::vector<FoundBlock> found;
    if (path_.empty()) return found;
    size_t skipped = 0;
    try {
        const Fd fd(::open(expand_home(path_).c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0) return found;  // no journal yet
        lock(fd.get(), LOCK_SH);  // no half-appended line
        // One pass over the records' hashes and statuses; only the blocks still pending are parsed.
        std::map<std::string, Latest, std::less<>> latest;
        size_t lines = 0;
        skipped += each_line(fd.get(), kJournalLineCap, [&](std::string_view line, uint64_t at) {
            const std::string_view hash = field(line, "\"hash\""), status = field(line, "\"status\"");
            if (hash.empty() || status.empty()) return void(skipped += !line.empty());
            Latest& l = latest[std::string(hash)];
            l.status = status;
            if (status == "pending" && l.first == SIZE_MAX) l.first = lines++, l.offset = at, l.length = line.size();
        });
        std::vector<const Latest*> order;
        for (const auto& [hash, l] : latest)
            if (l.status == "pending") order.push_back(&l);
        std::sort(order.begin(), order.end(), [](const Latest* a, const Latest* b) { return a->first < b->first; });
        for (const Latest* l : order) {
            std::string text(l->length, '\0');
            if (::pread(fd.get(), text.data(), text.size(), off_t(l->offset)) != ssize_t(text.size())) fail("read");
            try {
                const nlohmann::json j = nlohmann::json::parse(text);
                found.push_back({j.at("height"), j.at("hash"), j.at("prevhash"), j.at("block"), j.value("workid", "")});
            } catch (const nlohmann::json::exception&) {
                ++skipped;  // a foreign line that looked like a record
            }
        }
    } catch (const std::exception& e) {
        print_warn("[journal] cannot read " + path_ + ": " + e.what());
        return found;
    }
    if (skipped > 0)
        print_warn("[journal] " + path_ + ": " + std::to_string(skipped) +
                  " line(s) skipped: torn by a crash, not a record, or longer than a block can be");
    return found;
}

}  // namespace vkn
