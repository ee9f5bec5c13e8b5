"""Stepping many consoles at once on native threads, without the interpreter lock.

Each console of a batch advances a number of whole frames with its own pad on port 0; the
pictures and the CPU RAM ($0000-$07FF) land in arrays the caller made once and reuses. The
pad of a batch holds only during the call: a "Controller" attached to port 0 with
"setController" is put back afterwards (and keeps its buttons), and port 1 is left alone.
"""
import os
import threading

import numpy as np

from ._native import PICTURE_SHAPES, RAM_SIZE, StepPool

_shared = None  # the one pool step_batch keeps between calls
_shared_lock = threading.Lock()

def picture_array(count, colour="rgb", half=False):
    """A picture array for `count` consoles: colour "rgb" or "gray", `half` for 2x smaller."""
    return np.zeros((count,) + PICTURE_SHAPES[colour, half], dtype=np.uint8)


def ram_array(count):
    return np.zeros((count, RAM_SIZE), dtype=np.uint8)


def whole_numbers(values, high, what):
    """`values` as uint8 when each is a whole number in 0..`high`; otherwise a ValueError
    that begins with `what` (NaN, infinities, fractions, strings and objects are refused)."""
    values = np.asarray(values)
    fine = values.dtype.kind in "biuf"
    if fine and values.size and values.dtype.kind == "f":
        fine = bool(np.isfinite(values).all() and (values == np.floor(values)).all())
    if fine and values.size and values.dtype.kind != "b":
        fine = bool(values.min() >= 0 and values.max() <= high)
    if not fine:
        raise ValueError(f"{what} must be whole numbers in 0..{high}, not {values.tolist()!r}")
    return values.astype(np.uint8)


def pad_bytes(buttons, count):
    """Per-console input bytes (bit 7 = A ... bit 0 = Right) from bytes or 8 buttons each."""
    buttons = np.asarray(buttons)
    if buttons.shape == (count, 8):
        return np.packbits(whole_numbers(buttons, 1, "step_batch: buttons"), axis=1).reshape(count)
    if buttons.shape != (count,):
        raise ValueError(f"step_batch: buttons must have shape ({count},) or ({count}, 8), not {buttons.shape}")
    if buttons.dtype != np.uint8:
        buttons = whole_numbers(buttons, 255, "step_batch: input bytes")
    return np.ascontiguousarray(buttons)


def shared_pool(threads):
    """The process's pool of `threads` threads. One is kept at a time: a pool of another size
    replaces it, and the old one's threads end once no batch uses it."""
    global _shared
    with _shared_lock:
        if _shared is None or _shared.threads != threads:
            _shared = StepPool(threads)
        return _shared


def step_batch(consoles, buttons, frames=1, *, pictures=None, ram=None, max_pool=False, threads=1,
               allow_unsupported_board=False):
    """Advances every console `frames` frames with its pad on port 0 held as in `buttons`.

    `buttons`: one input byte per console, or eight buttons per console in the order A, B,
    Select, Start, Up, Down, Left, Right. `pictures`: a uint8 array of shape (N, 240, 256, 3),
    (N, 240, 256) for gray, or (N, 120, 128[, 3]) for half size (see `picture_array`); it gets
    the last frame, or with `max_pool` the maximum of the last two. `ram`: a uint8 array of
    shape (N, 2048). Consoles running on their thread or with a per-frame function, a console
    given twice, and arrays of the wrong shape, type or layout are refused before anything runs;
    so is a console whose cartridge board is not implemented (it would run as a blank machine),
    unless `allow_unsupported_board` is true.
    """
    consoles = list(consoles)
    pool = threads if isinstance(threads, StepPool) else shared_pool(threads)
    pool.step(consoles, pad_bytes(buttons, len(consoles)), frames, pictures, ram, max_pool, allow_unsupported_board)


def _forget_pools():
    # A child made by fork has none of the parent's threads.
    global _shared
    _shared = None


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_pools)
