#include "node/work_source.h"

#include "hash/sha3t.h"
#include "node/rpc_client.h"
#include "util/output.h"

namespace vkn {

using Clock = std::chrono::steady_clock;

std::string work_line(const BlockTemplate& t) {
    return "[work] height=" + std::to_string(t.height) + " txs=" + std::to_string(t.transactions.size() + 1) +
           " coinbasevalue=" + std::to_string(t.coinbase_value) + " target=" + hash_to_display_hex(t.target) +
           " nonces=" + std::to_string(t.nonce_min) + ".." + std::to_string(t.nonce_max) +
           " longpoll=" + (t.longpollid.empty() ? "no" : "yes");
}

bool same_work(const BlockTemplate& a, const BlockTemplate& b) {
    if (a.prev_hash != b.prev_hash || a.curtime != b.curtime || a.coinbase_value != b.coinbase_value ||
        a.bits != b.bits || a.height != b.height || a.workid != b.workid ||
        a.transactions.size() != b.transactions.size())
        return false;
    for (size_t i = 0; i < a.transactions.size(); ++i)
        if (a.transactions[i].hash != b.transactions[i].hash) return false;
    return true;
}

WorkSource::WorkSource(Fetch fetch, WorkSettings settings, Publish publish)
    : fetch_(std::move(fetch)), settings_(settings), publish_(std::move(publish)) {}

WorkSource::~WorkSource() {
    close();
    if (refresher_.joinable()) refresher_.join();
    if (longpoller_.joinable()) longpoller_.join();
}

void WorkSource::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);  // so that no waiter misses it
        closing_.store(true);
        longpoll_cancel_.store(true);
    }
    wake_.notify_all();
}

void WorkSource::start(const std::atomic<bool>& stop) {
    offer(fetch_("", -1, &stop), 0, Origin::first);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        next_periodic_ = Clock::now() + std::chrono::seconds(settings_.poll_sec);
    }
    refresher_ = std::thread([this] { refresh_loop(); });
    if (settings_.longpoll) longpoller_ = std::thread([this] { longpoll_loop(); });
}

void WorkSource::refresh() { ask_refresh(Origin::after_submit); }

void WorkSource::ask_refresh(Origin why) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        refresh_wanted_ = why;
    }
    wake_.notify_all();
}

std::optional<BlockTemplate> WorkSource::current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_;
}

Clock::time_point WorkSource::installed_at() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return installed_at_;
}

bool WorkSource::offer(const nlohmann::json& reply, uint64_t began, Origin origin) {
    BlockTemplate t = parse_block_template(reply, settings_.gbt_txids_internal);
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_.load()) return false;
    // A reply to a request older than the installed work may describe the
    // chain before it (the parent of a block we just found).
    if (sequence_.load() != began) return false;
    // A long poll the node ended without news carries the id it was asked with.
    const bool unchanged = origin == Origin::longpoll && !t.longpollid.empty() && current_ &&
                           t.longpollid == current_->longpollid;
    if (current_ && (unchanged || same_work(*current_, t))) return false;
    if (t.longpollid != longpollid_) {
        longpollid_ = t.longpollid;
        // The held poll waits on the old id: start over with the new one.
        if (origin != Origin::longpoll) longpoll_cancel_.store(true);
    }
    if (origin == Origin::longpoll) {
        print_out("[work] longpoll update received");
        longpoll_updates_.fetch_add(1);
    }
    print_out(work_line(t));
    publish_(t);
    current_ = std::move(t);
    installed_at_ = Clock::now();
    sequence_.fetch_add(1);
    wake_.notify_all();
    return true;
}

bool WorkSource::periodic_due_locked() const {
    return (!settings_.longpoll || longpollid_.empty()) && Clock::now() >= next_periodic_;
}

void WorkSource::refresh_loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait_until(lock, next_periodic_, [this] { return closing_.load() || refresh_wanted_ != Origin::none; });
        if (closing_.load()) return;
        const Origin origin = refresh_wanted_ != Origin::none ? refresh_wanted_ : Origin::periodic;
        if (origin == Origin::periodic && !periodic_due_locked()) {
            if (Clock::now() >= next_periodic_)
                next_periodic_ = Clock::now() + std::chrono::seconds(settings_.poll_sec);
            continue;
        }
        refresh_wanted_ = Origin::none;
        const uint64_t began = sequence_.load();
        lock.unlock();
        if (origin == Origin::periodic) print_out("[work] periodic GBT refresh");
        try {
            offer(fetch_("", -1, &closing_), began, origin);
        } catch (const RpcCancelled&) {
        } catch (const std::exception& e) {
            const char* what = origin == Origin::periodic       ? "[rpc] periodic getblocktemplate failed: "
                               : origin == Origin::after_submit ? "[rpc] getblocktemplate after submit failed: "
                                                                : "[rpc] getblocktemplate after a held long poll "
                                                                  "failed: ";
            if (!closing_.load()) print_warn(what + std::string(e.what()));
        }
        lock.lock();
        // Every fetch restarts the period: a failed refresh is not retried at once.
        next_periodic_ = Clock::now() + std::chrono::seconds(settings_.poll_sec);
    }
}

void WorkSource::longpoll_loop() {
    Clock::time_point next_poll = Clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait_until(lock, next_poll, [this] { return closing_.load(); });
        wake_.wait(lock, [this] { return closing_.load() || !longpollid_.empty(); });
        if (closing_.load()) return;
        const std::string id = longpollid_;
        const uint64_t began = sequence_.load();
        longpoll_cancel_.store(false);
        lock.unlock();
        const Clock::time_point polled_at = Clock::now();
        next_poll = polled_at + settings_.longpoll_gap;
        try {
            nlohmann::json reply = fetch_(id, settings_.longpoll_limit.count(), &longpoll_cancel_);
            if (!longpoll_cancel_.load()) offer(reply, began, Origin::longpoll);
        } catch (const RpcCancelled&) {
        } catch (const std::exception& e) {
            if (!closing_.load()) print_warn(std::string("[longpoll] ") + e.what());
            next_poll = Clock::now() + 2 * settings_.longpoll_gap;
            // A poll that something on the way held past the limit: the node
            // may be far ahead, so fetch its tip now rather than wait on.
            if (Clock::now() - polled_at >= settings_.longpoll_limit) ask_refresh(Origin::after_longpoll);
        }
        lock.lock();
    }
}

}  // namespace vkn
