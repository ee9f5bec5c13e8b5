"""A thousand consoles made and released in every order: no crash, and memory stays flat.

Under AddressSanitizer, turn its quarantine off (ASAN_OPTIONS=quarantine_size_mb=0), or the
freed memory it holds back makes the resident size grow by design."""
import gc
import os
import random
import time

import pytest
import zumbrel

pytestmark = [pytest.mark.slow, pytest.mark.timeout(1800)]

VIEWS = ["cpuMem", "ppuMem", "OAM", "getImg", "colorLookup"]
SHAPES = {"cpuMem": (65536,), "ppuMem": (16384,), "OAM": (256,), "getImg": (240, 256, 3), "colorLookup": (64, 3)}


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def one_life(rng, rom, scenario):
    """Builds a console with views and a pad, runs it one way, releases it another way.
    Returns the views it kept, which must stay readable after the console is gone."""
    nes = zumbrel.NES(rom, CLOCK_SPEED=rng.choice([0, 1789773]))
    views = {name: getattr(nes, name)() for name in rng.sample(VIEWS, k=rng.randint(0, len(VIEWS)))}
    pad = zumbrel.Controller()
    pad.updateInputs([rng.random() < 0.5 for _ in range(8)])
    nes.setController(pad, rng.randint(0, 1))
    frames = []
    if scenario == 0:  # stepped by hand, then the console goes first
        nes.runFrame()
        nes.runFrame()
        del nes
        del pad
    elif scenario == 1:  # a per-frame function that refers to its console (a reference cycle)
        nes.perFrame(lambda: frames.append(nes.frameCount()))
        nes.start()
        time.sleep(0.02)
        nes.stop()
        del pad
        del nes
    elif scenario == 2:  # released while the run thread steps (the destructor ends it)
        nes.start()
        time.sleep(rng.choice([0, 0.005]))
        del nes
    elif scenario == 3:  # paused while running; the pad goes while still attached
        nes.start()
        nes.setPaused(True)
        del pad
        gc.collect()
        time.sleep(0.005)
        nes.setPaused(False)
        nes.stop()
        del nes
    elif scenario == 4:  # saves and loads while running, the pad replaced on the way
        nes.start()
        nes.saveState(0)
        nes.setController(zumbrel.Controller(), 0)
        assert nes.loadState(0) is True
        nes.getAudio()
        nes.stop()
        del nes
    else:  # started and stopped twice, then released with a per-frame function set
        for _ in range(2):
            nes.start()
            time.sleep(0.002)
            nes.stop()
        nes.perFrame(None)
        del nes
    for name, view in views.items():
        assert view.shape == SHAPES[name]
        int(view.sum())  # still readable: the view keeps its console's memory alive
    return views


def test_a_thousand_consoles(roms):
    rom = str(roms / "smoke.nes")
    rng = random.Random(1234)
    kept = []
    for i in range(100):  # warm-up: allocator pools, imports, the save directory
        one_life(rng, rom, i % 6)
    gc.collect()
    before = resident_kib()
    for i in range(900):
        views = one_life(rng, rom, i % 6)
        if i % 50 == 0:
            kept.append(views)  # a few views outlive their console for a while
        if i % 100 == 99:
            kept.clear()
    kept.clear()
    gc.collect()
    grown = resident_kib() - before
    print(f"resident memory: {before} KiB after the warm-up, {grown:+} KiB after 900 more consoles")
    # One console is about 0.4 MiB: a leak of one per life would add 350 MiB.
    assert grown < 24 * 1024, f"resident memory grew by {grown} KiB over 900 consoles"
