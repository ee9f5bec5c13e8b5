"""The built-in demo cartridge: its image matches its sources, and it shows, plays and keeps
what it claims to."""
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest
import zumbrel
from zumbrel_tools.cartridge import read_header
from zumbrel_tools.console import DEMO_ROM, open_console, stop_console
from zumbrel_tools.inputs import BUTTONS

ROOT = pathlib.Path(__file__).resolve().parents[2]
SELECT = "select"
BAR_ROWS = slice(0, 32)        # the status bar, above the split
EARTH_ROWS = slice(220, 240)   # ground that no sprite reaches
PLAYER_SPRITE = 1              # the player is sprites 1-4


def buttons(*names):
    return [name in names for name in BUTTONS]


class Demo:
    def __init__(self):
        self.nes = open_console(DEMO_ROM)
        self.pad = zumbrel.Controller()
        self.nes.setController(self.pad, 0)

    def run(self, frames, *held):
        """Runs frames with the buttons held; returns the sound they made."""
        self.pad.updateInputs(buttons(*held))
        blocks = []
        for _ in range(frames):
            self.nes.runFrame()
            block = self.nes.getAudio()
            if block:
                blocks.append(block)
        return np.frombuffer(b"".join(blocks), dtype=np.int16).astype(np.float64)

    def tap(self, *names):
        self.run(1, *names)
        self.run(1)

    def player(self):
        oam = self.nes.OAM()
        base = 4 * PLAYER_SPRITE
        return int(oam[base + 3]), int(oam[base]), int(oam[base + 2])  # x, y, attributes

    def picture(self):
        return self.nes.getImg().copy()


@pytest.fixture
def demo():
    return Demo()


def test_shipped_image_is_built_from_the_sources(tmp_path):
    if shutil.which("ca65") is None or shutil.which("ld65") is None:
        pytest.skip("ca65/ld65 not installed (Debian package cc65)")
    out = tmp_path / "demo.nes"
    subprocess.run([sys.executable, str(ROOT / "demo" / "build_demo.py"), str(out)], check=True,
                   stdout=subprocess.DEVNULL)
    assert out.read_bytes() == pathlib.Path(DEMO_ROM).read_bytes(), \
        "the shipped demo image is stale: run demo/build_demo.py"


def test_header_is_nrom_with_battery():
    header = read_header(DEMO_ROM)
    assert (header.board, header.prg_size, header.chr_size) == (0, 32768, 8192)
    assert header.battery and header.mirroring == 1 and not header.nes2


def test_runs_an_hour_of_frames_scrolling_under_a_still_status_bar(demo):
    demo.run(10)
    bar = demo.picture()[BAR_ROWS]
    balls_before = demo.nes.OAM()[20:148].copy()
    quiet_seconds = 0
    for second in range(60):
        sound = demo.run(59)
        if sound.std() < 100:
            quiet_seconds += 1
        before = demo.picture()
        demo.run(1)
        after = demo.picture()
        assert np.array_equal(after[BAR_ROWS], bar), f"status bar moved in second {second}"
        # Below the split everything moves one pixel to the left each frame.
        assert np.array_equal(after[EARTH_ROWS, :-1], before[EARTH_ROWS, 1:]), f"second {second}"
    assert demo.nes.frameCount() == 3610
    assert quiet_seconds == 0
    assert not np.array_equal(demo.nes.OAM()[20:148], balls_before), "the balls stopped"


def test_pad_moves_the_character_within_the_playfield(demo):
    demo.run(10)
    x, y, attributes = demo.player()
    assert attributes & 0x40 == 0
    demo.run(30, "right")
    assert demo.player()[:2] == (x + 30, y)
    demo.run(10, "left", "b")                  # B runs: two pixels a frame
    x2, _, attributes = demo.player()
    assert x2 == x + 30 - 20 and attributes & 0x40, "facing left mirrors the sprites"
    demo.run(12, "up")
    assert demo.player()[1] == y - 12
    demo.run(300, "left", "down")
    assert demo.player()[:2] == (0, 208)


def lamp_colours(demo):
    """The colour at the middle of each of the five lamps in the status bar."""
    picture = demo.picture()
    return [tuple(picture[19, 8 * (8 + 2 * i) + 3]) for i in range(5)]


# Solo order of the Select button, with where each channel's sound lies.
SOLOS = [
    ("pulse 1", 0x01, (150, 2000)),
    ("pulse 2", 0x02, (150, 2000)),
    ("triangle", 0x04, (20, 150)),
    ("noise", 0x08, (2000, 22050)),
    ("DMC", 0x10, (20, 400)),
]


def band_share(sound, band):
    sound = sound - sound.mean()
    power = np.abs(np.fft.rfft(sound * np.hanning(len(sound)))) ** 2
    freqs = np.fft.rfftfreq(len(sound), 1 / 44100)
    return power[(freqs >= band[0]) & (freqs < band[1])].sum() / power.sum()


def test_each_of_the_five_channels_plays_alone_with_select(demo):
    colours = demo.nes.colorLookup()
    lamp_on, lamp_off = tuple(colours[0x2A]), tuple(colours[0x06])
    demo.run(10)
    assert lamp_colours(demo) == [lamp_on] * 5
    everything = demo.run(256)                 # one pass of the tune
    assert everything.std() > 1000
    for index, (name, mask, band) in enumerate(SOLOS):
        demo.tap(SELECT)
        assert demo.nes.cpuMem()[0x4015] & 0x1F == mask & 0x0F, name
        sound = demo.run(256)
        assert sound.std() > 300, f"{name} alone is silent"
        assert band_share(sound, band) > 0.3, f"{name} sounds outside {band} Hz"
        assert lamp_colours(demo) == [lamp_on if i == index else lamp_off for i in range(5)]
    demo.tap(SELECT)                           # back to all five
    assert lamp_colours(demo) == [lamp_on] * 5


def test_power_on_count_survives_a_stop_and_a_new_start(home):
    first = Demo()
    first.run(5)
    assert list(first.nes.cpuMem()[0x6000:0x6008]) == list(b"ZUMB") + [0, 0, 0, 1]
    stop_console(first.nes)
    ram = home / ".config" / "Quorvali" / "zumbrel-demo" / "ram"
    assert ram.stat().st_size == 8192
    second = Demo()
    second.run(5)
    assert list(second.nes.cpuMem()[0x6004:0x6008]) == [0, 0, 0, 2]
    # The status bar shows the count: text tiles are the characters' codes.
    assert bytes(second.nes.ppuMem()[0x2000 + 32 + 20:0x2000 + 32 + 30]) == b"PLAYS 0002"


def test_count_carries_over_decimal_digits(home):
    nes = Demo().nes
    ram = bytearray(8192)
    ram[0:8] = b"ZUMB" + bytes([0, 1, 9, 9])
    save = home / ".config" / "Quorvali" / "zumbrel-demo" / "ram"
    save.write_bytes(bytes(ram))
    del nes
    again = Demo()
    again.run(3)
    assert list(again.nes.cpuMem()[0x6004:0x6008]) == [0, 2, 0, 0]
