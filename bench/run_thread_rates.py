#!/usr/bin/env python3
"""How closely the run thread keeps to real time, and how fast it runs unpaced.

    python3 bench/run_thread_rates.py [ROM]      (default: the built-in demo cartridge)

Prints the paced thread's emulated speed as a share of the NTSC clock over a few seconds, its
frames per second, what a pause holds, the speed right after a resume (a thread that caught up
the paused time would show far above 100 %), and the unpaced thread's frames per second. Uses
the installed module. The tests only tell pacing from its absence; the figures live here.
"""
import pathlib
import sys
import time

import zumbrel

CLOCK = 1789773
DEMO = pathlib.Path(__file__).resolve().parents[1] / "python" / "zumbrel_tools" / "data" / "zumbrel-demo.nes"


def window(nes, seconds):
    c0, f0, t0 = nes.cycleCount(), nes.frameCount(), time.monotonic()
    time.sleep(seconds)
    c1, f1, t1 = nes.cycleCount(), nes.frameCount(), time.monotonic()
    return (c1 - c0) / (t1 - t0), (f1 - f0) / (t1 - t0)


def main():
    rom = sys.argv[1] if len(sys.argv) > 1 else str(DEMO)
    nes = zumbrel.NES(rom)
    nes.start()
    time.sleep(0.5)
    cycles, fps = window(nes, 3.0)
    print(f"paced:    {100 * cycles / CLOCK:6.2f} % of the NTSC clock, {fps:6.2f} frames/s")
    nes.setPaused(True)
    time.sleep(0.1)
    held = nes.cycleCount()
    time.sleep(2.0)
    print(f"paused:   {nes.cycleCount() - held} cycles advanced in 2 s")
    nes.setPaused(False)
    cycles, fps = window(nes, 1.0)
    print(f"resumed:  {100 * cycles / CLOCK:6.2f} % of the NTSC clock over the first second")
    nes.stop()

    fast = zumbrel.NES(rom, CLOCK_SPEED=0)
    fast.start()
    time.sleep(0.5)
    cycles, fps = window(fast, 3.0)
    fast.stop()
    print(f"unpaced:  {fps:8.1f} frames/s ({cycles / CLOCK:.1f}x real time)")


if __name__ == "__main__":
    main()
