#pragma once
// The program's version: the project version, plus " (commit C)" when it
// was built from a git checkout.

namespace vkn {

const char* version_text();

}  // namespace vkn
