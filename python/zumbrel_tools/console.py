"""Building a console for the commands: checks first, the module's own lines kept quiet."""
from __future__ import annotations

import contextlib
import ctypes
import os
import signal
import sys
from typing import Iterator, Optional

from . import cartridge
from .demo import DEMO_ROM  # noqa: F401 (the commands' default cartridge)


class CommandError(Exception):
    """An error the command reports as one line."""


class NoDisplay(CommandError):
    """The window would open on no screen."""


def _flush_c_stdout() -> None:
    try:
        ctypes.CDLL(None).fflush(None)
    except (OSError, AttributeError):
        pass


@contextlib.contextmanager
def quiet_stdout(enabled: bool = True, fd: int = 1) -> Iterator[None]:
    """Sends what C code prints on file descriptor `fd` (the emulator's lines on standard
    output) to /dev/null meanwhile."""
    if not enabled:
        yield
        return
    sys.stdout.flush()
    sys.stderr.flush()
    saved = os.dup(fd)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, fd)
    try:
        yield
    finally:
        _flush_c_stdout()
        os.dup2(saved, fd)
        os.close(saved)
        os.close(devnull)


def check_rom(path: str, complete: bool = True) -> cartridge.Header:
    """The header of the image at `path`; with `complete`, the image must hold all it announces."""
    try:
        header = cartridge.read_header(path)
    except FileNotFoundError:
        raise CommandError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise CommandError(f"{path}: is a folder, not a cartridge image") from None
    except OSError as error:
        raise CommandError(f"{path}: {error.strerror or error}") from None
    except cartridge.NotAnImage as error:
        raise CommandError(f"{path}: {error}") from None
    if complete and header.file_size < header.expected_size:
        raise CommandError(f"{path}: the image is cut short ({header.file_size} bytes, "
                           f"the header announces {header.expected_size})")
    return header


def open_console(path: str, verbose: bool = False, force: bool = False, keep_saves: bool = True):
    """A console with the cartridge at `path`; raises CommandError with a readable line.
    A board the console does not know is refused unless `force` is given. Without
    `keep_saves` the console neither reads nor writes the cartridge's battery RAM file."""
    header = check_rom(path)
    if not header.supported:
        board = f"board {header.board} ({header.board_name}) is not supported"
        if not force:
            raise CommandError(f"{path}: {board}: it would run without its board logic "
                               "(--force runs it anyway)")
        print(f"zumbrel: warning: {path}: {board}; it runs without its board logic", file=sys.stderr)
    home = os.environ.get("HOME")
    if not home:
        raise CommandError("HOME is not set: the console keeps its save folder under $HOME/.config")
    folder = cartridge.save_dir(path)
    if os.path.isdir(home):
        with contextlib.suppress(OSError):  # when this fails, so does the console, with the reason
            os.makedirs(os.path.join(home, ".config"), exist_ok=True)
    import zumbrel

    try:
        with quiet_stdout(not verbose):
            nes = zumbrel.NES(path) if keep_saves else zumbrel.NES(_unsaved_image(path))
    except (ValueError, OSError, RuntimeError) as error:
        if not os.path.isdir(folder):
            reason = _folder_reason(home, error)
            raise CommandError(f"cannot make the save folder {folder}: {reason}") from None
        raise CommandError(f"{path}: {error}") from None
    if not os.path.isdir(folder):
        reason = _folder_reason(home, None)
        print(f"zumbrel: warning: cannot make the save folder {folder}{f' ({reason})' if reason else ''}: "
              "save states and battery RAM are not kept", file=sys.stderr)
    return nes


def _unsaved_image(path: str):
    """The image at `path` without its battery, named by `path` so that its save folder is the same."""
    from .snapshots import _Image

    with open(path, "rb") as image:
        return _Image(cartridge.without_battery(image.read()), path)


def _folder_reason(home: str, error: Optional[Exception]) -> str:
    if not os.path.isdir(home):
        return f"HOME is {home}, which is not a folder"
    return "" if error is None else str(error)


class Interrupted(KeyboardInterrupt):
    """A signal that ends the command the way Ctrl-C does, through the same clean-up."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


@contextlib.contextmanager
def terminate_as_interrupt() -> Iterator[None]:
    """SIGTERM raises Interrupted meanwhile (the main thread only)."""
    def raise_interrupted(signum, _frame):
        raise Interrupted(signum)

    try:
        previous = signal.signal(signal.SIGTERM, raise_interrupted)
    except ValueError:  # not the main thread: leave signals alone
        yield
        return
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def stop_console(nes, verbose: bool = False) -> None:
    """Writes the battery RAM file (the console's stop does that)."""
    with quiet_stdout(not verbose):
        try:
            nes.stop()
        except RuntimeError:
            pass  # stopping a console whose thread never ran may report the failed join
