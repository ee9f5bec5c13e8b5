// Files the console writes: whole or not at all.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace host {

// Writes `size` bytes to a temporary file beside `path`, flushes it to disk and renames it
// over `path`, so a crash or a full disk never leaves a half-written file or destroys the
// previous one. Throws FileError naming `path` on failure. `before_rename` lets tests fail
// the write at its most delicate point.
void write_file_atomically(const std::string& path, const void* data, std::size_t size,
                           const std::function<void()>& before_rename = {});

// The save-directory base name of a cartridge path: the last component without its last
// extension, both '/' and '\\' counting as separators, spaces turned into '_'.
std::string cartridge_base_name(const std::string& path);

}  // namespace host
