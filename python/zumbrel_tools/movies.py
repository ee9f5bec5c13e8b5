"""Start states and movies: where an episode begins, and the buttons that were pressed.

A start state is a snapshot (`zumbrel_tools.snapshot`), as bytes or as a file holding them:
`zumbrel run game.nes --input pads.txt --snapshot-at FRAME FILE` writes one, and so does the
player's snapshot key.

A movie is a start state and the buttons of both pads on every frame after it; replaying it
reproduces every frame exactly. The file (little-endian):

    offset  size  content
    0       8     "ZUMBMOVI"
    8       4     format version (1)
    12      4     header length (32)
    16      8     length S of the start state
    24      8     number of frames N
    32      S     the start state, a snapshot
    32+S    2N    per frame: the input byte of pad 1, then of pad 2 (bit 7 = A ... bit 0 = Right)

The start state names the cartridge (by a checksum of its image): a movie replays only on the
cartridge it was made with, and says so otherwise.
"""
from __future__ import annotations

import os
import struct
from typing import Iterator, List, Sequence, Tuple, Union

import numpy as np

from . import media
from .snapshots import restore, snapshot

MAGIC = b"ZUMBMOVI"
VERSION = 1
_HEADER = struct.Struct("<8sIIQQ")

Source = Union[bytes, bytearray, memoryview, str, "os.PathLike[str]"]


class MovieError(ValueError):
    """A movie or start state that cannot be read or used."""


def pad_bits(byte: int) -> List[bool]:
    """The eight buttons of an input byte in the pad's order (A first, in bit 7)."""
    return [bool(byte & (0x80 >> i)) for i in range(8)]


def read_state(source: Source) -> bytes:
    """A start state: the bytes themselves, or the contents of the file a path names."""
    if isinstance(source, (bytes, bytearray, memoryview)):
        return bytes(source)
    if not isinstance(source, (str, os.PathLike)):
        raise TypeError(f"a start state is snapshot bytes or a file path, not {type(source).__name__}")
    from .games import check_start_state  # stable-retro's start states are refused with a way out

    try:
        check_start_state(source)
        with open(source, "rb") as file:
            return file.read()
    except OSError as error:
        raise MovieError(f"start state {os.fspath(source)}: {error.strerror or error}") from None


def restore_state(nes, state: bytes, name: str = "start state") -> None:
    """Restores a start state, naming it in the error when it does not fit the console."""
    try:
        restore(nes, state)
    except ValueError as error:
        raise MovieError(f"{name}: {error}") from None


def write_state(path: str, nes) -> None:
    """Writes the console's snapshot to `path`, whole or not at all."""
    data = snapshot(nes)
    media.write_atomic(path, lambda file: file.write(data))


class Movie:
    """A start state and the input bytes of both pads per frame, shape (N, 2)."""

    def __init__(self, start: bytes, buttons: Union[Sequence[Sequence[int]], np.ndarray] = ()) -> None:
        self.start = bytes(start)
        self.buttons = np.array(buttons, dtype=np.uint8).reshape(-1, 2)

    @property
    def frames(self) -> int:
        return len(self.buttons)

    def to_bytes(self) -> bytes:
        header = _HEADER.pack(MAGIC, VERSION, _HEADER.size, len(self.start), self.frames)
        return header + self.start + np.ascontiguousarray(self.buttons).tobytes()

    @classmethod
    def from_bytes(cls, data: bytes, name: str = "movie") -> "Movie":
        if len(data) < _HEADER.size or data[:8] != MAGIC:
            raise MovieError(f"{name}: not a zumbrel movie")
        _, version, header, state_size, frames = _HEADER.unpack_from(data)
        if version != VERSION or header != _HEADER.size:
            raise MovieError(f"{name}: movie format {version} is not known (this zumbrel reads {VERSION})")
        if len(data) != header + state_size + 2 * frames:
            raise MovieError(f"{name}: {len(data)} bytes, but its header announces "
                             f"{header + state_size + 2 * frames}: the file is cut short or damaged")
        buttons = np.frombuffer(data, np.uint8, 2 * frames, header + state_size)
        return cls(data[header:header + state_size], buttons)

    @classmethod
    def load(cls, path: str) -> "Movie":
        try:
            with open(path, "rb") as file:
                return cls.from_bytes(file.read(), os.fspath(path))
        except OSError as error:
            raise MovieError(f"movie {os.fspath(path)}: {error.strerror or error}") from None

    def save(self, path: str) -> None:
        """Writes the movie to `path`, whole or not at all."""
        data = self.to_bytes()
        media.write_atomic(path, lambda file: file.write(data))

    def at(self, frame: int) -> Tuple[Tuple[bool, ...], Tuple[bool, ...]]:
        """Both pads' buttons on a frame, as an input script gives them."""
        first, second = self.buttons[frame].tolist()
        return tuple(pad_bits(first)), tuple(pad_bits(second))

    def play(self, nes) -> Iterator[int]:
        """Restores the start state on `nes` and runs the movie one frame per iteration,
        yielding the frame's number (from 0) after it ran; read the picture, sound or memory
        there. Two pads are attached to the console for the replay."""
        import zumbrel

        restore_state(nes, self.start, "the movie's start state")
        pads = [zumbrel.Controller(), zumbrel.Controller()]
        for port, pad in enumerate(pads):
            pad.updateInputs(pad_bits(0))
            nes.setController(pad, port)
        held = [0, 0]
        for frame, row in enumerate(self.buttons):
            for port in (0, 1):
                if row[port] != held[port]:
                    pads[port].updateInputs(pad_bits(int(row[port])))
                    held[port] = int(row[port])
            nes.runFrame()
            yield frame


class Recorder:
    """Collects a movie from the console's state now and the buttons of each frame to come."""

    def __init__(self, nes) -> None:
        self.start = snapshot(nes)
        self._buttons = bytearray()

    def add(self, pad1: int, pad2: int = 0, frames: int = 1) -> None:
        """The input bytes held during the next `frames` frames."""
        self._buttons += bytes((pad1, pad2)) * frames

    @property
    def frames(self) -> int:
        return len(self._buttons) // 2

    def movie(self) -> Movie:
        return Movie(self.start, np.frombuffer(bytes(self._buttons), np.uint8))
