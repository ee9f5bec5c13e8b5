"""An NES (NTSC) emulator: a console ("NES") you load with a cartridge and feed with pads ("Controller")."""

from typing import Any, Callable, Optional, Protocol, Union, overload

import numpy
import numpy.typing

class _ReadableRom(Protocol):
    @property
    def name(self) -> Any: ...
    def read(self) -> Any: ...

class Controller:
    """One standard pad: eight buttons that Python sets and the console reads."""

    def __init__(self) -> None:
        """A pad with every button released."""
    def updateInputs(self, buttons: list[Any], /) -> None:
        """Sets all eight buttons at once, in the pad's report order: A, B, Select, Start, Up,
        Down, Left, Right (truthy = pressed). Takes a list (a tuple is a TypeError); may be called
        from any thread at any time, also while the console runs."""

class NES:
    """One console. Building it from a cartridge prints the save folder it uses
    (~/.config/Quorvali/<cartridge name>/) and loads the cartridge's battery RAM file, if any;
    without a usable home folder it is built with saving off, and says so. Its battery RAM file
    is written by "stop", and also when the console is released or the interpreter exits."""

    @overload
    def __init__(self, rom_name: Union[str, bytes], CLOCK_SPEED: int = 1789773) -> None:
        """Loads the iNES image at this path. CLOCK_SPEED is the run thread's pace in CPU cycles
        per second (1789773: real time; 0: unpaced). Raises FileNotFoundError or OSError for the
        file and ValueError for an image that is not a valid iNES cartridge."""
    @overload
    def __init__(self, CLOCK_SPEED: int = 1789773) -> None:
        """A console without a cartridge (a blank program that does nothing)."""
    @overload
    def __init__(self, rom_file: _ReadableRom, CLOCK_SPEED: int = 1789773) -> None:
        """Loads the image from a file object opened in binary mode: its "name" names the save
        folder, its "read()" gives the bytes. ValueError for a bad image."""
    def cpuMem(self) -> numpy.typing.NDArray[numpy.uint8]:
        """The CPU's 64 KiB address space as a live uint8 view (RAM $0000-$07FF, cartridge
        space above $4020). Writes change memory directly, without bus side effects."""
    def ppuMem(self) -> numpy.typing.NDArray[numpy.uint8]:
        """Video memory (16 KiB: pattern tables, name tables, palette) as a live uint8 view."""
    def OAM(self) -> numpy.typing.NDArray[numpy.uint8]:
        """Sprite memory (256 bytes, four per sprite) as a live uint8 view."""
    def getImg(self) -> numpy.typing.NDArray[numpy.uint8]:
        """The picture as a live (240, 256, 3) uint8 RGB view: each pixel changes as it is drawn,
        so copy it after "runFrame", or read it in the per-frame function or while paused."""
    def colorLookup(self) -> numpy.typing.NDArray[numpy.uint8]:
        """The 64-colour NTSC palette as a live (64, 3) uint8 RGB view; writes recolour what
        is drawn next."""
    def getAudio(self) -> bytes:
        """The newest whole block of 1024 signed 16-bit mono samples at 44100 Hz not yet
        handed out, or empty bytes when there is none. Safe from any thread."""
    def start(self) -> None:
        """Runs the console on its own thread, paced to CLOCK_SPEED. RuntimeError when it
        already runs, or while "runFrame" steps it on another thread. From the per-frame
        function after "stop", the thread simply goes on."""
    def stop(self) -> None:
        """Ends the run thread (waiting for it, without the interpreter lock) and writes the
        battery RAM file. Harmless on a console that does not run."""
    def saveState(self, slot: int, /) -> None:
        """Writes the machine to the slot file <save folder>/<slot>, whole or not at all.
        RuntimeError without a save folder, OSError when the file cannot be written or saving
        is off. While another thread steps the console, the machine is saved between two
        instructions or inside its per-frame function."""
    def loadState(self, slot: int, /) -> bool:
        """Reads the machine back from a slot file: False when the slot was never saved,
        ValueError (machine unchanged) for a file that is not a save state."""
    def setPaused(self, paused: bool, /) -> None:
        """Holds (True) or resumes (False) the run thread; emulated time does not advance
        while paused and no lost time is caught up on resume."""
    def setSaveDir(self, folder: str, /) -> bool:
        """Uses another existing folder for slots and battery RAM: False (nothing changes) when
        it does not exist."""
    def getSaveDir(self) -> str:
        """The save folder, or an empty string for a console without a cartridge."""
    def setController(self, pad: Controller, port: int, /) -> None:
        """Attaches a pad to port 0 ($4016) or 1 ($4017); the console keeps it alive while
        attached. ValueError for another port."""
    def frameCount(self) -> int:
        """Frames completed since power-on."""
    def cycleCount(self) -> int:
        """CPU cycles run since power-on."""
    def runFrame(self) -> None:
        """Runs until the current frame is complete, then calls the per-frame function. Runs
        without the interpreter lock (the per-frame function takes it); RuntimeError while the
        run thread runs or another thread's "runFrame" steps the console; waits for a run thread
        that is ending. An exception from the per-frame function reaches the caller."""
    def perFrame(self, function: Optional[Callable[[], None]], /) -> None:
        """Calls this function (no arguments) once after every frame, on the thread that ran
        it; None removes it. On the run thread, an exception is printed and stops the thread."""
