#pragma once
// Home-directory expansion, whole-file reads and secrets kept in files.
#include <cstddef>
#include <cstdint>
#include <string>

namespace vkn {

// "~" and "~/..." use $HOME (which must then be set and non-empty); other
// paths, "~user" forms included, come back unchanged.
std::string expand_home(const std::string& path);

// Every byte of the file at the expanded path; a file longer than `limit`
// bytes is refused ("PATH is larger than N bytes") before it is read whole.
std::string read_file(const std::string& path, size_t limit = SIZE_MAX);

// A secret kept in a file: its first line, without the line end. Sets
// `shared` when the group or others may read the file.
std::string read_secret(const std::string& path, bool& shared);

}  // namespace vkn
