#pragma once
// What kind of output script a payout pays: the standard templates by name,
// and the scripts whose coins may be lost or taken by anyone.
#include <string>

#include "util/bytes.h"

namespace vkn {

enum class ScriptType {
    p2pkh,
    p2sh,
    p2wpkh,
    p2wsh,
    p2tr,
    witness_unknown,  // a witness version or program length not yet defined
    multisig,         // bare m-of-n
    op_return,
    anyone_can_spend,  // pushes only: any empty input spends it
    nonstandard,
};

ScriptType classify_script(const Bytes& script);
// "P2PKH", "P2SH", "P2WPKH", "P2WSH", "P2TR", "witness v2", "bare multisig",
// "OP_RETURN", "anyone-can-spend", "non-standard".
std::string script_type_name(const Bytes& script);
// Coins paid to it may be lost or taken by anyone.
bool script_is_risky(ScriptType type);

}  // namespace vkn
