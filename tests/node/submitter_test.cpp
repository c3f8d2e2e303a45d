// The submitter's verdicts, retries and give-up (on an injected clock), the
// journal it keeps, and the start-up pass over that journal.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <filesystem>
#include <fstream>
#include <thread>

#include "node/recovery.h"
#include "node/rpc_client.h"
#include "node/submitter.h"
#include "support/support.h"

namespace vkn {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// "h" + ... trips GCC 12's -Wrestrict
std::string named(char c, int n) { return std::string(1, c) += std::to_string(n); }

FoundBlock block(int n, const std::string& parent = "p") {
    return {uint32_t(n), named('h', n), parent, named('b', n), n == 1 ? "w1" : ""};
}

struct TempJournal {
    std::string path = TempHome::make() + "/state/found.jsonl";  // its folder is made by the first record
    ~TempJournal() { std::filesystem::remove_all(std::filesystem::path(path).parent_path().parent_path()); }
    // "hash status" per line
    std::string lines() const {
        std::ifstream in(path);
        std::string out;
        for (std::string line; std::getline(in, line);) {
            const json j = json::parse(line);
            out += j["hash"].get<std::string>() + " " + j["status"].get<std::string>() + ";";
        }
        return out;
    }
};

// Answers from a script per block, one per call: a verdict, or "!T" to
// throw a transport error (also when the script is used up), "!401",
// "!node" (an error object) or "!hold" (until cancelled).
struct ScriptedSubmits {
    std::mutex m;
    std::map<std::string, std::deque<std::string>> script;
    std::vector<std::string> sent;  // "hash workid"
    Submitter::Send send() {
        return [this](const FoundBlock& b, const std::atomic<bool>* cancel) -> json {
            std::string a = "!T";
            {
                std::lock_guard<std::mutex> lock(m);
                sent.push_back(b.hash + " " + b.workid);
                std::deque<std::string>& answers = script[b.hash];
                if (!answers.empty()) a = answers.front(), answers.pop_front();
            }
            while (a == "!hold" && !cancel->load()) std::this_thread::sleep_for(1ms);
            if (a == "!hold") throw RpcCancelled("RPC cancelled");
            if (a == "!T") throw RpcTransportError("RPC curl failure calling submitblock: refused");
            if (a == "!401") throw RpcHttpError(401, "RPC HTTP 401 calling submitblock");
            if (a == "!node") throw RpcNodeError(json{{"code", -25}}, "JSON-RPC error calling submitblock");
            return a == "null" ? json(nullptr) : json(a);
        };
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(m);
        return sent.size();
    }
};

SubmitterSettings quick(std::atomic<int64_t>* skew = nullptr) {
    SubmitterSettings s;
    s.first_gap = 1ms;
    s.longest_backoff = 4ms;
    if (skew) s.now = [skew] { return Clock::now() + std::chrono::minutes(*skew); };
    return s;
}

TEST(Submitter, VerdictsRetriesAndTheJournal) {
    // the node's answers in order; the journal after; the settled outcome
    const struct { std::vector<std::string> answers; std::string journal; Submitter::Outcome settled; } rows[] = {
        {{"null"}, "h1 pending;h1 accepted;", Submitter::Outcome::accepted},
        {{"bad-prevblk"}, "h1 pending;h1 rejected;", Submitter::Outcome::rejected},
        {{"!T", "!T", "!T", "!T", "null"}, "h1 pending;h1 accepted;", Submitter::Outcome::accepted},
        {{"!T", "duplicate"}, "h1 pending;h1 accepted;", Submitter::Outcome::accepted},  // the first got through
        {{"!401", "duplicate"}, "h1 pending;h1 rejected;", Submitter::Outcome::rejected},  // a 401 never did
    };
    for (const auto& row : rows) {
        TempJournal tj;
        Journal journal(tj.path);
        ScriptedSubmits node;
        node.script["h1"].assign(row.answers.begin(), row.answers.end());
        std::vector<Submitter::Outcome> settled;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        {
            Submitter s(node.send(), journal, quick(), [&](const FoundBlock&, Submitter::Outcome o) { settled.push_back(o); });
            s.submit(block(1), "[found] one");
            s.submit(block(1), "[found] again");  // handed over before: not queued twice
            ASSERT_TRUE(s.wait_idle(std::atomic<bool>{false}));
            EXPECT_EQ(s.status().found, 1u);
        }
        const std::string out = testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(out.substr(0, 12), "[found] one\n");
        EXPECT_EQ(tj.lines(), row.journal);
        EXPECT_EQ(settled, std::vector<Submitter::Outcome>{row.settled});
        EXPECT_EQ(node.sent.size(), row.answers.size());
        EXPECT_EQ(node.sent[0], "h1 w1");  // the template's workid goes with the block
    }
}

TEST(Submitter, SiblingsOfAnAcceptedBlockAreAbandonedAndSilenceIsGivenUp) {
    TempJournal tj;
    Journal journal(tj.path);
    ScriptedSubmits node;
    node.script["h2"] = {"!T", "!T", "!T", "null"};
    std::atomic<int64_t> skew{0};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    {
        Submitter s(node.send(), journal, quick(&skew));
        s.submit(block(2, "a"), "[found] two");
        s.submit(block(3, "a"), "[found] three");  // waits behind two, on the same parent
        s.submit(block(4, "b"), "[found] four");
        for (int i = 0; i < 4000 && s.status().accepted == 0; ++i) std::this_thread::sleep_for(1ms);
        s.submit(block(5, "a"), "[found] five");  // its parent already has our accepted block
        skew = 11;  // four gets no answer for eleven minutes
        ASSERT_TRUE(s.wait_idle(std::atomic<bool>{false}));
        EXPECT_EQ(s.abandoned(), 1);
        EXPECT_EQ(s.status().accepted, 1u);
        EXPECT_TRUE(s.status().pending.empty());  // the status API lists none of them as pending
    }
    testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[submit] no verdict for block hash=h4 in 10 minutes: abandoned"), std::string::npos);
    EXPECT_EQ(tj.lines(), "h2 pending;h3 pending;h4 pending;h2 accepted;h3 abandoned;h5 pending;h5 abandoned;"
                          "h4 abandoned;");
}

// Six waits (held by the node, or without answers) when the stop comes;
// seven, behind it, was never tried.
TEST(Submitter, AStopGivesUntriedBlocksOneAttemptWithinItsGrace) {
    const struct { std::string six; std::string journal; } rows[] = {
        {"!T", "h6 pending;h7 pending;h7 accepted;"},  // seven's one attempt
        {"!hold", "h6 pending;h7 pending;"},            // the grace is spent on six: seven waits for the next run
    };
    for (const auto& row : rows) {
        TempJournal tj;
        Journal journal(tj.path);
        ScriptedSubmits node;
        node.script["h6"] = {row.six};
        node.script["h7"] = {"null"};
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        auto s = std::make_unique<Submitter>(node.send(), journal, quick());
        s->submit(block(6), "[found] six");
        s->submit(block(7), "[found] seven");
        while (node.count() < (row.six == "!T" ? 3u : 1u)) std::this_thread::sleep_for(1ms);
        const auto t = Clock::now();
        s.reset();
        EXPECT_LT(Clock::now() - t, 1500ms);
        testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(tj.lines(), row.journal);
    }
}

TEST(Journal, PendingBlocksAndTheStartUpPass) {
    TempJournal tj;
    Journal journal(tj.path);
    for (int n = 1; n <= 5; ++n) journal.record(block(n, n == 4 ? "tip" : "old"), "pending");
    journal.record(block(5, "old"), "accepted");
    { std::ofstream(tj.path, std::ios::app) << "{\"hash\":\"" << std::string(kJournalLineCap, 'x') << "\n"; }
    { std::ofstream(tj.path, std::ios::app) << "{\"hash\":\"torn"; }  // a writer that died mid-line
    journal.record(block(1, "old"), "pending");                      // its own line stays whole
    EXPECT_EQ(error_of([] { Journal("/dev/zero"); }), "--found-log /dev/zero is not a regular file");
    std::vector<FoundBlock> pending = journal.pending();
    ASSERT_EQ(pending.size(), 4u);
    EXPECT_EQ(pending[0].workid, "w1");
    // the node: 1 in the main chain, 2 off it, 3 and 4 unknown (4 on the tip)
    const HeaderQuery query = [](const std::string& hash) -> std::optional<json> {
        if (hash == "h1") return json{{"confirmations", 3}};
        if (hash == "h2") return json{{"confirmations", -1}};
        return std::nullopt;
    };
    ScriptedSubmits node;
    node.script["h4"] = {"null"};
    testing::internal::CaptureStdout();
    {
        Submitter s(node.send(), journal, quick());
        recover_pending(journal, s, query, "tip");
        ASSERT_TRUE(s.wait_idle(std::atomic<bool>{false}));
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "[journal] pending block hash=h1 is in the main chain: accepted\n"
                   "[journal] pending block hash=h2 is not in the main chain: abandoned\n"
                   "[journal] pending block hash=h3 is not on the current tip: abandoned\n"
                   "[journal] submitting pending block hash=h4 height=4\n[submit] accepted by node\n");
    EXPECT_TRUE(journal.pending().empty());
    // A node that cannot tell: the block on the tip is tried, the others stay.
    journal.record(block(8, "tip"), "pending");
    journal.record(block(9, "old"), "pending");
    node.script["h8"] = {"duplicate"};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    {
        Submitter s(node.send(), journal, quick());
        recover_pending(journal, s, [](const std::string&) -> std::optional<json> { throw RpcError("no such method"); },
                        "tip");
        ASSERT_TRUE(s.wait_idle(std::atomic<bool>{false}));
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[journal] " + tj.path + ": 2 line(s) skipped: torn by a crash, not a record, or longer than a block can be\n"
              "[journal] pending block hash=h9: the node cannot tell whether it has it (no such method); left pending\n");
    ASSERT_EQ(journal.pending().size(), 1u);
    EXPECT_EQ(journal.pending()[0].hash, "h9");
}

}  // namespace
}  // namespace vkn
