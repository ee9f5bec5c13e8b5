"""What a cartridge image's header says, read without building a console."""
from __future__ import annotations

import functools
import os
from dataclasses import dataclass
from typing import Dict, List

# Common boards the console does not implement, named so that `info` and the refusal can say
# what a cartridge needs; the implemented ones come from the console's own board table.
OTHER_BOARD_NAMES = {
    5: "MMC5", 19: "Namco 163", 21: "VRC4",
    23: "VRC2/VRC4", 24: "VRC6", 25: "VRC4", 26: "VRC6", 69: "Sunsoft FME-7", 85: "VRC7",
}
MIRRORING_NAMES = ("horizontal", "vertical", "four-screen")


@functools.lru_cache(maxsize=None)
def supported_boards() -> Dict[int, str]:
    """The boards the console implements, by mapper number, with their names."""
    from . import _native

    return dict(_native.boards())


class NotAnImage(ValueError):
    """The file is not an iNES cartridge image."""


@dataclass
class Header:
    board: int
    prg_size: int
    chr_size: int
    mirroring: int
    battery: bool
    trainer: bool
    nes2: bool
    file_size: int

    @property
    def board_name(self) -> str:
        return supported_boards().get(self.board) or OTHER_BOARD_NAMES.get(self.board, "unknown")

    @property
    def supported(self) -> bool:
        return self.board in supported_boards()

    @property
    def chr_ram(self) -> bool:
        return self.chr_size == 0

    @property
    def expected_size(self) -> int:
        return 16 + (512 if self.trainer else 0) + self.prg_size + self.chr_size


def _size(count_low: int, high_nibble: int, unit: int, nes2: bool) -> int:
    if not nes2:
        return count_low * unit
    if high_nibble == 0xF:  # exponent-multiplier form
        return (1 << (count_low >> 2)) * ((count_low & 3) * 2 + 1)
    return ((high_nibble << 8) | count_low) * unit


def parse_header(data: bytes) -> Header:
    if len(data) < 16 or data[:4] != b"NES\x1a":
        raise NotAnImage("not an iNES image (no NES header)")
    flags6, flags7 = data[6], data[7]
    nes2 = (flags7 & 0x0C) == 0x08
    return Header(
        board=(flags6 >> 4) | (flags7 & 0xF0),
        prg_size=_size(data[4], data[9] & 0x0F, 16384, nes2),
        chr_size=_size(data[5], data[9] >> 4, 8192, nes2),
        mirroring=2 if flags6 & 0x08 else flags6 & 1,
        battery=bool(flags6 & 0x02),
        trainer=bool(flags6 & 0x04),
        nes2=nes2,
        file_size=len(data),
    )


def without_battery(data: bytes) -> bytes:
    """The image with its battery flag cleared: a console built from it neither reads nor
    writes a battery RAM file, and runs as it would with the flag (snapshots fit both)."""
    parse_header(data)
    return data[:6] + bytes((data[6] & ~0x02,)) + data[7:]


def read_header(path: str) -> Header:
    with open(path, "rb") as image:
        return parse_header(image.read())


def base_name(path: str) -> str:
    """The name the console files a cartridge's saves under (the console's own rule)."""
    from . import _native

    return _native.save_folder_name(path)


def save_dir(path: str) -> str:
    return os.environ.get("HOME", "") + "/.config/Quorvali/" + base_name(path)


def _kib(size: int) -> str:
    return f"{size // 1024} KiB" if size % 1024 == 0 else f"{size} bytes"


def describe(path: str, header: Header) -> List[str]:
    """The lines of `zumbrel info`."""
    support = "supported" if header.supported else "not supported (play and run refuse it without --force)"
    chr_line = "none, 8 KiB of CHR RAM" if header.chr_ram else _kib(header.chr_size)
    lines = [
        f"file:       {path}",
        f"format:     {'NES 2.0' if header.nes2 else 'iNES'}",
        f"board:      {header.board} {header.board_name}, {support}",
        f"PRG ROM:    {_kib(header.prg_size)}",
        f"CHR ROM:    {chr_line}",
        f"mirroring:  {MIRRORING_NAMES[header.mirroring]}",
        f"battery:    {'yes, RAM at $6000-$7FFF is kept in the save directory' if header.battery else 'no'}",
        f"trainer:    {'yes (512 bytes)' if header.trainer else 'no'}",
        f"saves in:   {save_dir(path)}",
    ]
    if header.file_size < header.expected_size:
        lines.append(f"warning:    the file is {header.file_size} bytes, the header announces {header.expected_size}")
    return lines
