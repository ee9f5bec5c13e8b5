"""`zumbrel play`: the console in a window, with sound, keyboard and gamepad.

The window's loop steps the console itself with "runFrame" and is paced by the sound
card: it runs frames whenever less than TARGET_SAMPLES of sound wait to be played. A frame
makes about 735 samples, less than one 1024-sample block, so reading "getAudio" after each
frame hands every block to the card exactly once: no gaps, and the delay stays at the
target instead of drifting with the difference between the wall clock and the card's
clock. Without sound the loop follows the wall clock at the NES frame rate.
"""
from __future__ import annotations

import math
import os
import threading
import time
import warnings
from typing import Any, Callable, Dict, List, Optional, Sequence

from . import media
from .console import CommandError, quiet_stdout, stop_console
from .cartridge import base_name
from .inputs import BUTTONS

os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")

SAMPLES_PER_FRAME = media.SAMPLE_RATE / media.NES_FRAME_RATE
TARGET_SAMPLES = 3072          # about 70 ms of sound queued ahead
MAX_FRAMES_PER_TICK = 4        # beyond this the loop lets the picture fall behind

# Keyboard: pad buttons, then the player's own commands. Names are pygame key names.
DEFAULT_KEYS: Dict[str, str] = {
    "a": "x", "b": "z", "select": "right shift", "start": "return",
    "up": "up", "down": "down", "left": "left", "right": "right",
    "pause": "p", "save": "f5", "load": "f9", "screenshot": "f12",
    "fullscreen": "f11", "quit": "escape",
}
COMMANDS = ("pause", "save", "load", "screenshot", "fullscreen", "quit")
COMMAND_HELP = {
    "pause": "pause or resume", "save": "save the state to the chosen slot",
    "load": "load the chosen slot", "screenshot": "write a PNG of the picture",
    "fullscreen": "fullscreen on or off", "quit": "quit",
}
# Gamepad buttons (SDL numbering of the common layout: 0 south, 1 east, 6 back, 7 start);
# the first hat and the left stick are the direction pad.
DEFAULT_PAD_BUTTONS: Dict[str, int] = {"a": 1, "b": 0, "select": 6, "start": 7}


def keys_help(keys: Dict[str, str]) -> str:
    lines = ["keyboard (remap with --key NAME=KEY):"]
    lines += [f"  {name:<11} {keys[name]}" for name in BUTTONS]
    lines += [f"  {name:<11} {keys[name]:<12} {COMMAND_HELP[name]}" for name in COMMANDS]
    lines.append(f"  {'slot':<11} {'1-9':<12} choose the save slot (1 at start)")
    pad = ", ".join(f"{name} {number}" for name, number in DEFAULT_PAD_BUTTONS.items())
    lines.append("gamepad (remap with --pad-button NAME=NUMBER):")
    lines.append(f"  buttons {pad}; the hat or the left stick for the directions")
    return "\n".join(lines)


class FramePacer:
    """How many frames to run now: from the queued sound when there is sound, else from
    the clock."""

    def __init__(self, fps: float = media.NES_FRAME_RATE, target: int = TARGET_SAMPLES,
                 max_frames: int = MAX_FRAMES_PER_TICK) -> None:
        self.fps = fps
        self.target = target
        self.max_frames = max_frames
        self.start: Optional[float] = None
        self.done = 0

    def by_sound(self, queued: int) -> int:
        missing = self.target - queued
        return 0 if missing <= 0 else min(self.max_frames, math.ceil(missing / SAMPLES_PER_FRAME))

    def by_clock(self, now: float) -> int:
        if self.start is None:
            self.start, self.done = now, 0
        due = int((now - self.start) * self.fps) + 1 - self.done
        if due > self.max_frames:  # far behind (a stall, or a pause): start counting afresh
            self.start, self.done = now, 0
            due = 1
        due = max(0, due)
        self.done += due
        return due

    def restart(self) -> None:
        self.start = None


