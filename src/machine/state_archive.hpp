// One list of a component's fields serves every direction of an in-memory snapshot: the
// component names each field once, with the values it may take, and the archive measures,
// writes, checks or loads it. A field cannot be written and forgotten on the way back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "machine/common.hpp"

namespace NES {

// A snapshot that cannot be applied: wrong length, foreign cartridge, damaged or out of range.
class SnapshotError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Counters beyond this (centuries of emulated time) are not from a real run; below it, three
// times a count still fits 64 bits.
inline constexpr int64_t MAX_COUNT = int64_t{1} << 56;

class StateArchive {
public:
    // measure: count the bytes; save: write them; check: read and validate without touching
    // the component; load: read into the component (only after a check of the same bytes).
    enum class Mode { measure, save, check, load };

    static StateArchive measuring() { return StateArchive(Mode::measure, nullptr, nullptr, 0); }
    static StateArchive saving(uint8_t* out, size_t size) { return StateArchive(Mode::save, out, nullptr, size); }
    static StateArchive checking(const uint8_t* in, size_t size) {
        return StateArchive(Mode::check, nullptr, in, size);
    }
    static StateArchive loading(const uint8_t* in, size_t size) { return StateArchive(Mode::load, nullptr, in, size); }

    Mode mode() const { return mode_; }
    // Measuring and saving read the component; checking and loading read only the bytes, so
    // the component may run on while bytes are checked.
    bool reads_component() const { return mode_ == Mode::measure || mode_ == Mode::save; }
    bool checking_only() const { return mode_ == Mode::check; }
    size_t position() const { return pos_; }

    // A number any value of its type may take; returns the value saved or read.
    template <class T>
    T num(T& field) {
        static_assert(std::is_arithmetic_v<T> && !std::is_same_v<T, bool>, "bools go through flag()");
        return move(field);
    }
    // A number that must lie in lo..hi (it indexes a table or bounds a loop).
    template <class T>
    T num(T& field, T lo, T hi, const char* name) {
        const T v = num(field);
        if (mode_ == Mode::check && (v < lo || v > hi))
            fail(std::string(name) + " is " + std::to_string(v) + ", outside " + std::to_string(lo) + ".." +
                 std::to_string(hi));
        return v;
    }
    bool flag(bool& field, const char* name) {
        uint8_t b = reads_component() && field ? 1 : 0;
        b = num(b, uint8_t{0}, uint8_t{1}, name);
        if (mode_ == Mode::load) field = b != 0;
        return b != 0;
    }
    template <class T>
    T counter(Relaxed<T>& field, T lo, T hi, const char* name) {
        T v = reads_component() ? field.load() : T{};
        v = num(v, lo, hi, name);
        if (mode_ == Mode::load) field.store(v);
        return v;
    }
    // Bytes of any value (memories).
    void bytes(void* data, size_t n) {
        if (mode_ == Mode::save) std::memcpy(out_ + pos_, data, n);
        take(n);
        if (mode_ == Mode::load) std::memcpy(data, in_ + pos_ - n, n);
    }
    // A memory image, a whole number of kilobytes: a map of the kilobytes that hold anything
    // but zeros, then those kilobytes. Unused RAM, mirrors and silent audio cost a bit each.
    // Measuring counts every kilobyte, so it gives an upper bound.
    void memory_image(void* data, size_t n);
    template <class T, size_t N>
    void array(T (&field)[N]) {
        static_assert(std::is_trivially_copyable_v<T>);
        bytes(field, sizeof field);
    }
    // A relation between fields read so far; checked before anything is loaded.
    void require(bool holds, const std::string& what) {
        if (mode_ == Mode::check && !holds) fail(what);
    }
    [[noreturn]] static void fail(const std::string& what) { throw SnapshotError("snapshot: " + what); }

private:
    StateArchive(Mode m, uint8_t* out, const uint8_t* in, size_t size) : mode_(m), out_(out), in_(in), size_(size) {}

    void take(size_t n) {
        if (mode_ != Mode::measure && n > size_ - pos_) fail("the data ends early");
        pos_ += n;
    }
    template <class T>
    T move(T& field) {
        T v{};
        if (reads_component()) v = field;
        if (mode_ == Mode::save) std::memcpy(out_ + pos_, &v, sizeof v);
        take(sizeof v);
        if (mode_ == Mode::check || mode_ == Mode::load) std::memcpy(&v, in_ + pos_ - sizeof v, sizeof v);
        if (mode_ == Mode::load) field = v;
        return v;
    }

    Mode mode_;
    uint8_t* out_;
    const uint8_t* in_;
    size_t size_;
    size_t pos_ = 0;
};

// A fast 64-bit checksum: it tells a snapshot or a cartridge image from a damaged or different
// one, not from a forged one (state_archive.cpp).
uint64_t state_hash(const void* data, size_t n);
// The same checksum by each of its implementations this machine can run (for tests).
std::vector<uint64_t> state_hash_all_forms(const void* data, size_t n);

}  // namespace NES
