#include "block/payout.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <stdexcept>

#include "util/hex.h"
#include "util/parse.h"

namespace vkn {

namespace {

// The share forms, @WEIGHT and :SATS, of either payout; `target` gets what comes before.
PayoutSpec parse_share(const std::string& text, std::string& target) {
    PayoutSpec spec;
    size_t at = text.rfind('@');
    size_t colon = text.rfind(':');
    if (at != std::string::npos) {
        target = text.substr(0, at);
        spec.weight = parse_double(text.substr(at + 1), "payout weight");
        if (!(spec.weight > 0)) throw std::runtime_error("payout weight must be positive: " + text);
    } else if (colon != std::string::npos) {
        target = text.substr(0, colon);
        spec.sats = parse_u64(text.substr(colon + 1), "payout satoshis");
        spec.absolute = true;
    } else {
        target = text;
        spec.weight = 1.0;
    }
    return spec;
}

}  // namespace

PayoutSpec parse_payout_address(const std::string& text) {
    std::string address;
    PayoutSpec spec = parse_share(text, address);
    // Every address format is letters and digits: anything else is a typo, never sent to the node.
    const bool plain = !address.empty() && address.size() <= 128 &&
                       std::all_of(address.begin(), address.end(), [](char c) { return std::isalnum(uint8_t(c)); });
    if (!plain) throw std::runtime_error("payout address must be letters and digits: " + text);
    spec.address = address;
    return spec;
}

PayoutSpec parse_payout(const std::string& text) {
    std::string script_part;
    PayoutSpec spec = parse_share(text, script_part);
    spec.script = hex_to_bytes(script_part);
    if (spec.script.empty()) throw std::runtime_error("empty scriptPubKey in payout: " + text);
    if (spec.script.size() > 10000) throw std::runtime_error("unreasonably large scriptPubKey in payout: " + text);
    return spec;
}

std::vector<TxOut> split_coinbase_value(uint64_t coinbase_value, const std::vector<PayoutSpec>& payouts) {
    if (payouts.empty()) throw std::runtime_error("at least one --payout raw scriptPubKey is required");

    // Extended precision keeps weight x remainder exact for every 64-bit
    // remainder that fits the 64-bit significand.
    struct Entry {
        uint64_t amount;
        bool weighted;
        long double weight;
    };
    std::vector<Entry> entries;
    entries.reserve(payouts.size());
    uint64_t absolute_sum = 0;
    for (const PayoutSpec& p : payouts) {
        if (p.absolute) {
            if (absolute_sum + p.sats < absolute_sum) throw std::runtime_error("absolute payout sum overflow");
            absolute_sum += p.sats;
            entries.push_back({p.sats, false, 0.0L});
        } else {
            entries.push_back({0, true, static_cast<long double>(p.weight)});
        }
    }
    if (absolute_sum > coinbase_value)
        throw std::runtime_error("absolute payout sum exceeds coinbasevalue from template");
    const uint64_t remainder = coinbase_value - absolute_sum;

    long double total_weight = 0.0L;
    size_t last_weighted = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].weighted) {
            total_weight += entries[i].weight;
            last_weighted = i;
        }
    }

    if (!(total_weight > 0.0L)) {
        entries[0].amount += remainder;
    } else {
        uint64_t assigned = 0;
        const long double r = static_cast<long double>(remainder);
        for (size_t i = 0; i < entries.size(); ++i) {
            if (!entries[i].weighted) continue;
            const uint64_t left = remainder - assigned;
            if (i == last_weighted) {
                entries[i].amount = left;
                break;
            }
            long double q = std::floor(r * entries[i].weight / total_weight);
            // An infinite or out-of-range quotient would make the conversion
            // undefined; capping at what is left keeps the sum exact.
            uint64_t share = (q >= static_cast<long double>(left) || std::isnan(q)) ? left
                             : (q <= 0.0L ? 0 : static_cast<uint64_t>(q));
            entries[i].amount = share < left ? share : left;
            assigned += entries[i].amount;
        }
    }

    std::vector<TxOut> outs;
    outs.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) outs.push_back({entries[i].amount, payouts[i].script});
    return outs;
}

}  // namespace vkn
