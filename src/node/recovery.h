#pragma once
// The start-up pass over the journal: blocks of an earlier run that never got
// a verdict are classified by what the node knows of each block itself.
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "node/journal.h"
#include "node/submitter.h"

namespace vkn {

// The node's header record of a block ("confirmations" -1 off the main
// chain), or nothing when it does not know the block; throws when it cannot
// tell (unreachable, no such method).
using HeaderQuery = std::function<std::optional<nlohmann::json>(const std::string& hash)>;

// In the main chain: accepted. Known off it, or unknown and not on `tip`:
// abandoned. Unknown and on the tip: handed to the submitter again. When the
// node cannot tell, a block on the tip is handed over again (a "duplicate"
// then counts as accepted) and any other stays pending. A cancelled query
// (RpcCancelled: a stop) ends the pass with every block left as it was.
void recover_pending(Journal& journal, Submitter& submitter, const HeaderQuery& query, const std::string& tip);

}  // namespace vkn
