"""The run thread: pacing to real time, pause, the per-frame function, stopping safely."""
import threading
import time

import pytest
import zumbrel

CLOCK = 1789773
pytestmark = pytest.mark.timeout(60)


def wait_until(predicate, seconds=10.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.01)
    return False


def rate(nes, seconds):
    """Emulated cycles per wall-clock second over an interval."""
    c0, t0 = nes.cycleCount(), time.monotonic()
    time.sleep(seconds)
    c1, t1 = nes.cycleCount(), time.monotonic()
    return (c1 - c0) / (t1 - t0)


# The bounds below only tell pacing from its absence, wide enough for a loaded machine or a
# sanitizer build; bench/run_thread_rates.py measures how close to real time the thread runs.

def test_paced_thread_keeps_to_real_time(roms):
    nes = zumbrel.NES(str(roms / "smoke.nes"))
    nes.start()
    try:
        r = rate(nes, 1.0)
    finally:
        nes.stop()
    assert 0.2 * CLOCK < r < 1.3 * CLOCK


def test_clock_speed_zero_runs_unpaced(roms):
    nes = zumbrel.NES(str(roms / "smoke.nes"), CLOCK_SPEED=0)
    t0 = time.monotonic()
    nes.start()
    try:
        # Four emulated seconds in less wall time than that; paced, it would take four.
        assert wait_until(lambda: nes.cycleCount() >= 4 * CLOCK, seconds=30)
    finally:
        nes.stop()
    assert time.monotonic() - t0 < 4 * 0.9


def test_pause_holds_time_and_resume_does_not_catch_up(roms):
    nes = zumbrel.NES(str(roms / "smoke.nes"))
    nes.start()
    try:
        time.sleep(0.2)
        nes.setPaused(True)
        nes.setPaused(True)  # the same state again changes nothing
        time.sleep(0.1)
        held = nes.cycleCount(), nes.frameCount()
        time.sleep(1.0)
        assert (nes.cycleCount(), nes.frameCount()) == held
        nes.setPaused(False)
        nes.setPaused(False)
        # Catching up the paused second would show as three times real time here.
        assert rate(nes, 0.5) < 1.5 * CLOCK
    finally:
        nes.stop()


def test_start_measures_from_the_cycles_it_finds(roms):
    nes = zumbrel.NES(str(roms / "smoke.nes"))
    for _ in range(120):  # two seconds of emulated time before the start
        nes.runFrame()
    frames = nes.frameCount()
    nes.start()
    try:
        # Sleeping to let wall time catch up first would show no frame for two seconds.
        assert wait_until(lambda: nes.frameCount() >= frames + 6, seconds=1.5)
    finally:
        nes.stop()


def test_per_frame_function_runs_on_the_run_thread(roms):
    nes = zumbrel.NES(str(roms / "smoke.nes"))
    seen = []
    nes.start()
    try:
        time.sleep(0.2)
        nes.perFrame(lambda: seen.append((threading.get_ident(), nes.frameCount())))
        assert wait_until(lambda: len(seen) >= 10)
    finally:
        nes.stop()
    threads = {ident for ident, _ in seen}
    assert threads and threading.get_ident() not in threads
    frames = [frame for _, frame in seen]
    assert frames == sorted(frames) and len(set(frames)) == len(frames)


def test_second_start_is_refused(roms):
    nes = zumbrel.NES(str(roms / "smoke.nes"))
    nes.start()
    try:
        with pytest.raises(RuntimeError):
            nes.start()
        with pytest.raises(RuntimeError):
            nes.runFrame()  # two threads must never step one machine
    finally:
        nes.stop()
    nes.stop()  # twice is harmless
    nes.start()  # a stopped console starts again
    nes.stop()


def test_stop_without_start_returns():
    nes = zumbrel.NES()
    nes.stop()
    nes.stop()


def test_stop_does_not_deadlock_with_a_callback_waiting_for_the_lock(roms):
    nes = zumbrel.NES(str(roms / "smoke.nes"), CLOCK_SPEED=0)
    calls = []

    def slow():
        calls.append(1)
        time.sleep(0.002)  # holds and releases the interpreter lock

    nes.perFrame(slow)
    nes.start()
    assert wait_until(lambda: len(calls) > 5)
    nes.stop()
    n = len(calls)
    time.sleep(0.2)
    assert len(calls) == n


def test_stop_from_the_callback_ends_the_thread(roms):
    nes = zumbrel.NES(str(roms / "smoke.nes"), CLOCK_SPEED=0)
    calls = []

    def once():
        calls.append(1)
        nes.stop()

    nes.perFrame(once)
    nes.start()
    assert wait_until(lambda: calls)
    time.sleep(0.2)
    assert len(calls) == 1
    nes.start()  # it can be started again afterwards
    assert wait_until(lambda: len(calls) == 2)
    nes.stop()


def test_raising_callback_is_reported_and_stops_the_thread(roms, capfd):
    nes = zumbrel.NES(str(roms / "smoke.nes"), CLOCK_SPEED=0)

    def boom():
        raise ValueError("boom from the frame")

    def stopped():
        before = nes.cycleCount()
        time.sleep(0.05)
        return nes.cycleCount() == before

    nes.perFrame(boom)
    nes.start()
    assert wait_until(stopped)
    nes.stop()
    err = capfd.readouterr().err
    assert "Traceback" in err and "ValueError: boom from the frame" in err


def test_raising_callback_reaches_run_frame(roms):
    nes = zumbrel.NES(str(roms / "smoke.nes"))

    def boom():
        raise KeyError("frame")

    nes.perFrame(boom)
    with pytest.raises(KeyError):
        nes.runFrame()
    nes.perFrame(None)
    with pytest.raises(RuntimeError):
        nes.runFrame()


def test_destroying_a_running_console(roms):
    for _ in range(5):
        nes = zumbrel.NES(str(roms / "smoke.nes"), CLOCK_SPEED=0)
        nes.perFrame(lambda: None)
        nes.start()
        time.sleep(0.05)
        del nes


@pytest.mark.parametrize("rom", ["smoke.nes", "speed_waits.nes"])  # the latter waits in loops
def test_slow_clock_advances_smoothly(roms, rom):
    # At 10000 cycles a second a frame lasts three seconds: the thread keeps close to the wall
    # clock within the frame rather than running a whole frame ahead of it.
    nes = zumbrel.NES(str(roms / rom), CLOCK_SPEED=10000)
    nes.start()
    try:
        assert wait_until(lambda: nes.cycleCount() > 0)
        time.sleep(0.3)
        cycles = nes.cycleCount()
    finally:
        nes.stop()
    assert 0 < cycles < 29781 // 3
