"""The `zumbrel` command and its helpers: a window to play in, headless runs that write
pictures, animations and sound, and a look at cartridge headers; exact snapshots of a console
in memory, and pickling and copying of consoles. The emulator itself is the extension module
`zumbrel`."""
import pkgutil

# The native part may be built into a folder of its own (a build tree beside this source tree).
__path__ = pkgutil.extend_path(__path__, __name__)

from .batch import StepPool, step_batch  # noqa: E402
from .console import quiet_stdout  # noqa: E402
from .demo import DEMO_ROM  # noqa: E402
from .registration import register_environments  # noqa: E402
from .snapshots import restore, snapshot  # noqa: E402

__all__ = ["DEMO_ROM", "quiet_stdout", "restore", "snapshot", "step_batch", "StepPool"]

register_environments()
