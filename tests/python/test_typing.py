"""The type stub describes the module as it is, and type checkers accept real use of it."""
import ast
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest
import zumbrel

STUB = pathlib.Path(__file__).resolve().parents[2] / "src" / "binding" / "zumbrel.pyi"

USE = """
import numpy as np
import zumbrel

nes = zumbrel.NES("game.nes", CLOCK_SPEED=0)
blank = zumbrel.NES()
with open("game.nes", "rb") as f:
    from_file = zumbrel.NES(f)
pad = zumbrel.Controller()
pad.updateInputs([True, False, False, False, False, False, False, False])
nes.setController(pad, 0)
nes.perFrame(lambda: None)
nes.perFrame(None)
nes.runFrame()
img: np.ndarray = nes.getImg()
ram = nes.cpuMem()[0x0000:0x0800]
vram, oam, colors = nes.ppuMem(), nes.OAM(), nes.colorLookup()
audio: bytes = nes.getAudio()
frames: int = nes.frameCount() + nes.cycleCount()
nes.saveState(1)
ok: bool = nes.loadState(1) and nes.setSaveDir("/tmp")
where: str = nes.getSaveDir()
nes.setPaused(False)
nes.start()
nes.stop()
"""


def stub_methods():
    tree = ast.parse(STUB.read_text())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    return {name: {f.name for f in node.body if isinstance(f, ast.FunctionDef)} for name, node in classes.items()}


def test_stub_names_every_method():
    methods = stub_methods()
    for cls in ("NES", "Controller"):
        runtime = {n for n in dir(getattr(zumbrel, cls)) if not n.startswith("_")}
        assert methods[cls] - {"__init__"} == runtime


def run_mypy(tmp_path, source):
    script = tmp_path / "use.py"
    script.write_text(textwrap.dedent(source))
    env = dict(os.environ, MYPYPATH=str(STUB.parent))
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(script)],
                          capture_output=True, text=True, env=env, cwd=tmp_path)


def test_mypy_accepts_the_whole_api(tmp_path):
    pytest.importorskip("mypy")
    result = run_mypy(tmp_path, USE)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_rejects_misuse(tmp_path):
    pytest.importorskip("mypy")
    result = run_mypy(tmp_path, "import zumbrel\nn: str = zumbrel.NES().frameCount()\nzumbrel.NES().saveState('1')\n")
    assert result.returncode != 0
    assert "frameCount" in result.stdout or "int" in result.stdout


def test_installed_stubs_are_found_beside_the_module():
    module_dir = pathlib.Path(zumbrel.__file__).parent
    if not (module_dir / "zumbrel-stubs").exists():
        pytest.skip("module not installed by pip (a development build)")
    assert (module_dir / "zumbrel.pyi").read_text() == STUB.read_text()
    assert (module_dir / "zumbrel-stubs" / "__init__.pyi").read_text() == STUB.read_text()
