"""Saves never lost or misplaced: battery RAM kept without "stop", unusable battery files kept
aside, save folders that stay inside the program folder, consoles without a usable home,
debris of killed writers, text-mode file objects."""
import gc
import os
import random
import subprocess
import sys
import time

import pytest
import zumbrel
from helpers import STATE_SIZE, Named

pytestmark = pytest.mark.timeout(180)


def program_dir(home):
    return home / ".config" / "Quorvali"


@pytest.mark.parametrize("release", ["del", "del with a per-frame function"])
def test_battery_ram_is_kept_without_stop(roms, home, release):
    ram = program_dir(home) / "battery" / "ram"
    untouched = zumbrel.NES(str(roms / "battery.nes"))
    del untouched
    assert not ram.exists()  # a console that never ran changed nothing worth a file
    nes = zumbrel.NES(str(roms / "battery.nes"))
    nes.runFrame()
    if release == "del with a per-frame function":
        nes.perFrame(lambda: None)
    del nes
    gc.collect()
    assert ram.read_bytes()[0] == 1  # the program counts its power-ons in $6000


@pytest.mark.parametrize("plant", ["directory", "short file", "long file", "no permission"])
def test_unusable_battery_file_is_kept_aside(roms, home, capfd, plant):
    folder = program_dir(home) / "battery"
    folder.mkdir(parents=True)
    ram = folder / "ram"
    if plant == "directory":
        ram.mkdir()
        (ram / "inside").write_bytes(b"player data")
    elif plant == "no permission":
        if os.geteuid() == 0:
            pytest.skip("root reads any file")
        ram.write_bytes(b"\x07" * 8192)
        ram.chmod(0)
    else:
        ram.write_bytes(b"\x07" * (100 if plant == "short file" else 9000))
    nes = zumbrel.NES(str(roms / "battery.nes"))
    assert f"battery RAM file {ram} cannot be used" in capfd.readouterr().out
    nes.runFrame()
    nes.stop()
    aside = folder / "ram.unreadable"
    assert f"kept as {aside}" in capfd.readouterr().out
    if plant == "directory":
        assert (aside / "inside").read_bytes() == b"player data"
    else:
        aside.chmod(0o644)
        assert aside.read_bytes()[-1:] == b"\x07" and aside.stat().st_size in (100, 8192, 9000)
    assert ram.stat().st_size == 8192
    nes.stop()  # a readable file of its own now: written over, nothing more set aside
    assert sorted(os.listdir(folder)) == ["ram", "ram.unreadable"]


@pytest.mark.parametrize("name, folder", [
    ("...nes", "__"), ("foo/...", "__"), ("..", "_"), (".", "_"), ("", "_"), (".nes", "_"),
    ("My Game.v1.nes", "My_Game.v1"),  # ordinary names stay as they always were
])
def test_save_folder_stays_inside_the_program_folder(roms, home, tmp_path, name, folder):
    image = (roms / "smoke.nes").read_bytes()
    nes = zumbrel.NES(Named(image, name))
    assert nes.getSaveDir() == str(program_dir(home) / folder)
    nes.saveState(1)
    assert (program_dir(home) / folder / "1").stat().st_size == STATE_SIZE
    if name not in ("", ".", "..") and "/" not in name:  # the path constructor derives the same folder
        path = tmp_path / name
        path.write_bytes(image)
        assert zumbrel.NES(str(path)).getSaveDir() == str(program_dir(home) / folder)


@pytest.mark.parametrize("breakage", ["HOME unset", "HOME missing", ".config is a file",
                                      "Quorvali is a file", "Quorvali read-only"])
def test_console_is_built_without_a_usable_save_folder(roms, home, monkeypatch, capfd, breakage):
    if breakage == "HOME unset":
        monkeypatch.delenv("HOME")
    elif breakage == "HOME missing":
        monkeypatch.setenv("HOME", str(home / "gone"))
    elif breakage == ".config is a file":
        (home / ".config").write_text("not a folder")
    elif breakage == "Quorvali is a file":
        (home / ".config").mkdir()
        program_dir(home).write_text("not a folder")
    else:
        if os.geteuid() == 0:
            pytest.skip("root writes into read-only folders")
        program_dir(home).mkdir(parents=True)
        program_dir(home).chmod(0o555)
    nes = zumbrel.NES(str(roms / "battery.nes"))
    assert "saving is off" in capfd.readouterr().out
    nes.runFrame()
    with pytest.raises(OSError) as err:
        nes.saveState(1)
    assert "Quorvali/battery" in str(err.value)
    nes.stop()  # no battery RAM file, and no error for it
    assert not os.path.exists(os.path.join(nes.getSaveDir(), "ram"))


@pytest.mark.parametrize("cartridge", ["missing", "damaged"])
def test_failed_construction_leaves_no_save_folder(home, tmp_path, cartridge):
    path = tmp_path / "game.nes"
    if cartridge == "damaged":
        path.write_bytes(b"not an iNES image")
    with pytest.raises((FileNotFoundError, ValueError)):
        zumbrel.NES(str(path))
    assert not (home / ".config").exists()
    program_dir(home).mkdir(parents=True)
    with pytest.raises((FileNotFoundError, ValueError)):
        zumbrel.NES(str(path))
    assert os.listdir(program_dir(home)) == []


WRITER = """
import sys, zumbrel
nes = zumbrel.NES(sys.argv[1])
nes.runFrame()
print("ready", flush=True)
while True:
    nes.saveState(1)
    nes.stop()
"""


def test_killed_writers_leave_no_debris(roms, home):
    folder = program_dir(home) / "battery"
    deadline = time.monotonic() + 60
    rng = random.Random(23)
    for _ in range(25):
        if time.monotonic() > deadline:
            break
        writer = subprocess.Popen([sys.executable, "-c", WRITER, str(roms / "battery.nes")],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            while "ready" not in writer.stdout.readline():
                assert writer.poll() is None and time.monotonic() < deadline, "the writer did not start"
            time.sleep(rng.uniform(0, 0.05))
        finally:
            writer.kill()
            writer.wait(timeout=10)
        assert (folder / "1").stat().st_size == STATE_SIZE  # whole, whenever the kill came
        assert (folder / "ram").stat().st_size == 8192
    # Debris as a kill between creating the temporary file and the rename leaves it.
    for debris in ("1.tmp.A1b2C3", "ram.tmp.xYz789"):
        (folder / debris).write_bytes(b"\0" * 1000)
    (folder / "2.tmp.A1b2C3").write_bytes(b"another slot's")
    nes = zumbrel.NES(str(roms / "battery.nes"))
    nes.runFrame()
    nes.saveState(1)
    nes.stop()
    assert sorted(os.listdir(folder)) == ["1", "2.tmp.A1b2C3", "ram"]


def test_text_mode_file_object_is_refused(roms):
    with open(roms / "smoke.nes", encoding="latin-1") as text:
        with pytest.raises(TypeError, match="binary mode"):
            zumbrel.NES(text)
