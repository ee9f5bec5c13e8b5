// Stub: replaced by the colour table.
#include "machine/ppu/ppu.hpp"
namespace NES {
const uint8_t NTSC_TO_RGB[64][3] = {};
}
