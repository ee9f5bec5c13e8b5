"""Saving, loading and stepping while the run thread runs."""
import os
import threading
import time

import pytest
import zumbrel
from helpers import MEMORY_AT, STATE_SIZE, VIDEO_AT

pytestmark = pytest.mark.timeout(120)


def read_state(nes, slot):
    with open(os.path.join(nes.getSaveDir(), str(slot)), "rb") as f:
        return f.read()


@pytest.fixture
def demo(shared_rom, roms):
    try:
        return str(shared_rom("demos/spritecans.nes"))
    except pytest.skip.Exception:
        return str(roms / "smoke.nes")


def test_run_frame_while_running_steps_nothing(demo):
    nes = zumbrel.NES(demo)
    nes.start()
    try:
        nes.setPaused(True)
        time.sleep(0.05)
        before = nes.cycleCount()
        with pytest.raises(RuntimeError, match="running"):
            nes.runFrame()
        assert nes.cycleCount() == before
    finally:
        nes.stop()
    nes.runFrame()  # fine once stopped


def test_save_and_load_pairs_at_full_speed(demo):
    nes = zumbrel.NES(demo, CLOCK_SPEED=0)
    seen = []
    nes.perFrame(lambda: seen.append(int(nes.getImg()[120, 128].sum())))
    nes.start()
    try:
        for i in range(200):
            slot = i % 4
            nes.saveState(slot)
            assert os.path.getsize(os.path.join(nes.getSaveDir(), str(slot))) == STATE_SIZE
            assert nes.loadState(slot) is True
        assert len(seen) > 0
        # Paused, the machine stands still once a load has parked it: what a load applies
        # is exactly what the file holds.
        nes.setPaused(True)
        for slot in range(4):
            raw = read_state(nes, slot)
            assert nes.loadState(slot)
            assert nes.cpuMem().tobytes() == raw[MEMORY_AT:MEMORY_AT + 65536]
            assert nes.ppuMem().tobytes() == raw[VIDEO_AT:VIDEO_AT + 16384]
            nes.saveState(10 + slot)
            again = read_state(nes, 10 + slot)
            assert again[:MEMORY_AT] == raw[:MEMORY_AT]  # P, A, X, Y, SP and PC as loaded
            assert again[MEMORY_AT:] == raw[MEMORY_AT:]
    finally:
        nes.stop()


def test_counters_move_forward_while_read_from_another_thread(demo):
    nes = zumbrel.NES(demo, CLOCK_SPEED=0)
    nes.start()
    try:
        last_c, last_f = 0, 0
        for _ in range(20000):
            c, f = nes.cycleCount(), nes.frameCount()
            assert c >= last_c and f >= last_f
            last_c, last_f = c, f
    finally:
        nes.stop()
    assert last_c > 0


def test_per_frame_function_may_save_and_load(demo):
    nes = zumbrel.NES(demo, CLOCK_SPEED=0)
    done = threading.Event()
    count = []

    def frame():
        if len(count) < 20:
            nes.saveState(1)
            nes.loadState(1)
            count.append(1)
        else:
            done.set()

    nes.perFrame(frame)
    nes.start()
    try:
        assert done.wait(30)
    finally:
        nes.stop()
    assert len(count) == 20
