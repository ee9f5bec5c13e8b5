#!/usr/bin/env python3
"""runFrame and the unpaced run thread side by side, in frames per second of CPU time.

    python3 bench/frame_rates.py [--module-dir DIR] ROM...

For each cartridge: runFrame with getImg and getAudio read every frame (median of 5 runs of 600
frames after 300), and a console with CLOCK_SPEED=0 running on its thread for 3 s. Both are
counted against the process's CPU time rather than the wall clock, so the figures hold on a
shared machine where the scheduler takes turns. --module-dir puts another build's module
first on the path, so two builds can be compared in one sitting.
"""
import argparse
import os
import statistics
import sys
import time


def runframe_rate(zumbrel, rom):
    nes = zumbrel.NES(rom, CLOCK_SPEED=0)
    for _ in range(300):
        nes.runFrame()
    rates = []
    for _ in range(5):
        t0 = time.process_time()
        for _ in range(600):
            nes.runFrame()
            nes.getImg()
            nes.getAudio()
        rates.append(600 / (time.process_time() - t0))
    return statistics.median(rates)


def thread_rate(zumbrel, rom):
    nes = zumbrel.NES(rom, CLOCK_SPEED=0)
    nes.start()
    try:
        time.sleep(0.5)
        f0, c0 = nes.frameCount(), time.process_time()
        time.sleep(3)
        f1, c1 = nes.frameCount(), time.process_time()
    finally:
        nes.stop()
    return (f1 - f0) / (c1 - c0)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("roms", nargs="+")
    parser.add_argument("--module-dir", help="import zumbrel from this folder first")
    args = parser.parse_args()
    if args.module_dir:
        sys.path.insert(0, args.module_dir)
    saved = os.dup(1)
    with open(os.devnull, "w") as devnull:
        os.dup2(devnull.fileno(), 1)  # the console prints its own lines
        try:
            import zumbrel
            rows = [(os.path.basename(rom), runframe_rate(zumbrel, rom), thread_rate(zumbrel, rom))
                    for rom in args.roms]
        finally:
            os.dup2(saved, 1)
    print(f"{'cartridge':<28} {'runFrame fps':>13} {'run thread fps':>15}   (frames per CPU second)")
    for name, framed, threaded in rows:
        print(f"{name:<28} {framed:>13.0f} {threaded:>15.0f}")


if __name__ == "__main__":
    main()
