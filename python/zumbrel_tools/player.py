"""`zumbrel play`: the console in a window, with sound, keyboard and gamepad.

The window's loop steps the console itself with "runFrame" and is paced by the sound
card: it runs frames whenever less than TARGET_SAMPLES of sound wait to be played. A frame
makes about 735 samples, less than one 1024-sample block, so reading "getAudio" after each
frame hands every block to the card exactly once: no gaps, and the delay stays at the
target instead of drifting with the difference between the wall clock and the card's
clock. Without sound the loop follows the wall clock at the NES frame rate.
"""
from __future__ import annotations

import contextlib
import ctypes
import ctypes.util
import math
import os
import signal
import sys
import time
import warnings
from typing import Any, Callable, Dict, List, Optional, Sequence

from . import media
from .cartridge import base_name
from .console import CommandError, Interrupted, NoDisplay, quiet_stdout, stop_console
from .inputs import BUTTONS
from .movies import Recorder, write_state

os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")
# SIGINT and SIGTERM end the player through its own handlers, not as SDL quit events.
os.environ.setdefault("SDL_NO_SIGNAL_HANDLERS", "1")

SAMPLES_PER_FRAME = media.SAMPLE_RATE / media.NES_FRAME_RATE
TARGET_SAMPLES = 3072          # about 70 ms of sound queued ahead
MAX_FRAMES_PER_TICK = 4        # beyond this the loop lets the picture fall behind

# Keyboard: pad buttons, then the player's own commands. Names are pygame key names.
DEFAULT_KEYS: Dict[str, str] = {
    "a": "x", "b": "z", "select": "right shift", "start": "return",
    "up": "up", "down": "down", "left": "left", "right": "right",
    "pause": "p", "save": "f5", "load": "f9", "screenshot": "f12", "snapshot": "f8",
    "fullscreen": "f11", "quit": "escape",
}
COMMANDS = ("pause", "save", "load", "screenshot", "snapshot", "fullscreen", "quit")
COMMAND_HELP = {
    "pause": "pause or resume", "save": "save the state to the chosen slot",
    "load": "load the chosen slot", "screenshot": "write a PNG of the picture",
    "snapshot": "write a start state file (for state= of the environments)",
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


class SDLAudioSpec(ctypes.Structure):
    _fields_ = [("freq", ctypes.c_int), ("format", ctypes.c_uint16), ("channels", ctypes.c_uint8),
                ("silence", ctypes.c_uint8), ("samples", ctypes.c_uint16), ("padding", ctypes.c_uint16),
                ("size", ctypes.c_uint32), ("callback", ctypes.c_void_p), ("userdata", ctypes.c_void_p)]


SDL_INIT_AUDIO = 0x10
AUDIO_S16SYS = 0x8010 if sys.byteorder == "little" else 0x9010


def sdl_library() -> ctypes.CDLL:
    """The SDL library that pygame runs on (the copy its wheel carries, when it carries one)."""
    import pygame  # noqa: F401  (loads SDL)

    with contextlib.suppress(OSError):
        with open("/proc/self/maps") as maps:
            for line in maps:
                path = line.split(maxsplit=5)[-1].strip()
                if os.path.basename(path).startswith("libSDL2-2"):
                    return ctypes.CDLL(path)
    name = ctypes.util.find_library("SDL2")
    if name is None:
        raise RuntimeError("the SDL library is not found")
    return ctypes.CDLL(name)


class AudioOut:
    """SDL's queued sound: the main loop queues blocks and the card plays them, or silence
    when the queue runs dry. No Python code runs on SDL's audio thread, and ctypes lets go
    of the interpreter lock around every SDL call, so closing can never wait on a thread
    that waits for Python."""

    def __init__(self) -> None:
        sdl = self.sdl = sdl_library()
        sdl.SDL_GetError.restype = ctypes.c_char_p
        sdl.SDL_OpenAudioDevice.restype = ctypes.c_uint32
        sdl.SDL_OpenAudioDevice.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(SDLAudioSpec),
                                            ctypes.POINTER(SDLAudioSpec), ctypes.c_int]
        sdl.SDL_GetQueuedAudioSize.restype = ctypes.c_uint32
        sdl.SDL_GetQueuedAudioSize.argtypes = [ctypes.c_uint32]
        sdl.SDL_QueueAudio.argtypes = [ctypes.c_uint32, ctypes.c_char_p, ctypes.c_uint32]
        for name in ("SDL_ClearQueuedAudio", "SDL_CloseAudioDevice"):
            getattr(sdl, name).argtypes = [ctypes.c_uint32]
        sdl.SDL_PauseAudioDevice.argtypes = [ctypes.c_uint32, ctypes.c_int]
        if sdl.SDL_InitSubSystem(SDL_INIT_AUDIO) != 0:
            raise RuntimeError(sdl.SDL_GetError().decode(errors="replace"))
        wanted = SDLAudioSpec(freq=media.SAMPLE_RATE, format=AUDIO_S16SYS, channels=1, samples=512)
        self.obtained = SDLAudioSpec()
        self.device = sdl.SDL_OpenAudioDevice(None, 0, ctypes.byref(wanted), ctypes.byref(self.obtained), 0)
        if not self.device:
            error = sdl.SDL_GetError().decode(errors="replace")
            sdl.SDL_QuitSubSystem(SDL_INIT_AUDIO)
            raise RuntimeError(error or "no sound output device")
        self.pushed = 0
        sdl.SDL_PauseAudioDevice(self.device, 0)

    def push(self, block: bytes) -> None:
        self.sdl.SDL_QueueAudio(self.device, block, len(block))
        self.pushed += len(block) // 2

    def queued(self) -> int:
        """Samples waiting to be played."""
        return self.sdl.SDL_GetQueuedAudioSize(self.device) // 2

    def clear(self) -> None:
        self.sdl.SDL_ClearQueuedAudio(self.device)

    def close(self) -> None:
        if self.device:
            self.sdl.SDL_CloseAudioDevice(self.device)
            self.sdl.SDL_QuitSubSystem(SDL_INIT_AUDIO)
            self.device = 0


