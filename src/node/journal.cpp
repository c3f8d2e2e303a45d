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
#include <sstream>
#include <stdexcept>

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

Journal::Journal(std::string path) : path_(std::move(path)) {}

void Journal::warn(const std::string& why) {
    if (!warned_.exchange(true))
        print_err("[journal] cannot write " + path_ + " (" + why + "); found blocks are not journaled");
}

void Journal::record(const FoundBlock& b, const std::string& status, const nlohmann::json& verdict) {
    if (path_.empty()) return;
    nlohmann::json line = {{"time", int64_t(std::time(nullptr))},
                           {"height", b.height},
                           {"hash", b.hash},
                           {"prevhash", b.prevhash}};
    if (status == "pending") line["block"] = b.block;
    if (status == "pending" && !b.workid.empty()) line["workid"] = b.workid;
    line["status"] = status;
    if (status == "rejected") line["verdict"] = verdict;
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

std::vector<FoundBlock> Journal::pending() const {
    std::vector<FoundBlock> found;
    if (path_.empty()) return found;
    std::string text;
    try {
        const Fd fd(::open(expand_home(path_).c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0) return found;  // no journal yet
        lock(fd.get(), LOCK_SH);  // no half-appended line
        char buf[1 << 16];
        for (ssize_t n; (n = ::read(fd.get(), buf, sizeof buf)) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) fail("read");
            text.append(buf, size_t(n));
        }
    } catch (const std::exception& e) {
        print_err("[journal] cannot read " + path_ + ": " + e.what());
        return found;
    }
    std::map<std::string, std::string> status;  // by hash: the latest
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        try {
            const nlohmann::json j = nlohmann::json::parse(line);
            const std::string hash = j.at("hash");
            status[hash] = j.at("status");
            auto same = [&](const FoundBlock& b) { return b.hash == hash; };
            if (status[hash] == "pending" && std::none_of(found.begin(), found.end(), same))
                found.push_back({j.at("height"), hash, j.at("prevhash"), j.at("block"), j.value("workid", "")});
        } catch (const nlohmann::json::exception&) {
            // a torn or foreign line
        }
    }
    std::erase_if(found, [&](const FoundBlock& b) { return status[b.hash] != "pending"; });
    return found;
}

}  // namespace vkn
