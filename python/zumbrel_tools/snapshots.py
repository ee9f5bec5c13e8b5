"""Exact snapshots of a console in memory, and pickling and copying of consoles.

A snapshot holds everything that decides the machine's future; a console restored from it
continues exactly as the console it was taken from. Pickling a console carries its cartridge
image and a snapshot; the copy is built again from the image and restored. Pads attached with
"setController", the per-frame function and the run thread are not part of a console's state:
the copy has its built-in pads and is not running.
"""
import copyreg
import io

import zumbrel

from . import _native

snapshot = _native.snapshot
restore = _native.restore


class _Image(io.BytesIO):
    """A cartridge image as the "NES" constructor reads a file object: "name" and "read"."""

    def __init__(self, data, name):
        super().__init__(data)
        self.name = name


def _rebuild(image, name, clock_speed, save_dir, state):
    if image is None:
        nes = zumbrel.NES(clock_speed)
    else:
        nes = zumbrel.NES(_Image(image, name), clock_speed)
    if save_dir:
        nes.setSaveDir(save_dir)  # kept only where that folder exists
    restore(nes, state)
    return nes


def _reduce(nes):
    image, name, clock_speed, save_dir = _native.console_parts(nes)
    return _rebuild, (image, name, clock_speed, save_dir, snapshot(nes))


copyreg.pickle(zumbrel.NES, _reduce)
