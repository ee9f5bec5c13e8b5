// The save directory, the save-state slots and the battery RAM file.
#include "host/storage.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "host/console.hpp"
#include "host/errors.hpp"
#include "host/glob_const.hpp"

namespace fs = std::filesystem;

std::string config_dir;
// The separator is '/' from the start, so that a console without a cartridge that is given
// a save directory still forms usable file names.
char sep = '/';

FileError::FileError(int e, const std::string& p, const std::string& w)
    : std::runtime_error(w + ": " + std::strerror(e)), error_number(e), path(p) {}

namespace host {

namespace {
std::atomic<std::size_t> write_fault_after{SIZE_MAX};
}  // namespace

void set_write_fault_after(std::size_t bytes) { write_fault_after.store(bytes); }

void write_file_atomically(const std::string& path, const void* data, std::size_t size,
                           const std::function<void()>& before_rename) {
    std::string tmp_name = path + ".tmp.XXXXXX";
    std::vector<char> tmpl(tmp_name.begin(), tmp_name.end());
    tmpl.push_back('\0');
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0) throw FileError(errno, path, "cannot write " + path);
    tmp_name = tmpl.data();
    auto fail = [&](int error) {
        ::close(fd);
        ::unlink(tmp_name.c_str());
        throw FileError(error, path, "cannot write " + path);
    };
    const char* bytes = static_cast<const char*>(data);
    const std::size_t limit = write_fault_after.load();
    std::size_t done = 0;
    while (done < size) {
        if (done >= limit) fail(ENOSPC);
        const ssize_t n = ::write(fd, bytes + done, std::min(size, limit) - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fchmod(fd, 0644) != 0 || ::fsync(fd) != 0) fail(errno);
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(tmp_name.c_str());
        throw FileError(error, path, "cannot write " + path);
    }
    try {
        if (before_rename) before_rename();
    } catch (...) {
        ::unlink(tmp_name.c_str());
        throw;
    }
    if (::rename(tmp_name.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(tmp_name.c_str());
        throw FileError(error, path, "cannot write " + path);
    }
}

std::string cartridge_base_name(const std::string& path) {
    std::string name = path;
    std::size_t start = 0;
    bool dot_cut = false;
    for (std::size_t i = name.size(); i-- > 0;) {
        const char c = name[i];
        if (c == '/' || c == '\\') {
            start = i + 1;
            break;
        }
        if (c == '.' && !dot_cut) {
            name.resize(i);
            dot_cut = true;
        }
    }
    std::string base = start <= name.size() ? name.substr(start) : std::string();
    for (char& c : base)
        if (c == ' ') c = '_';
    return base;
}

}  // namespace host

namespace {

bool exists(const fs::path& p) {
    const fs::file_status st = fs::status(p);  // throws on errors other than absence
    return st.type() != fs::file_type::not_found && st.type() != fs::file_type::none;
}

void ensure_directory(const std::string& dir) {
    if (!exists(dir)) fs::create_directory(dir);
}

}  // namespace

void NESUnit::detectOS(const char* path) {
    const std::string base = host::cartridge_base_name(path ? path : "");
    const char* home = std::getenv("HOME");
    if (home == nullptr) throw std::runtime_error("HOME is not set: cannot place the save directory");
    sep = '/';
    config_dir = std::string(home) + "/.config";
    std::printf("LINUX, %s\n", config_dir.c_str());
    ensure_directory(config_dir);  // a missing ~/.config is created rather than failing
    config_dir += sep;
    config_dir += "Quorvali";
    ensure_directory(config_dir);
    config_dir += sep;
    config_dir += base;
    save_dir = config_dir;
    cart_dir = config_dir;
    std::puts(config_dir.c_str());
    if (exists(config_dir))
        std::puts("Folder already exists. Checking for save...");
    else
        fs::create_directory(config_dir);
}

bool NESUnit::setSaveDir(const std::string& dir) {
    if (!exists(dir)) return false;
    save_dir = dir;
    return true;
}

std::string NESUnit::slot_path(int slot) const {
    if (save_dir.empty())
        throw StateError("this console has no save directory: call setSaveDir first");
    return save_dir + sep + std::to_string(slot);
}

void NESUnit::save(int slot) {
    const std::string path = slot_path(slot);
    std::vector<uint8_t> state(NES::CPU::STATE_SIZE);
    with_machine_parked([&] { cpu->save_state_bytes(state.data()); });
    host::write_file_atomically(path, state.data(), state.size());
}

bool NESUnit::load(int slot) {
    const std::string path = slot_path(slot);
    if (!exists(path)) return false;
    if (!fs::is_regular_file(path))
        throw FileFormatError("not a save state (not a regular file): " + path);
    const auto size = fs::file_size(path);
    if (size != static_cast<std::uintmax_t>(NES::CPU::STATE_SIZE))
        throw FileFormatError("not a save state (" + std::to_string(size) + " bytes, " +
                              std::to_string(NES::CPU::STATE_SIZE) + " expected): " + path);
    std::vector<uint8_t> state(NES::CPU::STATE_SIZE);
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) throw FileError(errno, path, "cannot read " + path);
    const std::size_t n = std::fread(state.data(), 1, state.size(), f);
    std::fclose(f);
    if (n != state.size()) throw FileFormatError("save state shorter than expected: " + path);
    with_machine_parked([&] { cpu->load_state_bytes(state.data()); });
    return true;
}

void NESUnit::write_battery_ram() {
    if (!rom || !rom->battery || cart_dir.empty()) return;
    std::vector<uint8_t> ram(cpu->memory + 0x6000, cpu->memory + 0x8000);
    host::write_file_atomically(cart_dir + sep + "ram", ram.data(), ram.size());
}