class Overlay:
    """Short messages drawn over the picture for a few seconds, and "paused" while paused."""

    def __init__(self, pygame, seconds: float = 2.5) -> None:
        self.seconds = seconds
        self.text = ""
        self.until = 0.0
        self.fonts: Dict[int, Any] = {}  # by scale factor
        self.pg = None
        with contextlib.suppress(Exception):  # without fonts the title bar and terminal remain
            pygame.font.init()
            self.pg = pygame

    def show(self, text: str) -> None:
        self.text, self.until = text, time.monotonic() + self.seconds

    def lines(self, paused: bool) -> List[str]:
        shown = [self.text] if self.text and time.monotonic() < self.until else []
        return (["paused"] if paused else []) + shown

    def draw(self, surface, at, factor: int, lines: Sequence[str]) -> None:
        if not lines or self.pg is None:
            return
        font = self.fonts.get(factor)
        if font is None:
            font = self.fonts[factor] = self.pg.font.Font(None, 12 * factor)  # about 8 NES pixels tall
        y = at[1] + 2 * factor
        for line in lines:
            text = font.render(line, True, (255, 255, 255))
            box = text.get_rect(topleft=(at[0] + 2 * factor, y)).inflate(4 * factor, 2 * factor)
            surface.fill((0, 0, 0), box)
            surface.blit(text, (at[0] + 2 * factor, y))
            y += box.height + factor


