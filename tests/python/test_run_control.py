"""Run control under hostile interleavings: start, stop, runFrame, saves and loads from
several threads, per-frame functions that stop, restart or save consoles, interpreter exit
and fork. Each case runs in its own interpreter with a deadline, so a deadlock fails the case
(and a crash shows as its exit status) instead of stopping the suite."""
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.timeout(300)

PRELUDE = """
import os, sys, threading, time
import zumbrel
ROM = sys.argv[1]
BATTERY_ROM = sys.argv[2]
def for_a_while(seconds, body):
    end = time.monotonic() + seconds
    n = 0
    while time.monotonic() < end:
        body(n)
        n += 1
    return n
def join_all(threads, seconds=60):
    for t in threads:
        t.join(seconds)
        assert not t.is_alive(), "a thread is stuck"
def refused(call, *args):
    try:
        call(*args)
        return False
    except RuntimeError:
        return True
"""

CASES = {
    # The per-frame function ends the game and gives the interpreter lock away; the main
    # thread starts the console again meanwhile.
    "stop in the frame, start from outside": """
        nes = zumbrel.NES(ROM, CLOCK_SPEED=0)
        frames = []
        def game_over():
            frames.append(1)
            if len(frames) % 3 == 0:
                nes.stop()
                time.sleep(0.001)
        nes.perFrame(game_over)
        starts = for_a_while(3, lambda n: (refused(nes.start), time.sleep(0.0005)))
        nes.stop()
        assert len(frames) > 30, len(frames)
    """,
    # The per-frame function restarts its own console again and again.
    "restart from the frame": """
        nes = zumbrel.NES(ROM, CLOCK_SPEED=0)
        frames = []
        def restart():
            frames.append(1)
            nes.stop()
            time.sleep(0.0005)
            nes.start()
        nes.perFrame(restart)
        nes.start()
        for_a_while(3, lambda n: time.sleep(0.01))
        nes.stop()
        assert len(frames) > 30, len(frames)
    """,
    # One thread starts and stops, another steps whenever the console is not running.
    "runFrame against start and stop": """
        nes = zumbrel.NES(ROM, CLOCK_SPEED=0)
        calls = []
        nes.perFrame(lambda: (calls.append(1), time.sleep(0.0001)))  # the ending thread's last step lasts
        done = threading.Event()
        stepped = []
        def toggler():
            # start is refused while runFrame steps on the other thread
            for_a_while(3, lambda n: (refused(nes.start), time.sleep(0.0002 * (n % 5)), nes.stop()))
            done.set()
        def stepper():
            while not done.is_set():
                if not refused(nes.runFrame):
                    stepped.append(1)
        threads = [threading.Thread(target=toggler), threading.Thread(target=stepper)]
        [t.start() for t in threads]
        join_all(threads)
        assert stepped, "runFrame never got a turn"
        assert len(calls) == nes.frameCount(), "two threads stepped at once"
    """,
    # Saves and loads racing starts, two stoppers at once, pads and per-frame functions
    # replaced throughout.
    "every call against start and stop": """
        nes = zumbrel.NES(BATTERY_ROM, CLOCK_SPEED=0)
        nes.saveState(0)
        done = threading.Event()
        def loop(body):
            def run():
                n = 0
                while not done.is_set():
                    body(n)
                    n += 1
            return threading.Thread(target=run)
        def save_load(n):
            nes.saveState(n % 2)
            assert nes.loadState(n % 2)
        def pads(n):
            nes.setController(zumbrel.Controller(), n % 2)
            nes.perFrame(None if n % 7 == 0 else (lambda: None))
            nes.perFrame(lambda: None)
        threads = [loop(lambda n: refused(nes.start)), loop(lambda n: nes.stop()), loop(lambda n: nes.stop()),
                   loop(save_load), loop(pads), loop(lambda n: refused(nes.runFrame))]
        [t.start() for t in threads]
        time.sleep(3)
        done.set()
        join_all(threads)
        nes.stop()
        nes.runFrame()
    """,
    # Two consoles whose per-frame functions save each other: neither waits for the other's
    # thread to finish its per-frame function.
    "two consoles saving each other": """
        a, b = zumbrel.NES(ROM, CLOCK_SPEED=0), zumbrel.NES(ROM, CLOCK_SPEED=0)
        saves = {"a": 0, "b": 0}
        def saver(name, other):
            def frame():
                other.saveState(1)
                assert other.loadState(1)
                saves[name] += 1
            return frame
        a.perFrame(saver("a", b))
        b.perFrame(saver("b", a))
        a.start(); b.start()
        for_a_while(2, lambda n: time.sleep(0.01))
        a.stop(); b.stop()
        assert saves["a"] > 10 and saves["b"] > 10, saves
    """,
    # A child forked while the run thread runs has no run thread: its saves and loads work.
    "fork with a running thread": """
        nes = zumbrel.NES(ROM, CLOCK_SPEED=0)
        nes.start()
        for round in range(5):
            time.sleep(0.02)
            pid = os.fork()
            if pid == 0:
                nes.saveState(3)
                ok = nes.loadState(3)
                nes.runFrame()
                nes.start(); nes.stop()
                os._exit(0 if ok else 3)
            end = time.monotonic() + 30
            while True:
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    break
                if time.monotonic() > end:
                    os.kill(pid, 9)
                    raise AssertionError("the child hung")
                time.sleep(0.01)
            assert os.waitstatus_to_exitcode(status) == 0, status
        nes.stop()
    """,
}


def run_python(code, roms, timeout):
    script = PRELUDE + textwrap.dedent(code)
    args = [sys.executable, "-c", script, str(roms / "smoke.nes"), str(roms / "battery.nes")]
    try:
        return subprocess.run(args, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as hang:
        pytest.fail(f"hung for {timeout} s; its errors so far:\n{(hang.stderr or b'').decode()[-3000:]}")


@pytest.mark.parametrize("case", list(CASES))
def test_race(case, roms):
    result = run_python(CASES[case], roms, timeout=120)
    assert result.returncode == 0, result.stderr[-3000:]


EXIT_WITHOUT_STOP = """
    nes = zumbrel.NES(BATTERY_ROM, CLOCK_SPEED=0)
    frames = []
    nes.perFrame(lambda: frames.append(len(frames)))
    nes.start()
    while len(frames) < 3:
        time.sleep(0.001)
    print("RAM", nes.cpuMem()[0x6000])
"""


def test_interpreter_exit_with_a_running_console(roms, home):
    """The run thread is stopped before the interpreter goes away, and the battery RAM is kept."""
    ram = home / ".config" / "Quorvali" / "battery" / "ram"
    for run in range(50):
        result = run_python(EXIT_WITHOUT_STOP, roms, timeout=60)
        assert result.returncode == 0, f"run {run}: {result.stderr[-3000:]}"
        assert ram.stat().st_size == 8192
        assert ram.read_bytes()[0] == run + 1  # the program counts its power-ons in $6000
