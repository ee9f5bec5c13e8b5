// The save directory, the save-state slots and the battery RAM file.
#include "host/storage.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
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

namespace {

constexpr char TMP_MARK[] = ".tmp.";
constexpr std::size_t TMP_RANDOM = 6;  // mkstemp's XXXXXX

bool is_temporary_of(const std::string& entry, const std::string& target) {
    const std::string prefix = target + TMP_MARK;
    if (entry.size() != prefix.size() + TMP_RANDOM || entry.compare(0, prefix.size(), prefix) != 0) return false;
    return std::all_of(entry.begin() + static_cast<std::ptrdiff_t>(prefix.size()), entry.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

// Writers in a folder hold a shared lock on it while their temporary file exists; one that
// gets the lock exclusively knows that every temporary file there was left by a writer that
// died (a kill between creating the file and the rename), and removes those of its target.
// Returns the folder's descriptor holding the shared lock, or -1 (no cleaning, no lock).
int lock_folder_and_clean(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string target = slash == std::string::npos ? path : path.substr(slash + 1);
    const int dir_fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) return -1;
    if (::flock(dir_fd, LOCK_EX | LOCK_NB) == 0) {
        if (DIR* dir = ::fdopendir(::dup(dir_fd))) {
            while (const dirent* e = ::readdir(dir)) {
                struct stat st;
                if (is_temporary_of(e->d_name, target) && ::fstatat(dir_fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISREG(st.st_mode))
                    ::unlinkat(dir_fd, e->d_name, 0);
            }
            ::closedir(dir);
        }
    }
    while (::flock(dir_fd, LOCK_SH) != 0 && errno == EINTR) {}
    return dir_fd;
}

}  // namespace

void write_file_atomically(const std::string& path, const void* data, std::size_t size,
                           const std::function<void()>& before_rename) {
    struct FolderLock {
        int fd;
        ~FolderLock() {
            if (fd >= 0) ::close(fd);
        }
    } folder_lock{lock_folder_and_clean(path)};
    std::string tmp_name = path + TMP_MARK + "XXXXXX";
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
        if (c == ' ' || c == '\0') c = '_';  // a NUL would end the path early
    // "", "." and ".." would name the program folder or its parent: the dots become '_'.
    if (base.empty() || base == "." || base == "..") base = std::string(std::max<std::size_t>(base.size(), 1), '_');
    return base;
}

}  // namespace host

namespace {

bool exists(const fs::path& p) {
    const fs::file_status st = fs::status(p);  // throws on errors other than absence
    return st.type() != fs::file_type::not_found && st.type() != fs::file_type::none;
}

}  // namespace

void NESUnit::detectOS(const char* path) {
    const std::string base = host::cartridge_base_name(path ? path : "");
    const char* home = std::getenv("HOME");
    if (home == nullptr) {
        saving_off_error = ENOENT;
        saving_off_folder = "$HOME/.config/Quorvali/" + base;
        std::puts("zumbrel: HOME is not set: saving is off (no save states, no battery RAM file)");
        return;
    }
    sep = '/';
    config_dir = std::string(home) + "/.config";
    std::printf("LINUX, %s\n", config_dir.c_str());
    const std::string folder = config_dir + sep + "Quorvali" + sep + base;
    // Without a usable folder (a read-only or missing home, a file in the way) the console is
    // built all the same, with saving off.
    try {
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
            ensure_directory(config_dir);
    } catch (const fs::filesystem_error& e) {
        save_dir = cart_dir = folder;
        saving_off_error = e.code().value();
        saving_off_folder = folder;
        std::printf(
            "zumbrel: cannot make the save folder %s (%s): saving is off (no save states, no battery RAM file)\n",
            folder.c_str(), e.code().message().c_str());
    }
}

void NESUnit::ensure_directory(const std::string& dir) {
    if (exists(dir)) return;
    fs::create_directory(dir);
    made_dirs.push_back(dir);
}

void NESUnit::undo_made_dirs() noexcept {
    std::error_code ignored;
    for (auto it = made_dirs.rbegin(); it != made_dirs.rend(); ++it) fs::remove(*it, ignored);  // only if empty
    made_dirs.clear();
}

bool NESUnit::saving_off() const { return saving_off_error != 0 && save_dir == cart_dir; }

bool NESUnit::setSaveDir(const std::string& dir) {
    if (!exists(dir)) return false;
    save_dir = dir;
    return true;
}

std::string NESUnit::slot_path(int slot) const {
    if (save_dir.empty()) throw StateError("this console has no save directory: call setSaveDir first");
    return save_dir + sep + std::to_string(slot);
}

void NESUnit::save(int slot) {
    if (saving_off())
        throw FileError(saving_off_error, saving_off_folder, "saving is off: no save folder " + saving_off_folder);
    const std::string path = slot_path(slot);
    std::vector<uint8_t> state(NES::CPU::STATE_SIZE);
    with_machine_parked([&] { cpu->save_state_bytes(state.data()); });
    host::write_file_atomically(path, state.data(), state.size());
}

bool NESUnit::load(int slot) {
    const std::string path = slot_path(slot);
    if (!exists(path)) return false;
    if (!fs::is_regular_file(path)) throw FileFormatError("not a save state (not a regular file): " + path);
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

std::vector<uint8_t> NESUnit::battery_ram_copy() {
    std::vector<uint8_t> ram(BATTERY_RAM_SIZE);
    with_machine_parked([&] { std::memcpy(ram.data(), cpu->memory + 0x6000, ram.size()); });
    return ram;
}

void NESUnit::write_battery_ram() {
    if (!rom || !rom->battery || cart_dir.empty() || saving_off_error != 0) return;
    const std::string path = cart_dir + sep + "ram";
    const std::vector<uint8_t> ram = battery_ram_copy();
    std::lock_guard<std::mutex> lock(battery_mutex);
    if (battery_file_kept) set_aside_battery_file(path);
    host::write_file_atomically(path, ram.data(), ram.size());
    persisted_ram = ram;
}

void NESUnit::keep_battery_ram() noexcept {
    try {
        if (!rom || !rom->battery || cart_dir.empty() || saving_off_error != 0) return;
        const std::vector<uint8_t> ram = battery_ram_copy();
        bool changed;
        {
            std::lock_guard<std::mutex> lock(battery_mutex);
            changed = ram != persisted_ram;
        }
        if (changed) write_battery_ram();
    } catch (const std::exception& e) { std::printf("zumbrel: the battery RAM file was not written: %s\n", e.what()); }
}

// At construction: a battery RAM file that exists but cannot be read whole (no permission,
// not a regular file, the wrong size) is the player's data all the same. The console says so
// and keeps the file aside instead of writing over it.
void NESUnit::check_battery_file() {
    persisted_ram.assign(cpu->memory + 0x6000, cpu->memory + 0x8000);
    if (!rom || !rom->battery || cpu->battery_path.empty()) return;
    const std::string& path = cpu->battery_path;
    std::string problem;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) problem = std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        problem = "not a regular file";
    } else if (const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC); fd < 0) {
        problem = std::strerror(errno);
    } else {
        ::close(fd);
        if (st.st_size != BATTERY_RAM_SIZE)
            problem = std::to_string(st.st_size) + " bytes, " + std::to_string(BATTERY_RAM_SIZE) + " expected";
    }
    if (problem.empty()) return;
    battery_file_kept = true;
    std::printf("zumbrel: the battery RAM file %s cannot be used (%s): it will be kept as %s.unreadable\n",
                path.c_str(), problem.c_str(), path.c_str());
}

// Renames the file at `path` to the first free name of path.unreadable, .unreadable.1, ...
void NESUnit::set_aside_battery_file(const std::string& path) {
    std::error_code error;
    if (!fs::exists(fs::symlink_status(path, error))) {
        battery_file_kept = false;  // gone meanwhile: nothing to keep
        return;
    }
    std::string aside = path + ".unreadable";
    for (int n = 1; fs::exists(fs::symlink_status(aside, error)); ++n)
        aside = path + ".unreadable." + std::to_string(n);
    if (::rename(path.c_str(), aside.c_str()) != 0) throw FileError(errno, path, "cannot keep " + path + " aside");
    battery_file_kept = false;
    std::printf("zumbrel: the old battery RAM file is kept as %s\n", aside.c_str());
}
