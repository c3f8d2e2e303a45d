#pragma once
// The found-block journal: one JSON object per line, appended under an
// exclusive lock, so that several miners may share one file and a block
// outlives any crash, restart or node outage.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vkn {

inline constexpr const char* kDefaultJournalPath = "~/.local/state/vkn-miner/found-blocks.jsonl";
// The longest line a record can be: the largest block a node sends (4,000,000
// bytes) as hex, and the record around it.
inline constexpr size_t kJournalLineCap = 8'000'000 + 64 * 1024;

struct FoundBlock {
    uint32_t height = 0;
    std::string hash;      // display hex
    std::string prevhash;  // display hex of the parent
    std::string block;     // the whole block, hex
    std::string workid;    // the template's, handed back with the block; "" when it had none
};

// A block found in a pool's job. The miner has its header and coinbase but not
// the pool's transactions, so the block is the pool's to submit: the record is
// the operator's evidence, never handed to a node.
struct PoolBlock {
    uint32_t height = 0;   // from the coinbase's height push; 0 when it has none
    std::string hash;      // display hex
    std::string prevhash;  // display hex of the parent
    std::string header;    // the 80 bytes, hex
    std::string coinbase;  // hex
    std::string pool;      // the pool's URL, without credentials
    std::string job;       // the pool's job id
    std::string extranonce2;
};

class Journal {
public:
    // "~" expands on first use; an empty path keeps no journal. A path that
    // names something other than a regular file (a device, a FIFO) throws.
    explicit Journal(std::string path);

    // Appends the block's line with the given status ("pending" carries the
    // block itself; "rejected" the node's verdict). A journal that cannot be
    // written warns once on standard error; mining never stops for it.
    void record(const FoundBlock& block, const std::string& status, const nlohmann::json& verdict = nullptr);

    // A pool's block: status "pool" when found, then "pool-accepted",
    // "pool-rejected" (with the pool's reason) or "pool-stale" (its job was
    // gone, so it was never sent). None of them is ever resubmitted.
    void record_pool(const PoolBlock& block, const std::string& status, const std::string& reason = "");

    // The blocks whose latest line says "pending", oldest first. One pass
    // reads only each line's hash and status; only the blocks still pending
    // are parsed. Lines that are not records (a writer that died mid-line)
    // or longer than kJournalLineCap are skipped, with one warning.
    std::vector<FoundBlock> pending() const;

private:
    void warn(const std::string& why);
    void append(const nlohmann::json& line);

    std::string path_;
    std::atomic<bool> warned_{false};
};

}  // namespace vkn
