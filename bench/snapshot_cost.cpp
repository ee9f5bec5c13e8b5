// What a snapshot round trip costs, part by part, against a save-state slot file round trip.
//
//     snapshot_cost ROM [ROUNDS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/console.hpp"
#include "snapshot/snapshot.hpp"

namespace {

template <class F>
double microseconds_each(int rounds, F&& f) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) f();
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / rounds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: snapshot_cost ROM [ROUNDS]\n");
        return 2;
    }
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 20000;
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    NESUnit console(argv[1], 0);
    for (int f = 0; f < 60; ++f) console.runFrame();
    std::vector<uint8_t> data = snapshot::take(console);
    std::vector<uint8_t> copy(data.size());
    const double measure = microseconds_each(rounds, [&] { (void)snapshot::max_size(console); });
    std::vector<uint8_t> space(snapshot::max_size(console));
    const double write = microseconds_each(rounds, [&] { (void)snapshot::write(console, space.data(), space.size()); });
    const double check = microseconds_each(rounds, [&] { snapshot::check(console, data.data(), data.size()); });
    const double apply = microseconds_each(rounds, [&] { snapshot::apply(console, data.data(), data.size()); });
    const double hash = microseconds_each(rounds, [&] { (void)NES::state_hash(data.data(), data.size()); });
    const double memcpy_cost = microseconds_each(rounds, [&] { std::memcpy(copy.data(), data.data(), data.size()); });
    const double round_trip = microseconds_each(rounds, [&] {
        std::vector<uint8_t> s = snapshot::take(console);
        snapshot::restore(console, s.data(), s.size());
    });
    const double slot = microseconds_each(rounds / 100 + 1, [&] {
        console.save(1);
        console.load(1);
    });
    std::fprintf(stderr,
                 "snapshot %zu bytes: measure %.2f us, write %.2f, check %.2f, apply %.2f (hash %.2f, memcpy %.2f)\n"
                 "round trip %.2f us; slot file round trip %.1f us (%.0fx)\n",
                 data.size(), measure, write, check, apply, hash, memcpy_cost, round_trip, slot, slot / round_trip);
    return 0;
}
