#pragma once
// Home-directory expansion and whole-file reads.
#include <string>

namespace vkn {

// "~" and "~/..." use $HOME (which must then be set and non-empty); other
// paths, "~user" forms included, come back unchanged.
std::string expand_home(const std::string& path);

// Every byte of the file at the expanded path.
std::string read_file(const std::string& path);

}  // namespace vkn
