"""Shared by the Python tests: the save-state slot layout, read from the header the state code
itself uses, and a named file object for the console's file-object constructor."""
import io
import pathlib
import re

_HEADER = pathlib.Path(__file__).resolve().parents[2] / "src" / "machine" / "state_layout.hpp"


def _constants():
    values = {}
    for name, value in re.findall(r"constexpr (?:int|long) (\w+) = ([^;]+);", _HEADER.read_text()):
        values[name] = eval(value, {}, values)  # sums of earlier names and literals
    return values


_LAYOUT = _constants()
STATE_SIZE = _LAYOUT["STATE_SIZE"]  # bytes in a save-state slot
MEMORY_AT = _LAYOUT["MEMORY_AT"]  # the CPU memory image, 65536 bytes
VIDEO_AT = _LAYOUT["VIDEO_AT"]  # the PPU video memory, 16384 bytes


class Named(io.BytesIO):
    """A readable file object with a name, as the file-object constructor wants."""

    def __init__(self, data, name="cartridge.nes"):
        super().__init__(data)
        self.name = name