class Player:
    def __init__(self, nes, rom_path: str, scale: int = 3, fullscreen: bool = False,
                 keys: Optional[Dict[str, str]] = None,
                 pad_buttons: Optional[Dict[str, int]] = None, sound: bool = True,
                 shot_dir: str = ".", verbose: bool = False, record: Optional[str] = None) -> None:
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
        self.stopped_by: Optional[int] = None
        self.slot = 1
        self.frames = 0
        self.messages: List[str] = []
        self.shown: List[str] = []
        self.pacer = FramePacer()
        self.key_actions = key_codes(keys or {})
        self.pad_buttons = dict(DEFAULT_PAD_BUTTONS, **(pad_buttons or {}))
        self.held_keys: set = set()
        self.joysticks: Dict[int, Any] = {}

        import zumbrel

        self.pad = zumbrel.Controller()
        nes.setController(self.pad, 0)
        self.buttons = [False] * 8
        self.byte = 0
        self.movie_file: Optional[media.AtomicFile] = None
        self.recorder: Optional[Recorder] = None

        with quiet_stdout(not verbose, fd=2):  # SDL's complaints while it looks for a display
            pygame.display.init()
        try:
            check_display(pygame)
            pygame.joystick.init()
            self._set_mode()
        except BaseException:
            pygame.display.quit()
            raise
        self.overlay = Overlay(pygame)
        self.audio: Optional[AudioOut] = None
        if sound:
            try:
                self.audio = AudioOut()
            except Exception as error:  # any failure of the sound card leaves a silent player
                self.say(f"no sound: {error}")
        if record:
            # Opened now, so that a movie file that cannot be written fails before play.
            try:
                self.movie_file = media.AtomicFile(record)
            except BaseException:
                self.close_outputs()
                raise
            self.recorder = Recorder(nes)
        self._title()

    # -- window ------------------------------------------------------------------
    def _set_mode(self) -> None:
        pg = self.pg
        if self.fullscreen:
            self.window = pg.display.set_mode((0, 0), pg.FULLSCREEN)
        else:
            self.window = pg.display.set_mode((256 * self.scale, 240 * self.scale))
        width, height = self.window.get_size()
        self.factor = max(1, min(width // 256, height // 240))
        self.picture_size = (256 * self.factor, 240 * self.factor)
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
        self.shown = self.overlay.lines(self.paused)
        self.overlay.draw(self.window, self.picture_at, self.factor, self.shown)
        pg.display.flip()

    def say(self, text: str) -> None:
        """A message on the terminal and, for a moment, on the picture."""
        self.messages.append(text)
        print(f"zumbrel: {text}", flush=True)
        self.notice(text)

    def notice(self, text: str) -> None:
        """A message on the picture only."""
        if hasattr(self, "overlay"):
            self.overlay.show(text)

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
            self.draw()
        elif action == "save":
            with quiet_stdout(not self.verbose):
                self.nes.saveState(self.slot)
            self.say(f"saved slot {self.slot}")
        elif action == "load":
            if self.recorder is not None:
                self.say("no loading while recording: the movie would not replay")
            else:
                self.load()
        elif action == "screenshot":
            self.screenshot()
        elif action == "snapshot":
            self.write_snapshot()
        elif action == "fullscreen":
            self.fullscreen = not self.fullscreen
            self._set_mode()
            self.draw()

    def load(self) -> None:
        with quiet_stdout(not self.verbose):
            loaded = self.nes.loadState(self.slot)
            if loaded and self.paused:
                # A state holds no picture: draw the frame that follows it, then return to it.
                self.nes.runFrame()
                self.nes.getAudio()
                self.nes.loadState(self.slot)
        self.say(f"loaded slot {self.slot}" if loaded else f"slot {self.slot} is empty")
        self.draw()

    def screenshot(self) -> Optional[str]:
        """Writes the picture as a PNG; a failure is a message, the game goes on."""
        path = os.path.join(self.shot_dir, f"{self.name}-{self.nes.frameCount():06d}.png")
        try:
            media.write_picture(path, self.nes.getImg())
        except OSError as error:
            self.say(f"no screenshot: {path}: {error.strerror or error}")
            return None
        self.say(f"screenshot {path}")
        return path

    def write_snapshot(self) -> Optional[str]:
        """Writes the console's state as a start state file; a failure is a message."""
        path = os.path.join(self.shot_dir, f"{self.name}-{self.nes.frameCount():06d}.snapshot")
        try:
            write_state(path, self.nes)
        except OSError as error:
            self.say(f"no start state: {path}: {error.strerror or error}")
            return None
        self.say(f"start state {path}")
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
                self.notice(f"slot {self.slot}")
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
            self.byte = sum(0x80 >> i for i, on in enumerate(held) if on)
        if self.recorder is not None:
            self.recorder.add(self.byte)
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
            if self.overlay.lines(True) != self.shown:  # a message came or went
                self.draw()
            time.sleep(0.01)
            return
        due = self.frames_due()
        for _ in range(due):
            self.run_frame()
        if due:
            self.draw()
        else:
            time.sleep(0.002)

    def _stop_on_signal(self, signum, _frame) -> None:
        self.stopped_by = signum
        self.running = False

    def run(self, on_tick: Optional[Callable[["Player"], None]] = None) -> None:
        """Plays until quit; SIGINT and SIGTERM quit too, and are raised again afterwards as
        Interrupted. Every way out stops the console first, which writes the battery RAM."""
        previous = {}
        try:
            for signum in (signal.SIGINT, signal.SIGTERM):
                with contextlib.suppress(ValueError):  # not the main thread
                    previous[signum] = signal.signal(signum, self._stop_on_signal)
            while self.running:
                self.tick()
                if on_tick is not None:
                    on_tick(self)
        finally:
            self.close()
            for signum, handler in previous.items():
                signal.signal(signum, handler)
        if self.stopped_by is not None:
            raise Interrupted(self.stopped_by)

    def close(self) -> None:
        """Stops the console (writing its battery RAM), then closes the sound and the window."""
        try:
            stop_console(self.nes, self.verbose)
            self.save_movie()
        finally:
            self.close_outputs()

    def close_outputs(self) -> None:
        if self.audio is not None:
            self.audio.close()
            self.audio = None
        self.pg.display.quit()


    def save_movie(self) -> None:
        if self.movie_file is None:
            return
        out, self.movie_file = self.movie_file, None
        try:
            assert self.recorder is not None
            out.file.write(self.recorder.movie().to_bytes())
            out.commit()
        except BaseException:
            out.discard()
            raise
        print(f"zumbrel: movie {out.path} ({self.recorder.frames} frames)", flush=True)


def check_display(pygame) -> None:
    """Refuses a video driver that shows nothing unless it was asked for by name."""
    driver = pygame.display.get_driver()
    if driver in ("offscreen", "dummy") and os.environ.get("SDL_VIDEODRIVER", "").lower() != driver:
        raise NoDisplay(f"no display to open a window on (SDL fell back to its {driver!r} driver; "
                        "is DISPLAY set to a running X server?); 'zumbrel run' needs no window")


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
