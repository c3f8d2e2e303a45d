#include "node/recovery.h"

#include "node/rpc_client.h"
#include "util/output.h"

namespace vkn {

void recover_pending(Journal& journal, Submitter& submitter, const HeaderQuery& query, const std::string& tip) {
    for (const FoundBlock& b : journal.pending()) {
        const std::string name = "[journal] pending block hash=" + b.hash;
        std::optional<nlohmann::json> header;
        bool told = true;
        try {
            header = query(b.hash);
        } catch (const RpcCancelled&) {
            throw;  // a stop: every block stays as it is
        } catch (const std::exception& e) {
            told = false;
            if (b.prevhash != tip) {
                print_warn(name + ": the node cannot tell whether it has it (" + e.what() + "); left pending");
                continue;
            }
        }
        if (header) {
            const bool in_chain = header->is_object() && header->value("confirmations", int64_t(-1)) >= 0;
            print_out(name + (in_chain ? " is in the main chain: accepted" : " is not in the main chain: abandoned"));
            journal.record(b, in_chain ? "accepted" : "abandoned");
        } else if (told && b.prevhash != tip) {
            print_out(name + " is not on the current tip: abandoned");
            journal.record(b, "abandoned");
        } else {
            print_out("[journal] submitting pending block hash=" + b.hash + " height=" + std::to_string(b.height));
            submitter.resubmit(b);
        }
    }
}

}  // namespace vkn