class AudioOut:
    """A sound card stream fed from a byte queue; the card's thread takes what it needs
    and plays silence when the queue runs dry."""

    def __init__(self) -> None:
        import pygame._sdl2 as sdl2
        from pygame._sdl2 import audio as sdl_audio

        sdl2.init_subsystem(sdl2.INIT_AUDIO)
        names = sdl_audio.get_audio_device_names(False)
        if not names:
            raise RuntimeError("no sound output device")
        self.queue = bytearray()
        self.lock = threading.Lock()
        self.underruns = 0
        self.played = 0
        self.device = sdl_audio.AudioDevice(
            devicename=names[0], iscapture=False, frequency=media.SAMPLE_RATE,
            audioformat=sdl_audio.AUDIO_S16, numchannels=1, chunksize=512,
            allowed_changes=0, callback=self._fill)
        self.device.pause(0)

    def _fill(self, device, stream) -> None:
        wanted = len(stream)
        with self.lock:
            chunk = bytes(self.queue[:wanted])
            del self.queue[:wanted]
        stream[:len(chunk)] = chunk
        if len(chunk) < wanted:
            stream[len(chunk):] = bytes(wanted - len(chunk))
            if self.played:
                self.underruns += 1
        self.played += len(chunk) // 2

    def push(self, block: bytes) -> None:
        with self.lock:
            self.queue += block

    def queued(self) -> int:
        with self.lock:
            return len(self.queue) // 2

    def clear(self) -> None:
        with self.lock:
            self.queue.clear()

    def close(self) -> None:
        self.device.pause(1)
        self.device.close()


