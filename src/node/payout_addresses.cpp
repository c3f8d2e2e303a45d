#include "node/payout_addresses.h"

#include <cstdio>
#include <stdexcept>

#include "block/script_type.h"
#include "node/rpc_client.h"
#include "util/hex.h"

namespace vkn {

bool is_method_missing(const std::exception& e) {
    if (const auto* http = dynamic_cast<const RpcHttpError*>(&e)) return http->status() == 404;
    const auto* node = dynamic_cast<const RpcNodeError*>(&e);
    return node && node->error().is_object() && node->error().value("code", 0) == -32601;
}

void resolve_payout_addresses(std::vector<PayoutSpec>& payouts,
                              const std::function<nlohmann::json(const std::string&)>& validate) {
    for (PayoutSpec& p : payouts) {
        if (p.address.empty()) continue;
        nlohmann::json answer;
        try {
            answer = validate(p.address);
        } catch (const RpcError& e) {
            if (!is_method_missing(e)) throw;
            throw std::runtime_error("the node has no validateaddress: give the script of " + p.address +
                                     " with --payout instead");
        }
        if (!answer.is_object() || !answer.value("isvalid", false)) {
            const std::string why = answer.is_object() && answer.contains("error") && answer["error"].is_string()
                                        ? " (" + answer["error"].get<std::string>() + ")"
                                        : "";
            throw std::runtime_error("--payout-address " + p.address + " is not a valid address for the node" + why);
        }
        const std::string hex = answer.value("scriptPubKey", "");
        try {
            p.script = hex_to_bytes(hex);
        } catch (const std::exception&) {
            p.script.clear();
        }
        if (p.script.empty())
            throw std::runtime_error("--payout-address " + p.address + ": the node gave no script: " + answer.dump());
    }
}

std::vector<std::string> payout_lines(const std::vector<PayoutSpec>& payouts) {
    double weights = 0;
    for (const PayoutSpec& p : payouts) weights += p.absolute ? 0 : p.weight;
    std::vector<std::string> lines;
    for (const PayoutSpec& p : payouts) {
        if (p.address.empty()) continue;
        char share[64];
        if (p.absolute) std::snprintf(share, sizeof share, "sats=%llu", static_cast<unsigned long long>(p.sats));
        else std::snprintf(share, sizeof share, "share=%.2f%%", 100.0 * p.weight / weights);
        lines.push_back("[payout] " + p.address + " -> " + bytes_to_hex(p.script) + " (" +
                        script_type_name(p.script) + ") " + share);
    }
    return lines;
}

std::vector<std::string> payout_warnings(const std::vector<PayoutSpec>& payouts) {
    std::vector<std::string> lines;
    for (const PayoutSpec& p : payouts)
        if (script_is_risky(classify_script(p.script)))
            lines.push_back("[payout] warning: " + bytes_to_hex(p.script) + " (" + script_type_name(p.script) +
                            ") is not a standard output script: coins paid to it may be lost or taken by anyone");
    return lines;
}

}  // namespace vkn
