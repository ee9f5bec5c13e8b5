"""Files made from what the console produces: pictures and animations through Pillow, in the
format that the file name's extension names, and sound as WAV.

Every file is written beside its target under a temporary name and renamed onto the target
only when complete: a failed or interrupted write leaves the earlier file as it was.
"""
from __future__ import annotations

import errno
import io
import os
import tempfile
import wave
from typing import BinaryIO, Callable, Dict, List

import numpy as np
from PIL import Image

SAMPLE_RATE = 44100
NES_FRAME_RATE = 1789773 / 29780.5  # CPU cycles per second over CPU cycles per frame


class FormatError(ValueError):
    """The file name names no format that can hold the picture or the animation."""


def picture_format(path: str, animated: bool = False) -> str:
    """Pillow's name of the format the extension of `path` names, checked by writing a
    one-pixel RGB picture (or a two-frame animation) in it."""
    extension = os.path.splitext(path)[1].lower()
    name = Image.registered_extensions().get(extension)
    if name is None or name not in Image.SAVE:
        raise FormatError(f"{path}: no picture format is named {extension or 'without an extension'!r}")
    if animated and name not in Image.SAVE_ALL:
        raise FormatError(f"{path}: the {name} format holds no animation")
    pixel = Image.new("RGB", (1, 1))
    try:
        extra = {"save_all": True, "append_images": [pixel]} if animated else {}
        pixel.save(io.BytesIO(), format=name, **extra)
    except (OSError, ValueError, KeyError) as error:
        raise FormatError(f"{path}: cannot write colour pictures as {name} ({error})") from None
    return name


class AtomicFile:
    """A file that appears at its path only when `commit` is called."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.target = os.path.realpath(path)  # through a link: replace the file it names
        if os.path.isdir(self.target):
            raise IsADirectoryError(errno.EISDIR, "is a folder", path)
        folder = os.path.dirname(self.target)
        handle, self.temporary = tempfile.mkstemp(
            prefix=f".{os.path.basename(self.target)}.", suffix=".part", dir=folder)
        os.fchmod(handle, _mode_for(self.target))
        self.file: BinaryIO = os.fdopen(handle, "wb")

    def commit(self) -> None:
        self._finish()
        os.replace(self.temporary, self.target)

    def commit_new(self, name_for: Callable[[int], str], first: int) -> int:
        """Links the file in under the first name `name_for(n)`, n = first, first + 1, ...,
        that no file has yet, and returns that n: an existing file is never replaced."""
        self._finish()
        n = first
        while True:
            try:
                os.link(self.temporary, name_for(n))
            except FileExistsError:
                n += 1
                continue
            self.discard()  # the temporary name; the file stays under its new one
            return n

    def _finish(self) -> None:
        self.file.flush()
        os.fsync(self.file.fileno())
        self.file.close()

    def discard(self) -> None:
        self.file.close()
        try:
            os.unlink(self.temporary)
        except FileNotFoundError:
            pass


def _mode_for(target: str) -> int:
    """The mode of the file being replaced, or what the umask gives a new file."""
    try:
        return os.stat(target).st_mode & 0o7777
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


def write_atomic(path: str, write) -> None:
    """Calls `write` with a binary file that replaces `path` once `write` returns."""
    out = AtomicFile(path)
    try:
        write(out.file)
    except BaseException:
        out.discard()
        raise
    out.commit()


def write_new(name_for: Callable[[int], str], first: int, write) -> int:
    """Like `write_atomic`, under the first of the names `name_for(first)`, `name_for(first + 1)`,
    ... that is free, returned as its number: writers sharing a folder (environments, processes,
    runs) never replace one another's files."""
    out = AtomicFile(name_for(first))
    try:
        write(out.file)
        return out.commit_new(name_for, first)
    except BaseException:
        out.discard()
        raise


def save_picture(stream: BinaryIO, picture: np.ndarray, format_name: str) -> None:
    Image.fromarray(np.ascontiguousarray(picture, dtype=np.uint8), "RGB").save(stream, format=format_name)


def write_picture(path: str, picture: np.ndarray) -> None:
    """An RGB picture of shape (height, width, 3), in the format of the extension of `path`."""
    name = picture_format(path)
    write_atomic(path, lambda stream: save_picture(stream, picture, name))


def save_sound(stream: BinaryIO, samples: np.ndarray, rate: int = SAMPLE_RATE) -> None:
    """Signed 16-bit mono samples as a WAV file."""
    with wave.open(stream, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(np.asarray(samples, dtype="<i2").tobytes())


def write_sound(path: str, samples: np.ndarray, rate: int = SAMPLE_RATE) -> None:
    write_atomic(path, lambda stream: save_sound(stream, samples, rate))


class Animation:
    """Frames kept as indices into one colour table (the NES shows at most 64 colours, so
    256 always suffice and every frame keeps its exact colours)."""

    def __init__(self, fps: float) -> None:
        self.fps = fps
        self.colours: List[int] = []
        self.colour_index: Dict[int, int] = {}
        self.frames: List[np.ndarray] = []

    @property
    def count(self) -> int:
        return len(self.frames)

    def add(self, picture: np.ndarray) -> None:
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
        self.frames.append(lookup[inverse.reshape(packed.shape)])

    def durations(self) -> List[int]:
        """Milliseconds per frame, in the whole hundredths GIF counts in, spread so that the
        animation keeps its frame rate."""
        hundredths = [round(n * 100 / self.fps) for n in range(self.count + 1)]
        return [10 * (b - a) for a, b in zip(hundredths, hundredths[1:])]

    def save(self, stream: BinaryIO, format_name: str) -> None:
        if not self.frames:
            raise ValueError("an animation needs at least one frame")
        palette = bytearray()
        for colour in self.colours:
            palette += bytes(((colour >> 16) & 0xFF, (colour >> 8) & 0xFF, colour & 0xFF))
        images = []
        for indices in self.frames:
            image = Image.fromarray(indices, "P")
            image.putpalette(bytes(palette))
            images.append(image)
        images[0].save(stream, format=format_name, save_all=True, append_images=images[1:],
                       duration=self.durations(), loop=0)

