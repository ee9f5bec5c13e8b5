"""The `zumbrel` command and its helpers: a window to play in, headless runs that write
pictures, animations and sound, and a look at cartridge headers. The emulator itself is
the extension module `zumbrel`."""
from .console import DEMO_ROM

__all__ = ["DEMO_ROM"]
