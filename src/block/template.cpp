#include "block/template.h"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "util/hex.h"
#include "util/parse.h"

namespace vkn {
namespace {

using nlohmann::json;

// A member that must be a JSON number holding a whole value of the field's type.
template <class T>
T number(const json& j, const char* key) {
    const json& v = j.at(key);
    // The library itself would read a boolean as 0 or 1; a template field
    // that is not a number is an error, reported in the library's words.
    if (!v.is_number())
        throw json::type_error::create(302, std::string("type must be number, but is ") + v.type_name(), &v);
    // Converting a value outside the type would wrap it or be undefined. An
    // 80-bit long double holds every 64-bit integer exactly.
    const long double x = v.is_number_unsigned()  ? static_cast<long double>(v.get<uint64_t>())
                          : v.is_number_integer() ? static_cast<long double>(v.get<int64_t>())
                                                  : static_cast<long double>(v.get<double>());
    if (!(x >= std::numeric_limits<T>::min() && x <= std::numeric_limits<T>::max()) || x != std::floor(x))
        throw std::runtime_error(std::string("template field ") + key + " out of range: " + v.dump());
    return static_cast<T>(x);
}

std::string string_member(const json& j, const char* key) { return j.at(key).get<std::string>(); }

Hash256 tx_hash(const std::string& text, bool txids_internal) {
    if (!txids_internal) return hash_from_hex(text);
    Bytes b = hex_to_bytes(text);
    if (b.size() != 32) throw std::runtime_error("expected 32-byte tx hash");
    Hash256 h;
    std::copy(b.begin(), b.end(), h.begin());
    return h;
}

}  // namespace

bool array_contains_string(const json& value, const std::string& text) {
    if (!value.is_array()) return false;
    for (const json& e : value)
        if (e.is_string() && e.get_ref<const std::string&>() == text) return true;
    return false;
}

Hash256 compact_to_target(uint32_t bits) {
    Hash256 t{};
    const uint32_t exponent = bits >> 24;
    uint32_t mantissa = bits & 0x7FFFFF;
    if (bits & 0x00800000) mantissa = 0;
    if (exponent <= 3) {
        uint32_t v = mantissa >> (8 * (3 - exponent));
        for (int i = 0; i < 3; ++i) t[i] = uint8_t(v >> (8 * i));
    } else {
        // Byte i of the mantissa lands at byte i + exponent - 3; bytes past
        // 31 fall off the 256-bit number.
        for (uint32_t i = 0; i < 3; ++i) {
            uint64_t at = uint64_t(i) + exponent - 3;
            if (at < 32) t[at] = uint8_t(mantissa >> (8 * i));
        }
    }
    return t;
}

BlockTemplate parse_block_template(const json& reply, bool txids_internal) {
    BlockTemplate t;
    t.version = number<int32_t>(reply, "version");
    t.prev_hash = hash_from_hex(string_member(reply, "previousblockhash"));
    t.coinbase_value = number<uint64_t>(reply, "coinbasevalue");
    t.height = number<uint32_t>(reply, "height");
    t.curtime = number<uint32_t>(reply, "curtime");
    t.mintime = reply.contains("mintime") ? number<uint32_t>(reply, "mintime") : t.curtime;
    t.bits = parse_hex_u32(string_member(reply, "bits"), "bits");
    auto target = reply.find("target");
    t.target = (target != reply.end() && target->is_string()) ? hash_from_hex(target->get<std::string>())
                                                              : compact_to_target(t.bits);
    if (reply.contains("longpollid")) t.longpollid = string_member(reply, "longpollid");
    if (reply.contains("workid")) t.workid = string_member(reply, "workid");
    t.segwit_rule = array_contains_string(reply.value("rules", json::array()), "segwit");
    t.mutable_time = array_contains_string(reply.value("mutable", json::array()), "time");

    auto aux = reply.find("coinbaseaux");
    if (aux != reply.end() && aux->is_object()) {
        for (const auto& [key, value] : aux->items())  // keys in ascending order
            if (value.is_string()) t.coinbaseaux.push_back(hex_to_bytes(value.get<std::string>()));
    }
    auto dwc = reply.find("default_witness_commitment");
    if (dwc != reply.end() && dwc->is_string()) t.default_witness_commitment = hex_to_bytes(dwc->get<std::string>());

    auto range = reply.find("noncerange");
    if (range != reply.end() && range->is_string()) {
        const std::string& r = range->get_ref<const std::string&>();
        if (r.size() >= 16) {
            t.nonce_min = parse_hex_u32(r.substr(0, 8), "noncerange minimum");
            t.nonce_max = parse_hex_u32(r.substr(r.size() - 8), "noncerange maximum");
        }
    }
    if (t.nonce_min > t.nonce_max) throw std::runtime_error("GBT noncerange minimum is greater than maximum");

    auto txs = reply.find("transactions");
    if (txs != reply.end() && txs->is_array()) {
        t.transactions.reserve(txs->size());
        for (const json& e : *txs) {
            TemplateTransaction tx;
            tx.data = hex_to_bytes(string_member(e, "data"));
            tx.txid = tx_hash(string_member(e, "txid"), txids_internal);
            auto h = e.find("hash");
            tx.hash = (h != e.end() && h->is_string()) ? tx_hash(h->get<std::string>(), txids_internal) : tx.txid;
            t.transactions.push_back(std::move(tx));
        }
    }
    return t;
}

}  // namespace vkn
