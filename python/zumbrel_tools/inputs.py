"""Pad buttons and the input scripts of `zumbrel run --input`."""
from __future__ import annotations

from bisect import bisect_right
from typing import List, Sequence, Tuple

# The pad's report order, which is also the order "updateInputs" takes.
BUTTONS = ("a", "b", "select", "start", "up", "down", "left", "right")

SCRIPT_HELP = """\
input script (--input FILE): one line per change of the buttons held,
    FRAME  BUTTONS  [BUTTONS]
FRAME counts the frames of this run from 0; the buttons of a line are held from that
frame until the next line. BUTTONS are names joined by '+' (a, b, select, start, up,
down, left, right), or 'none'; a second column is pad 2. '#' starts a comment.
    # press Start for two frames, then walk right for a second
    60   start
    62   none
    100  right+b
    160  none
"""

Pads = Tuple[Tuple[bool, ...], Tuple[bool, ...]]
NOTHING: Tuple[bool, ...] = (False,) * 8


class ScriptError(ValueError):
    pass


def parse_buttons(text: str) -> Tuple[bool, ...]:
    if text.lower() in ("none", "-"):
        return NOTHING
    held = [False] * 8
    for name in text.lower().split("+"):
        if name not in BUTTONS:
            raise ScriptError(f"unknown button {name!r} (buttons: {', '.join(BUTTONS)}, or none)")
        held[BUTTONS.index(name)] = True
    return tuple(held)


class InputScript:
    """The buttons of both pads on every frame of a run."""

    def __init__(self, changes: Sequence[Tuple[int, Pads]] = ()) -> None:
        self.frames: List[int] = [frame for frame, _ in changes]
        self.pads: List[Pads] = [pads for _, pads in changes]

    @classmethod
    def parse(cls, text: str, name: str = "input") -> "InputScript":
        changes: List[Tuple[int, Pads]] = []
        for number, line in enumerate(text.splitlines(), 1):
            words = line.split("#", 1)[0].split()
            if not words:
                continue
            try:
                if len(words) > 3:
                    raise ScriptError("a line is FRAME BUTTONS [BUTTONS]")
                if not words[0].isdigit():
                    raise ScriptError(f"{words[0]!r} is not a frame number")
                frame = int(words[0])
                if changes and frame <= changes[-1][0]:
                    raise ScriptError(f"frame {frame} does not come after frame {changes[-1][0]}")
                first = parse_buttons(words[1]) if len(words) > 1 else NOTHING
                second = parse_buttons(words[2]) if len(words) > 2 else NOTHING
            except ScriptError as error:
                raise ScriptError(f"{name}:{number}: {error}") from None
            changes.append((frame, (first, second)))
        return cls(changes)

    def at(self, frame: int) -> Pads:
        i = bisect_right(self.frames, frame)
        return self.pads[i - 1] if i else (NOTHING, NOTHING)
