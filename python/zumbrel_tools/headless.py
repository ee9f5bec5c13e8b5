"""`zumbrel run`: frames without a window, with pictures, animation and sound to files."""
from __future__ import annotations

import sys
import time
from dataclasses import dataclass, field
from typing import List, Optional, TextIO

import numpy as np

from . import media
from .inputs import InputScript


@dataclass
class RunResult:
    frames: int
    seconds: float
    samples: np.ndarray
    gif_frames: int = 0
    written: List[str] = field(default_factory=list)

    @property
    def fps(self) -> float:
        return self.frames / self.seconds if self.seconds > 0 else float("inf")


class Progress:
    """A bar on the terminal, redrawn a few times a second; nothing when not a terminal."""

    WIDTH = 30

    def __init__(self, total: int, stream: TextIO) -> None:
        self.total = total
        self.stream = stream
        self.shown = stream.isatty() and total >= 120
        self.last = 0.0

    def update(self, done: int) -> None:
        if not self.shown:
            return
        now = time.monotonic()
        if now - self.last < 0.1 and done < self.total:
            return
        self.last = now
        filled = self.WIDTH * done // self.total
        self.stream.write(f"\r[{'#' * filled}{'.' * (self.WIDTH - filled)}] "
                          f"{100 * done // self.total:3d}% {done}/{self.total} frames")
        self.stream.flush()

    def finish(self) -> None:
        if self.shown:
            self.stream.write("\r" + " " * (self.WIDTH + 40) + "\r")
            self.stream.flush()


def run(nes, frames: int, inputs: Optional[InputScript] = None, gif=None, gif_every: int = 2,
        progress_stream: TextIO = sys.stderr) -> RunResult:
    """Runs `frames` frames, pressing the scripted buttons, collecting every audio block."""
    import zumbrel

    pads = [zumbrel.Controller(), zumbrel.Controller()]
    nes.setController(pads[0], 0)
    nes.setController(pads[1], 1)
    held = None
    blocks: List[bytes] = []
    progress = Progress(frames, progress_stream)
    start = time.perf_counter()
    for frame in range(frames):
        if inputs is not None:
            now = inputs.at(frame)
            if now != held:
                pads[0].updateInputs(list(now[0]))
                pads[1].updateInputs(list(now[1]))
                held = now
        nes.runFrame()
        # A frame makes about 735 samples, under one 1024-sample block, so reading after
        # every frame misses none.
        block = nes.getAudio()
        if block:
            blocks.append(block)
        if gif is not None and frame % gif_every == 0:
            gif.add(nes.getImg())
        progress.update(frame + 1)
    seconds = time.perf_counter() - start
    progress.finish()
    samples = np.frombuffer(b"".join(blocks), dtype=np.int16)
    return RunResult(frames, seconds, samples, gif.count if gif is not None else 0)


def gif_writer(stream, gif_every: int) -> media.GifWriter:
    return media.GifWriter(stream, 256, 240, media.NES_FRAME_RATE / gif_every)
