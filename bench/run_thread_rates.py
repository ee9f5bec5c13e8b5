#!/usr/bin/env python3
"""How closely the run thread keeps to real time, what that costs, and how fast it runs unpaced.

    python3 bench/run_thread_rates.py [--seconds S] [--module-dir DIR] [ROM]
        (default ROM: the built-in demo cartridge)

Prints, for one cartridge in one run:
  - the paced thread's emulated speed as a share of the NTSC clock and its frames per second
    over S seconds (default 20), with the process CPU time it took as a share of one core;
  - what a pause holds, and the speed right after a resume (a thread that caught up the paused
    time would show far above 100 %);
  - runFrame's frames per second (getImg and getAudio read every frame) beside the unpaced
    thread's (CLOCK_SPEED=0), both per second of wall time and per second of process CPU time
    (the latter holds on a shared machine where the scheduler takes turns).
Uses the installed module, or the one in --module-dir. The tests only tell pacing from its
absence; the figures live here.
"""
import argparse
import contextlib
import os
import pathlib
import statistics
import sys
import time

CLOCK = 1789773
DEMO = pathlib.Path(__file__).resolve().parents[1] / "python" / "zumbrel_tools" / "data" / "zumbrel-demo.nes"


@contextlib.contextmanager
def quiet_stdout():
    """The console prints its own lines on file descriptor 1: send them away meanwhile."""
    saved = os.dup(1)
    with open(os.devnull, "w") as devnull:
        os.dup2(devnull.fileno(), 1)
        try:
            yield
        finally:
            os.dup2(saved, 1)
            os.close(saved)


def window(nes, seconds):
    """Emulated cycles and frames per wall second, and process CPU seconds per wall second."""
    c0, f0, t0, p0 = nes.cycleCount(), nes.frameCount(), time.monotonic(), time.process_time()
    time.sleep(seconds)
    c1, f1, t1, p1 = nes.cycleCount(), nes.frameCount(), time.monotonic(), time.process_time()
    return (c1 - c0) / (t1 - t0), (f1 - f0) / (t1 - t0), (p1 - p0) / (t1 - t0)


def paced(zumbrel, rom, seconds):
    """Lines describing the paced thread: speed and CPU share, a pause, the resume."""
    nes = zumbrel.NES(rom)
    nes.start()
    time.sleep(0.5)
    cycles, fps, cpu = window(nes, seconds)
    lines = [f"paced:     {100 * cycles / CLOCK:6.2f} % of the NTSC clock, {fps:6.2f} frames/s, "
             f"{100 * cpu:5.2f} % of a core (process CPU time over {seconds:g} s)"]
    nes.setPaused(True)
    time.sleep(0.1)
    held = nes.cycleCount()
    _, _, cpu = window(nes, 2.0)
    lines.append(f"paused:    {nes.cycleCount() - held} cycles advanced in 2 s, {100 * cpu:5.2f} % of a core")
    nes.setPaused(False)
    cycles, _, _ = window(nes, 1.0)
    lines.append(f"resumed:   {100 * cycles / CLOCK:6.2f} % of the NTSC clock over the first second")
    nes.stop()
    return lines


def runframe_rates(zumbrel, rom, frames=600, runs=5):
    """Median frames per wall second and per CPU second of runFrame with getImg and getAudio."""
    nes = zumbrel.NES(rom, CLOCK_SPEED=0)
    for _ in range(120):
        nes.runFrame()
    wall, cpu = [], []
    for _ in range(runs):
        t0, p0 = time.perf_counter(), time.process_time()
        for _ in range(frames):
            nes.runFrame()
            nes.getImg()
            nes.getAudio()
        wall.append(frames / (time.perf_counter() - t0))
        cpu.append(frames / (time.process_time() - p0))
    return statistics.median(wall), statistics.median(cpu)


def thread_rates(zumbrel, rom, seconds=3.0):
    """Frames per wall second and per CPU second of the unpaced run thread."""
    nes = zumbrel.NES(rom, CLOCK_SPEED=0)
    nes.start()
    try:
        time.sleep(0.5)
        _, fps, cpu = window(nes, seconds)
    finally:
        nes.stop()
    return fps, fps / cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("rom", nargs="?", default=str(DEMO))
    parser.add_argument("--seconds", type=float, default=20.0, help="length of the paced measurement")
    parser.add_argument("--module-dir", help="import zumbrel from this folder first")
    args = parser.parse_args()
    if args.module_dir:
        sys.path.insert(0, args.module_dir)
    import zumbrel

    print(f"module:    {zumbrel.__file__}\ncartridge: {args.rom}", flush=True)
    with quiet_stdout():
        lines = paced(zumbrel, args.rom, args.seconds)
        framed_wall, framed_cpu = runframe_rates(zumbrel, args.rom)
        thread_wall, thread_cpu = thread_rates(zumbrel, args.rom)
    print("\n".join(lines))
    print(f"{'frames/s':<10} {'runFrame':>10} {'unpaced thread':>15}")
    print(f"{'wall':<10} {framed_wall:>10.0f} {thread_wall:>15.0f}")
    print(f"{'CPU':<10} {framed_cpu:>10.0f} {thread_cpu:>15.0f}")


if __name__ == "__main__":
    main()
