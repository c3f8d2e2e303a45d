#pragma once
// Payouts the node resolves: each --payout-address becomes the script the
// node's validateaddress gives for it, and every payout is described and,
// where its coins may be lost, warned about before mining starts.
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "block/payout.h"

namespace vkn {

// True when the node's error means it lacks the method (HTTP 404, or the
// JSON-RPC "method not found" -32601).
bool is_method_missing(const std::exception& e);

// Fills the script of every payout given as an address, in place, asking
// `validate` (the node's validateaddress). Throws, naming the address, when
// the node calls it invalid or has no validateaddress.
void resolve_payout_addresses(std::vector<PayoutSpec>& payouts,
                              const std::function<nlohmann::json(const std::string&)>& validate);

// "[payout] ADDRESS -> SCRIPT (TYPE) share=75.00%" (or "sats=N") for each
// address payout, in order.
std::vector<std::string> payout_lines(const std::vector<PayoutSpec>& payouts);
// One line for each payout whose coins may be lost or taken by anyone.
std::vector<std::string> payout_warnings(const std::vector<PayoutSpec>& payouts);

}  // namespace vkn
