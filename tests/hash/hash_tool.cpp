// Reads "ALGORITHM HEX" lines on standard input and prints the digest hex of
// each, so that a script can compare every digest with an independent
// implementation. Algorithms: sha256, sha256d, sha3_256, sha3_256t, core
// (the search core on an 80-byte header, nonce at bytes 76..79).
#include <iostream>
#include <sstream>
#include <string>

#include "gpu/grid_emulation.h"
#include "gpu/search_core.h"
#include "hash/keccak.h"
#include "hash/sha256.h"
#include "hash/sha3t.h"
#include "util/hex.h"

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string alg, hex;
        in >> alg >> hex;
        vkn::Bytes b = vkn::hex_to_bytes(hex);
        vkn::Hash256 h{};
        if (alg == "sha256") h = vkn::sha256(b.data(), b.size());
        else if (alg == "sha256d") h = vkn::sha256d(b);
        else if (alg == "sha3_256") h = vkn::sha3_256(b.data(), b.size());
        else if (alg == "sha3_256t") h = vkn::sha3_256t(b.data(), b.size());
        else if (alg == "core" && b.size() == 80) {
            vkn::Header80 header;
            std::copy(b.begin(), b.end(), header.begin());
            uint64_t w[10], out[4];
            vkn::header_to_words(header, w);
            uint32_t nonce = uint32_t(b[76]) | uint32_t(b[77]) << 8 | uint32_t(b[78]) << 16 | uint32_t(b[79]) << 24;
            w[9] ^= uint64_t(0x5a5a5a5a) << 32;  // the core must ignore the uploaded nonce half
            vkn::core::hash_nonce(vkn::core::precompute(w), nonce, out);
            h = vkn::words_to_hash(out);
        } else {
            std::cerr << "bad line: " << line << "\n";
            return 2;
        }
        std::cout << vkn::bytes_to_hex(h.data(), h.size()) << "\n";
    }
}
