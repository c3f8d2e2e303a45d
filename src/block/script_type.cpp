#include "block/script_type.h"

#include <optional>
#include <vector>

namespace vkn {
namespace {

constexpr uint8_t kOp0 = 0x00, kOpPushdata1 = 0x4c, kOpPushdata2 = 0x4d, kOpPushdata4 = 0x4e;
constexpr uint8_t kOp1Negate = 0x4f, kOp1 = 0x51, kOp16 = 0x60;
constexpr uint8_t kOpReturn = 0x6a, kOpDup = 0x76, kOpEqual = 0x87, kOpEqualVerify = 0x88;
constexpr uint8_t kOpHash160 = 0xa9, kOpCheckSig = 0xac, kOpCheckMultisig = 0xae;

// One instruction: its opcode and, for a push, the data.
struct Op {
    uint8_t code;
    Bytes data;
};

// The instructions, or nothing when a push runs past the end.
std::optional<std::vector<Op>> decode(const Bytes& s) {
    std::vector<Op> ops;
    for (size_t i = 0; i < s.size();) {
        const uint8_t code = s[i++];
        size_t n = 0, width = 0;
        if (code > kOp0 && code < kOpPushdata1) n = code;
        else if (code == kOpPushdata1) width = 1;
        else if (code == kOpPushdata2) width = 2;
        else if (code == kOpPushdata4) width = 4;
        if (width) {
            if (s.size() - i < width) return std::nullopt;
            for (size_t k = 0; k < width; ++k) n |= size_t(s[i + k]) << (8 * k);
            i += width;
        }
        if (s.size() - i < n) return std::nullopt;
        ops.push_back({code, Bytes(s.begin() + long(i), s.begin() + long(i + n))});
        i += n;
    }
    return ops;
}

bool is_push(uint8_t code) { return code <= kOpPushdata4 || code == kOp1Negate || (code >= kOp1 && code <= kOp16); }
bool is_small_int(uint8_t code) { return code >= kOp1 && code <= kOp16; }

std::optional<ScriptType> witness_type(const Bytes& s) {
    // A version opcode and one push of 2 to 40 bytes (BIP 141).
    if (s.size() < 4 || s.size() > 42 || !(s[0] == kOp0 || is_small_int(s[0])) || s[1] + 2u != s.size())
        return std::nullopt;
    if (s[0] == kOp0 && s.size() == 22) return ScriptType::p2wpkh;
    if (s[0] == kOp0 && s.size() == 34) return ScriptType::p2wsh;
    if (s[0] == kOp1 && s.size() == 34) return ScriptType::p2tr;
    return s[0] == kOp0 ? ScriptType::nonstandard : ScriptType::witness_unknown;
}

bool is_multisig(const std::vector<Op>& ops) {
    if (ops.size() < 4 || ops.back().code != kOpCheckMultisig) return false;
    const uint8_t m = ops.front().code, n = ops[ops.size() - 2].code;
    if (!is_small_int(m) || !is_small_int(n) || m > n || size_t(n - kOp1 + 1) != ops.size() - 3) return false;
    for (size_t k = 1; k + 2 < ops.size(); ++k)
        if (ops[k].data.size() != 33 && ops[k].data.size() != 65) return false;
    return true;
}

}  // namespace

ScriptType classify_script(const Bytes& s) {
    if (s.size() == 25 && s[0] == kOpDup && s[1] == kOpHash160 && s[2] == 20 && s[23] == kOpEqualVerify &&
        s[24] == kOpCheckSig)
        return ScriptType::p2pkh;
    if (s.size() == 23 && s[0] == kOpHash160 && s[1] == 20 && s[22] == kOpEqual) return ScriptType::p2sh;
    if (const auto w = witness_type(s)) return *w;
    if (!s.empty() && s[0] == kOpReturn) return ScriptType::op_return;
    const auto ops = decode(s);
    if (!ops) return ScriptType::nonstandard;
    if (is_multisig(*ops)) return ScriptType::multisig;
    bool pushes_only = true;
    for (const Op& op : *ops) pushes_only = pushes_only && is_push(op.code);
    return pushes_only ? ScriptType::anyone_can_spend : ScriptType::nonstandard;
}

std::string script_type_name(const Bytes& s) {
    switch (classify_script(s)) {
        case ScriptType::p2pkh: return "P2PKH";
        case ScriptType::p2sh: return "P2SH";
        case ScriptType::p2wpkh: return "P2WPKH";
        case ScriptType::p2wsh: return "P2WSH";
        case ScriptType::p2tr: return "P2TR";
        case ScriptType::witness_unknown: return "witness v" + std::to_string(s[0] - kOp1 + 1);
        case ScriptType::multisig: return "bare multisig";
        case ScriptType::op_return: return "OP_RETURN";
        case ScriptType::anyone_can_spend: return "anyone-can-spend";
        case ScriptType::nonstandard: break;
    }
    return "non-standard";
}

bool script_is_risky(ScriptType t) {
    return t == ScriptType::op_return || t == ScriptType::anyone_can_spend || t == ScriptType::nonstandard;
}

}  // namespace vkn
