"""Save directory, save-state slots and battery RAM files."""
import os
import shutil

import numpy as np
import pytest
import zumbrel
from helpers import STATE_SIZE


def cart_dir(home, name):
    return home / ".config" / "Quorvali" / name


class TestSaveDirectory:
    def test_lines_and_reuse(self, roms, home, capfd):
        zumbrel.NES(str(roms / "smoke.nes"))
        out = capfd.readouterr().out
        config = f"{home}/.config"
        assert f"LINUX, {config}\n{config}/Quorvali/smoke\n" in out
        assert "Folder already exists" not in out
        zumbrel.NES(str(roms / "smoke.nes"))
        assert "Folder already exists. Checking for save...\n" in capfd.readouterr().out

    def test_missing_config_folder_is_created(self, roms, home):
        assert not (home / ".config").exists()
        nes = zumbrel.NES(str(roms / "smoke.nes"))
        assert os.path.isdir(nes.getSaveDir())

    def test_names_with_spaces_and_dots(self, roms, home, tmp_path):
        path = tmp_path / "My Game.v1.nes"
        shutil.copy(roms / "smoke.nes", path)
        nes = zumbrel.NES(str(path))
        assert nes.getSaveDir() == str(cart_dir(home, "My_Game.v1"))

    def test_set_save_dir(self, roms, tmp_path):
        nes = zumbrel.NES(str(roms / "smoke.nes"))
        before = nes.getSaveDir()
        assert nes.setSaveDir(str(tmp_path / "missing")) is False
        assert nes.getSaveDir() == before
        assert nes.setSaveDir(str(tmp_path)) is True
        nes.saveState(2)
        assert (tmp_path / "2").stat().st_size == STATE_SIZE
        regular = tmp_path / "file"
        regular.write_text("x")
        assert nes.setSaveDir(str(regular)) is True  # any existing object is accepted
        assert nes.getSaveDir() == str(regular)


class TestSlots:
    def test_slot_names_and_size(self, roms):
        nes = zumbrel.NES(str(roms / "smoke.nes"))
        nes.runFrame()
        for slot in (0, -1, 7, 2**31 - 1):
            nes.saveState(slot)
            assert os.path.getsize(os.path.join(nes.getSaveDir(), str(slot))) == STATE_SIZE
        assert nes.loadState(5) is False
        assert nes.loadState(-1) is True

    def test_blank_console_needs_a_directory(self, tmp_path):
        nes = zumbrel.NES()
        with pytest.raises(RuntimeError, match="setSaveDir"):
            nes.saveState(1)
        assert nes.setSaveDir(str(tmp_path))
        nes.saveState(1)
        assert nes.loadState(1)

    def test_bad_slot_files_raise_and_change_nothing(self, roms):
        nes = zumbrel.NES(str(roms / "smoke.nes"))
        nes.runFrame()
        folder = nes.getSaveDir()
        sizes = {1: STATE_SIZE - 1, 3: STATE_SIZE + 1, 4: 0, 5: 2 * STATE_SIZE}
        for slot, size in sizes.items():
            with open(os.path.join(folder, str(slot)), "wb") as f:
                f.write(b"\x55" * size)
        os.mkdir(os.path.join(folder, "2"))
        before = bytes(nes.cpuMem()), bytes(nes.ppuMem())
        for slot in (1, 2, 3, 4, 5):
            with pytest.raises(ValueError, match=os.path.join(folder, str(slot))):
                nes.loadState(slot)
        assert (bytes(nes.cpuMem()), bytes(nes.ppuMem())) == before

    def test_unwritable_slot_raises_os_error_and_leaves_no_debris(self, roms, tmp_path):
        nes = zumbrel.NES(str(roms / "smoke.nes"))
        slots = tmp_path / "slots"
        (slots / "4").mkdir(parents=True)  # a directory where the slot file should go
        nes.setSaveDir(str(slots))
        with pytest.raises(OSError) as err:
            nes.saveState(4)
        assert str(slots / "4") in str(err.value)
        assert sorted(os.listdir(slots)) == ["4"]  # no temporary file left behind


class TestBatteryRam:
    def test_counter_survives_a_stop_and_a_new_start(self, roms, home, capfd):
        nes = zumbrel.NES(str(roms / "battery.nes"))
        out = capfd.readouterr().out
        ram = cart_dir(home, "battery") / "ram"
        assert f"load RAM file: {ram}\nRAM file exists: 0\n" in out
        nes.runFrame()
        assert nes.cpuMem()[0x11] == 0xA5 and nes.cpuMem()[0x10] == 0
        assert nes.cpuMem()[0x6000] == 1
        nes.stop()
        assert ram.stat().st_size == 8192
        assert ram.read_bytes()[0] == 1

        again = zumbrel.NES(str(roms / "battery.nes"))
        assert "RAM file exists: 1\n" in capfd.readouterr().out
        again.runFrame()
        assert again.cpuMem()[0x10] == 1 and again.cpuMem()[0x6000] == 2

    def test_each_console_writes_its_own_directory(self, roms, home, tmp_path):
        other = tmp_path / "other.nes"
        shutil.copy(roms / "battery.nes", other)
        first = zumbrel.NES(str(roms / "battery.nes"))
        second = zumbrel.NES(str(other))  # built last
        first.runFrame()
        first.cpuMem()[0x6001] = 0x77
        first.stop()
        assert (cart_dir(home, "battery") / "ram").read_bytes()[1] == 0x77
        assert not (cart_dir(home, "other") / "ram").exists()
        second.stop()
        assert (cart_dir(home, "other") / "ram").read_bytes()[1] == 0

    def test_ram_path_that_is_a_directory_is_skipped(self, roms, home, capfd):
        (cart_dir(home, "battery") / "ram").mkdir(parents=True)
        nes = zumbrel.NES(str(roms / "battery.nes"))
        nes.runFrame()
        assert nes.cpuMem()[0x10] == 0

    def test_no_battery_no_file(self, roms, home, capfd):
        nes = zumbrel.NES(str(roms / "smoke.nes"))
        out = capfd.readouterr().out
        assert "load RAM file" not in out
        nes.stop()
        assert not (cart_dir(home, "smoke") / "ram").exists()


@pytest.mark.parametrize("rom", ["demos/spritecans.nes", "mappers/smwstomp.nes"])
def test_loaded_state_replays_the_same_pictures(shared_rom, rom):
    """A program that redraws from its RAM gives the same picture after a load (NROM, MMC3)."""
    nes = zumbrel.NES(str(shared_rom(rom)))
    for _ in range(120):
        nes.runFrame()
    nes.saveState(1)
    for _ in range(300):
        nes.runFrame()
    first = nes.getImg().copy()
    first_ram = nes.cpuMem()[:0x800].copy()
    assert nes.loadState(1)
    for _ in range(300):
        nes.runFrame()
    assert np.array_equal(nes.getImg(), first)
    assert np.array_equal(nes.cpuMem()[:0x800], first_ram)
    assert len(np.unique(first.reshape(-1, 3), axis=0)) > 2  # a real picture, not a blank screen
