// The save-state slot: one fixed little-endian image of the machine. The Python tests read
// these constants from this file, so each line keeps the form `constexpr TYPE NAME = value;`.
#pragma once

namespace NES {

constexpr int MAPPER_BLOCK = 256;  // the board's block; the bytes a board does not use are zero

namespace state_layout {
constexpr long PC_AT = 5;                     // after P, A, X, Y and SP; 8 bytes
constexpr long MEMORY_AT = 13;                // the CPU memory image
constexpr long VIDEO_AT = MEMORY_AT + 65536;  // the PPU video memory
constexpr long BLOCK_AT = VIDEO_AT + 16384;   // the board's block
constexpr long STATE_SIZE = BLOCK_AT + MAPPER_BLOCK;
static_assert(STATE_SIZE == 82189, "slot files written before must stay loadable");
}  // namespace state_layout

}  // namespace NES
