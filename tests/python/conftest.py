import faulthandler
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
ASM = ROOT / "tests" / "asm"
SHARED = ROOT.parent / "shared" / "testroms"


def pytest_configure(config):
    # Output capture is off while pytest configures: this is the run's own stderr. Written to
    # while a test runs, the captured one is lost when the watchdog ends the process.
    config.hang_report = os.fdopen(os.dup(2), "w")


@pytest.fixture(autouse=True)
def hard_stop(request):
    """Ends the whole run, with every thread's stack, when a test outlives its timeout by a minute.

    pytest-timeout's handler is Python code: a hang that holds the interpreter lock (a thread
    blocked in native code) never lets it run. faulthandler's watchdog needs no lock.
    """
    marker = request.node.get_closest_marker("timeout")
    if marker and marker.args:
        seconds = marker.args[0]
    else:
        try:
            seconds = request.config.getini("timeout")
        except ValueError:  # pytest-timeout not installed
            seconds = 300
    faulthandler.dump_traceback_later(float(seconds) + 60, exit=True, file=request.config.hang_report)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture(autouse=True)
def home(tmp_path, monkeypatch):
    """Every test gets its own HOME, so save directories land in a scratch folder."""
    path = tmp_path / "home"
    path.mkdir()
    monkeypatch.setenv("HOME", str(path))
    return path


@pytest.fixture(scope="session")
def roms(tmp_path_factory):
    """Folder of our own test programs, assembled once per session."""
    out = tmp_path_factory.mktemp("roms")
    subprocess.run([sys.executable, str(ASM / "build_roms.py"), str(out)], check=True)
    return out


@pytest.fixture
def shared_rom():
    """Path of a public test cartridge; skips when the shared folder is absent."""
    def find(relative):
        path = SHARED / relative
        if not path.exists():
            pytest.skip(f"public test cartridge {relative} not found (no ../shared/testroms)")
        return path
    return find
