#pragma once
// The --payout syntax and the exact split of a block reward among payouts.
#include <cstdint>
#include <string>
#include <vector>

#include "util/bytes.h"

namespace vkn {

struct PayoutSpec {
    Bytes script;         // empty until the node resolves `address`
    std::string address;  // --payout-address: the node's address for the script
    uint64_t sats = 0;      // meaningful only when absolute
    bool absolute = false;  // the SCRIPT:SATS form
    double weight = 0.0;    // > 0 for weighted payouts, 0 for absolute ones
};

struct TxOut {
    uint64_t value = 0;
    Bytes script;
};

// SCRIPT, SCRIPT@WEIGHT or SCRIPT:SATS (the last "@" wins over any ":").
PayoutSpec parse_payout(const std::string& text);
// ADDRESS, ADDRESS@WEIGHT or ADDRESS:SATS; the script comes from the node.
PayoutSpec parse_payout_address(const std::string& text);

// One output per payout in the given order; the values always add up to
// coinbase_value, the last weighted payout taking what rounding leaves.
std::vector<TxOut> split_coinbase_value(uint64_t coinbase_value, const std::vector<PayoutSpec>& payouts);

}  // namespace vkn
