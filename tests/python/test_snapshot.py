"""Snapshots in memory from the companion: exact continuation, refusal of foreign or damaged
data, consoles with a run thread, and pickling and copying of consoles."""
import copy
import pathlib
import pickle
import struct
import time

import pytest
import zumbrel
from zumbrel_tools import _native, restore, snapshot

FRAMES = 12


def console(path, clock_speed=0):
    return zumbrel.NES(str(path), clock_speed)


def attach_pad(nes):
    pad = zumbrel.Controller()
    nes.setController(pad, 0)
    return pad


def run_and_record(nes, frames=FRAMES):
    """Runs frames with a fixed walk through the buttons; returns what a script can see."""
    pad = attach_pad(nes)
    seen = []
    for f in range(frames):
        pad.updateInputs([(f // 3) % 8 == i for i in range(8)])
        nes.runFrame()
        seen.append((nes.getImg().tobytes(), nes.getAudio(), nes.cpuMem().tobytes(), nes.ppuMem().tobytes(),
                     nes.OAM().tobytes(), nes.frameCount(), nes.cycleCount()))
    seen.append(snapshot(nes))  # registers, latches, channels, board: all of it
    return seen


@pytest.fixture
def demo(shared_rom):
    return shared_rom("demos/nes15-NTSC.nes")


class TestCopies:
    @pytest.mark.parametrize("how", ["pickle", "deepcopy"])
    def test_copy_continues_exactly(self, demo, how):
        nes = console(demo)
        for _ in range(30):
            nes.runFrame()
        twin = pickle.loads(pickle.dumps(nes)) if how == "pickle" else copy.deepcopy(nes)
        assert isinstance(twin, zumbrel.NES) and twin is not nes
        assert run_and_record(twin) == run_and_record(nes)

    def test_blank_console_and_moved_save_folder(self, tmp_path):
        nes = zumbrel.NES(0)
        assert nes.setSaveDir(str(tmp_path))
        nes.runFrame()
        twin = pickle.loads(pickle.dumps(nes))
        assert twin.getSaveDir() == str(tmp_path)
        assert snapshot(twin) == snapshot(nes)

    def test_cartridge_folder_follows_the_name(self, roms, home, tmp_path):
        path = tmp_path / "My Game.v1.nes"
        path.write_bytes((roms / "board_mmc1.nes").read_bytes())
        twin = copy.deepcopy(console(path))
        assert twin.getSaveDir() == str(home / ".config" / "Quorvali" / "My_Game.v1")


class TestRefusals:
    @pytest.fixture
    def taken(self, roms):
        nes = console(roms / "board_mmc3.nes")
        for _ in range(5):
            nes.runFrame()
        return snapshot(nes)

    def other_version(data):
        return data[:8] + struct.pack("<I", 2) + data[12:]

    @pytest.mark.parametrize("damage, message", [
        (lambda d: b"", "fewer than the header"),
        (lambda d: d[:-1], "truncated"),
        (lambda d: d + b"\0", "truncated or extended"),
        (lambda d: b"X" + d[1:], "not a zumbrel snapshot"),
        (other_version, "version 2"),
        (lambda d: d[:40] + bytes([d[40] ^ 1]) + d[41:], "checksum"),
        (lambda d: d[:-5] + bytes([d[-5] ^ 0x80]) + d[-4:], "checksum"),
    ])
    def test_damaged_data_changes_nothing(self, roms, taken, damage, message):
        nes = console(roms / "board_mmc3.nes")
        nes.runFrame()
        before = snapshot(nes)
        with pytest.raises(ValueError, match=message):
            restore(nes, damage(taken))
        assert snapshot(nes) == before

    def test_other_cartridge(self, roms, taken):
        nes = console(roms / "board_uxrom.nes")
        before = snapshot(nes)
        with pytest.raises(ValueError, match="another cartridge"):
            restore(nes, taken)
        assert snapshot(nes) == before

    def test_arguments(self, roms, taken):
        nes = console(roms / "board_mmc3.nes")
        restore(nes, bytearray(taken))
        restore(nes, memoryview(taken))
        for bad in ((42,), (None, taken)):
            with pytest.raises(TypeError, match="zumbrel.NES"):
                _native.snapshot(*bad) if len(bad) == 1 else restore(*bad)
        assert snapshot(nes) == taken


class TestRunThread:
    def test_paused_thread_mid_frame(self, roms):
        """Taken from and restored into consoles whose run thread stands between two
        instructions; the restored console continues as the one it was taken from."""
        path = roms / "board_ntdec2722.nes"
        nes = console(path, 1789773)
        nes.start()
        time.sleep(0.05)
        nes.setPaused(True)
        taken = snapshot(nes)

        other = console(path, 1789773)
        other.start()
        other.setPaused(True)
        restore(other, taken)
        for unit in (nes, other):
            unit.stop()
        assert snapshot(other) == taken
        assert run_and_record(other) == run_and_record(nes)

    def test_running_console_keeps_its_pace(self, roms):
        """A snapshot from far ahead in emulated time does not make the run thread wait for the
        wall clock to catch up, nor does it stop it from following promptly."""
        path = roms / "smoke.nes"
        source = console(path)
        for _ in range(400):  # almost seven seconds of emulated time
            source.runFrame()
        taken = snapshot(source)
        nes = console(path, 1789773)
        nes.start()
        try:
            restore(nes, taken)
            deadline = time.monotonic() + 3
            while nes.frameCount() <= source.frameCount() + 2 and time.monotonic() < deadline:
                time.sleep(0.01)
            assert nes.frameCount() > source.frameCount() + 2
        finally:
            nes.stop()

    def test_snapshot_in_the_per_frame_function_on_the_run_thread(self, roms):
        path = roms / "smoke.nes"
        nes = console(path, 0)
        taken = []
        nes.perFrame(lambda: taken.append(snapshot(nes)) if len(taken) < 3 else None)
        nes.start()
        deadline = time.monotonic() + 10
        while len(taken) < 3 and time.monotonic() < deadline:
            time.sleep(0.01)
        nes.stop()
        assert len(taken) == 3
        for data in taken:
            restore(console(path), data)

    def test_restore_while_running(self, roms):
        path = roms / "smoke.nes"
        source = console(path)
        source.runFrame()
        taken = snapshot(source)
        nes = console(path)
        nes.start()
        try:
            for _ in range(20):
                restore(nes, taken)
                assert nes.frameCount() >= 1
        finally:
            nes.stop()
        # No restore tore the state: the counters still keep a step's relations.
        restore(console(path), snapshot(nes))


def test_readme_example_runs_as_written():
    readme = (pathlib.Path(__file__).parents[2] / "README.md").read_text()
    section = readme.split("## Snapshots, pickling and copies", 1)[1]
    code = section.split("```python\n", 1)[1].split("```", 1)[0]
    exec(compile(code, "README.md", "exec"), {})


def test_one_emulator_in_the_process():
    """Both extension modules use the one shared core library."""
    import zumbrel_tools._native  # noqa: F401
    mapped = {line.split()[-1] for line in open("/proc/self/maps") if "zumbrel" in line}
    assert len([path for path in mapped if "libzumbrel_core" in path]) == 1


def test_native_stub_names_every_function():
    import ast
    stub = pathlib.Path(__file__).resolve().parents[2] / "src" / "tools" / "_native.pyi"
    definitions = (ast.FunctionDef, ast.ClassDef)
    body = ast.parse(stub.read_text()).body
    named = {node.name for node in body if isinstance(node, definitions)}
    named |= {node.target.id for node in body if isinstance(node, ast.AnnAssign)}
    assert named == {name for name in dir(_native) if not name.startswith("_")}
