// libFuzzer targets: every input the node or the user controls must end in a
// value or a clean exception, never a crash or a sanitizer report. One file,
// built once per target (VKN_FUZZ_<NAME>).
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "block/candidate.h"
#include "block/payout.h"
#include "block/template.h"
#include "app/options.h"
#include "node/rpc_client.h"
#include "util/hex.h"
#include "util/parse.h"

namespace {

void run(const std::string& in) {
    using namespace vkn;
#if defined(VKN_FUZZ_TEMPLATE)
    // An optional first line of payouts, then a template as a node sends it.
    std::vector<PayoutSpec> payouts{parse_payout("51")};
    std::string body = in;
    if (!in.empty() && in[0] != '{') {
        const size_t end = std::min(in.find('\n'), in.size());
        payouts.clear();
        std::istringstream words(in.substr(0, end));
        for (std::string w; words >> w;) payouts.push_back(parse_payout(w));
        body = in.substr(std::min(end + 1, in.size()));
    }
    const BlockTemplate t = parse_block_template(read_reply("getblocktemplate", 200, "{\"result\":" + body + "}"),
                                                 in.size() % 2 == 0);
    const CandidateBlock c = build_candidate(t, payouts, in.size(), "/fuzz/", false);
    if (serialize_block(c, 7).size() < 80) std::abort();
#elif defined(VKN_FUZZ_REPLY)
    read_reply("submitblock", in.rfind("!", 0) == 0 ? 503 : 200, in);  // "!": an HTTP failure
#elif defined(VKN_FUZZ_OPTIONS)
    std::vector<std::string> args{"vkn-miner"};  // one argument a line
    std::istringstream lines(in);
    for (std::string line; std::getline(lines, line);) {
        args.push_back(line.c_str());  // an argument ends at its first NUL
    }
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    const ParsedOptions p = parse_options(int(argv.size()), argv.data());
    if (p.early_exit && p.text.empty()) std::abort();  // help and version always have their text
#elif defined(VKN_FUZZ_TEXT)
    // Hex reads back as what it was, lower-cased; numbers parse or throw.
    try {
        const Bytes b = hex_to_bytes(in);
        std::string lower = trim_ws(in);
        if (lower.size() >= 2 && lower[0] == '0' && (lower[1] == 'x' || lower[1] == 'X')) lower.erase(0, 2);
        for (char& ch : lower) ch = char(std::tolower(static_cast<unsigned char>(ch)));
        if (bytes_to_hex(b) != lower) std::abort();
    } catch (const std::runtime_error&) {
    }
    try {
        compact_to_target(parse_hex_u32(in, "bits"));
    } catch (const std::runtime_error&) {
    }
    try {
        parse_double(in, "weight");
    } catch (const std::runtime_error&) {
    }
    parse_u64(in, "n");
#elif defined(VKN_FUZZ_COOKIE)
    static const std::string path = "/tmp/vkn-fuzz-cookie-" + std::to_string(getpid());
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(in.data(), 1, in.size(), f);
    std::fclose(f);
    struct Gone {
        ~Gone() { std::remove(path.c_str()); }
    } gone;
    RpcClient client(RpcConfig{.url = "http://127.0.0.1:1/", .cookie_file = path});
#endif
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        run(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const std::runtime_error&) {
        // a clean refusal
    } catch (const nlohmann::json::exception&) {
        // the JSON library's own refusal, as the miner reports it
    }
    return 0;
}
