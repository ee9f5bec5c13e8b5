// Files the console writes: whole or not at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace host {

// Writes `size` bytes to a temporary file beside `path`, flushes it to disk and renames it
// over `path`, so a crash or a full disk never leaves a half-written file or destroys the
// previous one. Throws FileError naming `path` on failure. `before_rename` lets tests fail
// the write at its most delicate point.
void write_file_atomically(const std::string& path, const void* data, std::size_t size,
                           const std::function<void()>& before_rename = {});

// Test hook: from now on, every write stops with ENOSPC once `bytes` bytes of it have reached
// the temporary file, as a full disk would half-way through. SIZE_MAX (the default) turns
// the fault off.
void set_write_fault_after(std::size_t bytes);

// The save-directory base name of a cartridge path: the last component without its last
// extension, both '/' and '\\' counting as separators, spaces turned into '_'.
std::string cartridge_base_name(const std::string& path);

}  // namespace host