class Player:
    def __init__(self, nes, rom_path: str, scale: int = 3, fullscreen: bool = False,
                 keys: Optional[Dict[str, str]] = None,
                 pad_buttons: Optional[Dict[str, int]] = None, sound: bool = True,
                 shot_dir: str = ".", verbose: bool = False) -> None:
        import pygame

        self.pg = pygame
        self.nes = nes
        self.name = base_name(rom_path)
        self.scale = scale
        self.fullscreen = fullscreen
        self.shot_dir = shot_dir
        self.verbose = verbose
        self.paused = False
        self.running = True
        self.slot = 1
        self.frames = 0
        self.messages: List[str] = []
        self.pacer = FramePacer()
        self.key_actions = key_codes(keys or {})
        self.pad_buttons = dict(DEFAULT_PAD_BUTTONS, **(pad_buttons or {}))
        self.held_keys: set = set()
        self.joysticks: Dict[int, Any] = {}

        import zumbrel

        self.pad = zumbrel.Controller()
        nes.setController(self.pad, 0)
        self.buttons = [False] * 8

        pygame.display.init()
        pygame.joystick.init()
        self._set_mode()
        self.audio: Optional[AudioOut] = None
        if sound:
            try:
                self.audio = AudioOut()
            except Exception as error:  # any failure of the sound card leaves a silent player
                self.say(f"no sound: {error}")
        self._title()

    # -- window ------------------------------------------------------------------
    def _set_mode(self) -> None:
        pg = self.pg
        if self.fullscreen:
            self.window = pg.display.set_mode((0, 0), pg.FULLSCREEN)
        else:
            self.window = pg.display.set_mode((256 * self.scale, 240 * self.scale))
        width, height = self.window.get_size()
        factor = max(1, min(width // 256, height // 240))
        self.picture_size = (256 * factor, 240 * factor)
        self.picture_at = ((width - self.picture_size[0]) // 2, (height - self.picture_size[1]) // 2)

    def _title(self) -> None:
        state = " - paused" if self.paused else ""
        self.pg.display.set_caption(f"zumbrel - {self.name} - slot {self.slot}{state}")

    def draw(self) -> None:
        pg = self.pg
        frame = pg.image.frombuffer(self.nes.getImg().tobytes(), (256, 240), "RGB")
        if self.fullscreen:
            self.window.fill((0, 0, 0))
        # transform.scale picks the nearest pixel: the picture stays sharp.
        self.window.blit(pg.transform.scale(frame, self.picture_size), self.picture_at)
        pg.display.flip()

    def say(self, text: str) -> None:
        self.messages.append(text)
        print(f"zumbrel: {text}", flush=True)

    # -- input -------------------------------------------------------------------
    def _command(self, action: str) -> None:
        if action == "quit":
            self.running = False
        elif action == "pause":
            self.paused = not self.paused
            if self.audio is not None:
                self.audio.clear()
            self.pacer.restart()
            self._title()
        elif action == "save":
            with quiet_stdout(not self.verbose):
                self.nes.saveState(self.slot)
            self.say(f"saved slot {self.slot}")
        elif action == "load":
            with quiet_stdout(not self.verbose):
                loaded = self.nes.loadState(self.slot)
            self.say(f"loaded slot {self.slot}" if loaded else f"slot {self.slot} is empty")
            self.draw()
        elif action == "screenshot":
            self.screenshot()
        elif action == "fullscreen":
            self.fullscreen = not self.fullscreen
            self._set_mode()
            self.draw()

    def screenshot(self) -> str:
        path = os.path.join(self.shot_dir, f"{self.name}-{self.nes.frameCount():06d}.png")
        media.write_picture(path, self.nes.getImg())
        self.say(f"screenshot {path}")
        return path

    def handle(self, event) -> None:
        pg = self.pg
        if event.type == pg.QUIT:
            self.running = False
        elif event.type == pg.KEYDOWN:
            action = self.key_actions.get(event.key)
            if action in BUTTONS:
                self.held_keys.add(action)
            elif action is not None:
                self._command(action)
            elif pg.K_1 <= event.key <= pg.K_9:
                self.slot = event.key - pg.K_0
                self._title()
        elif event.type == pg.KEYUP:
            self.held_keys.discard(self.key_actions.get(event.key))
        elif event.type == pg.JOYDEVICEADDED:
            stick = pg.joystick.Joystick(event.device_index)
            self.joysticks[stick.get_instance_id()] = stick
        elif event.type == pg.JOYDEVICEREMOVED:
            self.joysticks.pop(event.instance_id, None)
        elif event.type in (pg.VIDEOEXPOSE, pg.WINDOWEXPOSED):
            self.draw()

    def _pad_state(self) -> List[bool]:
        held = [name in self.held_keys for name in BUTTONS]
        for stick in self.joysticks.values():
            for name, number in self.pad_buttons.items():
                if number < stick.get_numbuttons() and stick.get_button(number):
                    held[BUTTONS.index(name)] = True
            x, y = stick.get_hat(0) if stick.get_numhats() else (0, 0)
            if stick.get_numaxes() >= 2:
                x = x or (1 if stick.get_axis(0) > 0.5 else -1 if stick.get_axis(0) < -0.5 else 0)
                y = y or (-1 if stick.get_axis(1) > 0.5 else 1 if stick.get_axis(1) < -0.5 else 0)
            held[BUTTONS.index("up")] |= y > 0
            held[BUTTONS.index("down")] |= y < 0
            held[BUTTONS.index("left")] |= x < 0
            held[BUTTONS.index("right")] |= x > 0
        return held

    # -- the loop ----------------------------------------------------------------
    def frames_due(self) -> int:
        if self.audio is not None:
            return self.pacer.by_sound(self.audio.queued())
        return self.pacer.by_clock(time.monotonic())

    def run_frame(self) -> None:
        held = self._pad_state()
        if held != self.buttons:
            self.pad.updateInputs(held)
            self.buttons = held
        self.nes.runFrame()
        self.frames += 1
        block = self.nes.getAudio()
        if block and self.audio is not None:
            self.audio.push(block)

    def tick(self) -> None:
        for event in self.pg.event.get():
            self.handle(event)
        if not self.running:
            return
        if self.paused:
            time.sleep(0.01)
            return
        due = self.frames_due()
        for _ in range(due):
            self.run_frame()
        if due:
            self.draw()
        else:
            time.sleep(0.002)

    def run(self, on_tick: Optional[Callable[["Player"], None]] = None) -> None:
        try:
            while self.running:
                self.tick()
                if on_tick is not None:
                    on_tick(self)
        finally:
            self.close()

    def close(self) -> None:
        if self.audio is not None:
            self.audio.close()
            self.audio = None
        stop_console(self.nes, self.verbose)  # writes the battery RAM file
        self.pg.display.quit()


def key_codes(chosen: Dict[str, str]) -> Dict[int, str]:
    """Key codes for the actions: the chosen keys, and the default keys of the other
    actions unless a chosen key took them. Raises CommandError for an unknown key name."""
    import pygame

    def code_of(action: str, key_name: str) -> int:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # key_code works without pygame.init()
            try:
                return pygame.key.key_code(key_name)
            except ValueError:
                raise CommandError(f"unknown key name {key_name!r} for {action}") from None

    actions: Dict[int, str] = {}
    for action, key_name in chosen.items():
        code = code_of(action, key_name)
        if code in actions:
            raise CommandError(f"key {key_name!r} is bound to both {actions[code]} and {action}")
        actions[code] = action
    for action, key_name in DEFAULT_KEYS.items():
        code = code_of(action, key_name)
        if action not in chosen and code not in actions:
            actions[code] = action
    return actions


def parse_assignments(items: Sequence[str], allowed: Sequence[str], what: str) -> Dict[str, str]:
    result = {}
    for item in items:
        name, sep, value = item.partition("=")
        name = name.strip().lower()
        if not sep or not value.strip():
            raise CommandError(f"{what} {item!r}: write NAME=VALUE")
        if name not in allowed:
            raise CommandError(f"{what} {item!r}: {name!r} is not one of {', '.join(allowed)}")
        result[name] = value.strip().lower()
    return result
