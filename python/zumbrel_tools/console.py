"""Building a console for the commands: checks first, the module's own lines kept quiet."""
from __future__ import annotations

import contextlib
import ctypes
import os
import sys
from typing import Iterator

from . import cartridge

DEMO_ROM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "zumbrel-demo.nes")


class CommandError(Exception):
    """An error the command reports as one line."""


def _flush_c_stdout() -> None:
    try:
        ctypes.CDLL(None).fflush(None)
    except (OSError, AttributeError):
        pass


@contextlib.contextmanager
def quiet_stdout(enabled: bool = True) -> Iterator[None]:
    """Sends what the emulator prints on file descriptor 1 to /dev/null meanwhile."""
    if not enabled:
        yield
        return
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    try:
        yield
    finally:
        _flush_c_stdout()
        os.dup2(saved, 1)
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


def open_console(path: str, verbose: bool = False):
    """A console with the cartridge at `path`; raises CommandError with a readable line."""
    header = check_rom(path)
    if not header.supported:
        print(f"zumbrel: {path}: board {header.board} ({header.board_name}) is not supported; "
              "it runs without its board logic", file=sys.stderr)
    home = os.environ.get("HOME")
    if not home:
        raise CommandError("HOME is not set: the console keeps its saves under $HOME/.config")
    os.makedirs(os.path.join(home, ".config"), exist_ok=True)
    import zumbrel

    try:
        with quiet_stdout(not verbose):
            return zumbrel.NES(path)
    except (ValueError, OSError, RuntimeError) as error:
        raise CommandError(f"{path}: {error}") from None


def stop_console(nes, verbose: bool = False) -> None:
    """Writes the battery RAM file (the console's stop does that)."""
    with quiet_stdout(not verbose):
        try:
            nes.stop()
        except RuntimeError:
            pass  # stopping a console whose thread never ran may report the failed join
