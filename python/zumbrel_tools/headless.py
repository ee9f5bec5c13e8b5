"""`zumbrel run`: frames without a window, with pictures, animation and sound to files."""
from __future__ import annotations

import sys
import time
from dataclasses import dataclass
from typing import Callable, List, Optional, TextIO

import numpy as np
from tqdm import tqdm

from . import media
from .inputs import InputScript


@dataclass
class RunResult:
    frames: int
    seconds: float
    samples: np.ndarray

    @property
    def fps(self) -> float:
        return self.frames / self.seconds if self.seconds > 0 else float("inf")


def progress_bar(frames: int, stream: TextIO) -> tqdm:
    """A bar on a terminal for runs long enough to wait for; nothing otherwise."""
    return tqdm(total=frames, unit="frame", file=stream, leave=False, dynamic_ncols=True,
                disable=None if frames >= 120 else True)


def run(nes, frames: int, inputs: Optional[InputScript] = None,
        animation: Optional[media.Animation] = None, gif_every: int = 2,
        progress_stream: TextIO = sys.stderr, at_frame: Optional[Callable[[int], None]] = None) -> RunResult:
    """Runs `frames` frames, pressing the scripted buttons, collecting every audio block and,
    with an animation, every `gif_every`-th picture. `at_frame(n)` is called when n frames
    have run, for n from 0 to `frames`."""
    import zumbrel

    pads = [zumbrel.Controller(), zumbrel.Controller()]
    nes.setController(pads[0], 0)
    nes.setController(pads[1], 1)
    held = None
    blocks: List[bytes] = []
    start = time.perf_counter()
    with progress_bar(frames, progress_stream) as progress:
        for frame in range(frames):
            if at_frame is not None:
                at_frame(frame)
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
            if animation is not None and frame % gif_every == 0:
                animation.add(nes.getImg())
            progress.update()
    if at_frame is not None:
        at_frame(frames)
    seconds = time.perf_counter() - start
    return RunResult(frames, seconds, np.frombuffer(b"".join(blocks), dtype=np.int16))
