"""Small writers for the pictures and the sound that the console produces.

PNG and GIF come from the standard library (zlib) and NumPy alone, WAV from `wave`.
"""
from __future__ import annotations

import struct
import wave
import zlib
from typing import BinaryIO, List, Optional, Sequence

import numpy as np

SAMPLE_RATE = 44100
NES_FRAME_RATE = 1789773 / 29780.5  # CPU cycles per second over CPU cycles per frame


def _png_chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png_bytes(picture: np.ndarray) -> bytes:
    """An RGB picture of shape (height, width, 3) as a PNG file."""
    picture = np.ascontiguousarray(picture, dtype=np.uint8)
    height, width, channels = picture.shape
    if channels != 3:
        raise ValueError("a picture has three colour channels")
    rows = np.zeros((height, width * 3 + 1), dtype=np.uint8)  # filter byte 0 on every row
    rows[:, 1:] = picture.reshape(height, width * 3)
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + _png_chunk(b"IHDR", header)
            + _png_chunk(b"IDAT", zlib.compress(rows.tobytes(), 6)) + _png_chunk(b"IEND", b""))


def write_png(path: str, picture: np.ndarray, scale: int = 1) -> None:
    if scale > 1:
        picture = picture.repeat(scale, axis=0).repeat(scale, axis=1)
    with open(path, "wb") as out:
        out.write(png_bytes(picture))


def write_wav(path: str, samples: np.ndarray, rate: int = SAMPLE_RATE) -> None:
    """Signed 16-bit mono samples as a WAV file."""
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(np.asarray(samples, dtype="<i2").tobytes())


def _lzw(indices: np.ndarray, min_code_size: int) -> bytes:
    """GIF's variable-length LZW over palette indices, packed into 255-byte sub-blocks."""
    clear = 1 << min_code_size
    end = clear + 1
    out = bytearray()
    bit_buffer = 0
    bit_count = 0
    code_size = min_code_size + 1

    def emit(code: int) -> None:
        nonlocal bit_buffer, bit_count
        bit_buffer |= code << bit_count
        bit_count += code_size
        while bit_count >= 8:
            out.append(bit_buffer & 0xFF)
            bit_buffer >>= 8
            bit_count -= 8

    emit(clear)
    table: dict = {}
    next_code = end + 1
    data = indices.tobytes()
    prefix = data[0]
    for symbol in data[1:]:
        key = (prefix << 8) | symbol
        code = table.get(key)
        if code is not None:
            prefix = code
            continue
        emit(prefix)
        if next_code < 4096:
            table[key] = next_code
            next_code += 1
            # The decoder widens its codes one code later than the encoder adds them.
            if next_code > (1 << code_size) and code_size < 12:
                code_size += 1
        else:
            emit(clear)
            table.clear()
            next_code = end + 1
            code_size = min_code_size + 1
        prefix = symbol
    emit(prefix)
    emit(end)
    if bit_count:
        out.append(bit_buffer & 0xFF)
    blocks = bytearray()
    for start in range(0, len(out), 255):
        piece = out[start:start + 255]
        blocks.append(len(piece))
        blocks += piece
    blocks.append(0)
    return bytes(blocks)


