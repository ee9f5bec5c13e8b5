#!/usr/bin/env python3
"""One emulator, one cartridge, one process: frames per CPU-second after a warm-up.

    python3 bench/peer_frames.py {zumbrel,stable-retro} ROM [WARMUP] [FRAMES] [--callgrind]

Prints {"emulator": ..., "rom": ..., "frames": ..., "fps": ...} on stdout: the frames run
(zumbrel's runFrame, stable-retro's step) over the process CPU time they took. stable-retro
allows one emulator per process and loads only names ending in lower-case ".nes", so each
measurement runs in its own process and the cartridge is reached through such a link.

With --callgrind the process is expected to run under callgrind started with
--instr-atstart=no: the frames after the warm-up are the only ones instrumented.
"""
import argparse
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time


def zumbrel_stepper(rom):
    import zumbrel
    nes = zumbrel.NES(str(rom), CLOCK_SPEED=0)
    return nes.runFrame


def retro_stepper(rom, scratch):
    import stable_retro
    link = pathlib.Path(scratch) / (rom.stem.lower() + ".nes")
    link.symlink_to(rom.resolve())
    emulator = stable_retro.RetroEmulator(str(link))
    return emulator.step


def instrument(on):
    subprocess.run(["callgrind_control", "-i", "on" if on else "off", str(os.getpid())], check=True,
                   stdout=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("emulator", choices=["zumbrel", "stable-retro"])
    parser.add_argument("rom", type=pathlib.Path)
    parser.add_argument("warmup", type=int, nargs="?", default=420)
    parser.add_argument("frames", type=int, nargs="?", default=1000)
    parser.add_argument("--callgrind", action="store_true")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        saved = os.dup(1)
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # the emulators print their own lines
        try:
            step = zumbrel_stepper(args.rom) if args.emulator == "zumbrel" else retro_stepper(args.rom, scratch)
            for _ in range(args.warmup):
                step()
            if args.callgrind:
                instrument(True)
            t0 = time.process_time()
            for _ in range(args.frames):
                step()
            seconds = time.process_time() - t0
            if args.callgrind:
                instrument(False)
        finally:
            os.dup2(saved, 1)
    print(json.dumps({"emulator": args.emulator, "rom": args.rom.name, "frames": args.frames,
                      "fps": args.frames / seconds}))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
