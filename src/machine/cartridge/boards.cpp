// Board selection by iNES mapper number.
#include <cstdio>

#include "machine/cartridge/mapper.hpp"

namespace NES {
namespace {

template <class Board>
std::unique_ptr<Mapper> make() {
    return std::make_unique<Board>();
}

struct BoardEntry {
    int number;
    std::unique_ptr<Mapper> (*make)();
};

// The boards this machine implements.
constexpr BoardEntry BOARDS[] = {
    {0, make<NROM>}, {1, make<MMC1>}, {2, make<UxROM>}, {3, make<CNROM>}, {4, make<MMC3>}, {40, make<NTDEC2722>},
};

const BoardEntry* find_board(int number) {
    for (const BoardEntry& entry : BOARDS)
        if (entry.number == number) return &entry;
    return nullptr;
}

}  // namespace

std::unique_ptr<Mapper> make_mapper(int number) {
    if (const BoardEntry* entry = find_board(number)) return entry->make();
    std::puts("UNRECOGNIZED MAPPER!");
    return std::make_unique<DEFAULT_MAPPER>(number);
}

bool mapper_supported(int number) { return find_board(number) != nullptr; }

}  // namespace NES