class GifWriter:
    """An animated GIF, one frame at a time, with one colour table for the whole file.

    The NES shows at most 64 colours, so a 256-entry global table always suffices. Each
    frame after the first stores only the rectangle that changed. Delays are whole
    hundredths of a second, spread so that the animation keeps the given frame rate.
    """

    def __init__(self, stream: BinaryIO, width: int, height: int, fps: float) -> None:
        self.stream = stream
        self.width = width
        self.height = height
        self.fps = fps
        self.colours: List[int] = []
        self.colour_index: dict = {}
        self.frames: List[tuple] = []  # (left, top, indices) waiting for the colour table
        self.previous: Optional[np.ndarray] = None
        self.count = 0

    def _indices(self, picture: np.ndarray) -> np.ndarray:
        packed = ((picture[..., 0].astype(np.uint32) << 16) | (picture[..., 1].astype(np.uint32) << 8)
                  | picture[..., 2].astype(np.uint32))
        unique, inverse = np.unique(packed, return_inverse=True)
        lookup = np.empty(len(unique), dtype=np.uint8)
        for i, colour in enumerate(unique.tolist()):
            index = self.colour_index.get(colour)
            if index is None:
                if len(self.colours) == 256:
                    raise ValueError("more than 256 colours in one animation")
                index = self.colour_index[colour] = len(self.colours)
                self.colours.append(colour)
            lookup[i] = index
        return lookup[inverse.reshape(packed.shape)]

    def add(self, picture: np.ndarray) -> None:
        indices = self._indices(picture)
        if self.previous is None:
            region = (0, 0, indices)
        else:
            changed = np.nonzero(indices != self.previous)
            if len(changed[0]) == 0:
                region = (0, 0, indices[:1, :1])
            else:
                top, bottom = changed[0].min(), changed[0].max() + 1
                left, right = changed[1].min(), changed[1].max() + 1
                region = (int(left), int(top), indices[top:bottom, left:right])
        self.previous = indices
        self.frames.append(region)
        self.count += 1

    def close(self) -> None:
        size_bits = max(1, (max(len(self.colours), 2) - 1).bit_length())
        table = bytearray()
        for colour in self.colours:
            table += bytes(((colour >> 16) & 0xFF, (colour >> 8) & 0xFF, colour & 0xFF))
        table += bytes(3 * ((1 << size_bits) - len(self.colours)))
        out = self.stream
        out.write(b"GIF89a" + struct.pack("<HHBBB", self.width, self.height, 0x80 | (size_bits - 1), 0, 0))
        out.write(bytes(table))
        out.write(b"\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00")  # loop forever
        min_code_size = max(2, size_bits)
        for number, (left, top, indices) in enumerate(self.frames):
            delay = round((number + 1) * 100 / self.fps) - round(number * 100 / self.fps)
            out.write(b"\x21\xF9\x04" + struct.pack("<BHBB", 0x04, delay, 0, 0))  # keep the frame below
            height, width = indices.shape
            out.write(b"\x2C" + struct.pack("<HHHHB", left, top, width, height, 0))
            out.write(bytes((min_code_size,)))
            out.write(_lzw(np.ascontiguousarray(indices), min_code_size))
        out.write(b"\x3B")
        out.flush()


def read_gif_frames(data: bytes) -> Sequence[np.ndarray]:
    """Decodes a GIF written by GifWriter into whole RGB frames (used to check the writer)."""
    width, height, flags = struct.unpack_from("<HHB", data, 6)
    pos = 13
    table = np.zeros((0, 3), dtype=np.uint8)
    if flags & 0x80:
        n = 1 << ((flags & 7) + 1)
        table = np.frombuffer(data, np.uint8, 3 * n, pos).reshape(n, 3)
        pos += 3 * n
    canvas = np.zeros((height, width), dtype=np.int32)
    frames = []
    while data[pos] != 0x3B:
        if data[pos] == 0x21:
            pos += 2
            while data[pos]:
                pos += data[pos] + 1
            pos += 1
            continue
        left, top, w, h, _ = struct.unpack_from("<HHHHB", data, pos + 1)
        pos += 10
        min_code_size = data[pos]
        pos += 1
        stream = bytearray()
        while data[pos]:
            stream += data[pos + 1:pos + 1 + data[pos]]
            pos += data[pos] + 1
        pos += 1
        pixels = _unlzw(bytes(stream), min_code_size, w * h)
        canvas[top:top + h, left:left + w] = np.array(pixels, dtype=np.int32).reshape(h, w)
        frames.append(table[canvas])
    return frames


def _unlzw(stream: bytes, min_code_size: int, count: int) -> List[int]:
    clear = 1 << min_code_size
    end = clear + 1
    bits = int.from_bytes(stream, "little")
    pos = 0
    code_size = min_code_size + 1
    table: List[List[int]] = []
    out: List[int] = []
    previous: Optional[List[int]] = None
    while len(out) < count:
        code = (bits >> pos) & ((1 << code_size) - 1)
        pos += code_size
        if code == clear:
            table = [[i] for i in range(clear)] + [[], []]
            code_size = min_code_size + 1
            previous = None
            continue
        if code == end:
            break
        if code < len(table):
            entry = table[code]
            if previous is not None:
                table.append(previous + entry[:1])
        else:
            assert previous is not None
            entry = previous + previous[:1]
            table.append(entry)
        out.extend(entry)
        previous = entry
        if len(table) == (1 << code_size) and code_size < 12:
            code_size += 1
    return out
