#!/usr/bin/env python3
"""zumbrel benchmarks: one command, a table, optionally JSON.

For each cartridge: frames per second of runFrame with getImg and getAudio read every
frame (Python, median of 5 runs after a warm-up), the core's frames and emulated CPU
instructions per second (C++, no Python), and the CPU time a console running at real
time on its thread uses (process CPU time as a share of one core, over 20 s unless
--realtime-seconds says otherwise; 2 s with --quick).

    python3 bench/run.py [--json FILE] [--quick] [--realtime-seconds S] [ROM ...]
    python3 bench/run.py --callgrind [ROM ...]

--callgrind instead counts the host instructions per frame of runFrame under valgrind's
callgrind (frame_cost; 300 frames after a warm-up of 120): a figure that, unlike frames per
second, does not move with the load of a shared machine.

Without ROM arguments it uses our test programs and the public cartridges in
../shared/testroms when present. It builds what it needs under build/bench.
"""
import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = ROOT / "build" / "bench"
SHARED = ROOT.parent / "shared" / "testroms"
DEFAULT_SHARED = [
    "demos/spritecans.nes",
    "demos/nes15-NTSC.nes",
    "mappers/240pee.nes",
    "mappers/CMC80s.NES",
    "mappers/scroll.nes",
    "mappers/smwstomp.nes",
    "cpu/instr_test-v5/official_only.nes",
]


def build():
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(BUILD), "-DZUMBREL_BENCH=ON", "-DZUMBREL_TESTS=ON",
                    "-DZUMBREL_PYTHON=ON", "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(BUILD), "-j2", "--target", "core_bench", "frame_cost", "zumbrel",
                    "test_roms"], check=True, stdout=subprocess.DEVNULL)
    sys.path.insert(0, str(BUILD / "src" / "binding"))


def default_roms():
    roms = [BUILD / "tests" / "roms" / "smoke.nes"]
    roms += [SHARED / r for r in DEFAULT_SHARED if (SHARED / r).exists()]
    return roms


def python_fps(zumbrel, rom, frames, runs):
    nes = zumbrel.NES(str(rom), CLOCK_SPEED=0)
    for _ in range(60):
        nes.runFrame()
    results = []
    for _ in range(runs):
        t0 = time.perf_counter()
        for _ in range(frames):
            nes.runFrame()
            nes.getImg()
            nes.getAudio()
        results.append(frames / (time.perf_counter() - t0))
    return statistics.median(results)


def realtime_cpu_share(zumbrel, rom, seconds):
    nes = zumbrel.NES(str(rom))
    nes.start()
    time.sleep(0.5)
    c0, t0 = time.process_time(), time.monotonic()
    time.sleep(seconds)
    c1, t1 = time.process_time(), time.monotonic()
    nes.stop()
    return (c1 - c0) / (t1 - t0)


def core_figures(roms):
    result = subprocess.run([str(BUILD / "bench" / "core_bench")] + [str(r) for r in roms],
                            stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True, check=True)
    figures = {}
    for line in result.stderr.splitlines():
        if line.startswith("{"):
            entry = json.loads(line)
            figures[entry["rom"]] = entry
    return figures


def callgrind_figures(roms, frames=300):
    """Host instructions per frame of runFrame, counted by callgrind."""
    figures = {}
    for rom in roms:
        result = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                                 "--toggle-collect=*measured_frames*", str(BUILD / "bench" / "frame_cost"), str(rom),
                                 str(frames)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, check=True)
        for line in result.stderr.splitlines():
            if "Collected :" in line:
                figures[rom.name] = int(line.split(":")[-1]) / frames
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("roms", nargs="*")
    parser.add_argument("--json", help="also write the results to this file")
    parser.add_argument("--quick", action="store_true", help="fewer frames and a shorter real-time run")
    parser.add_argument("--callgrind", action="store_true", help="host instructions per frame under callgrind")
    parser.add_argument("--realtime-seconds", type=float,
                        help="length of the real-time CPU measurement per cartridge (default 20, 2 with --quick)")
    args = parser.parse_args()

    build()
    if args.callgrind:
        roms = [pathlib.Path(r) for r in args.roms] or default_roms()
        figures = callgrind_figures(roms)
        print(f"{'cartridge':<28} {'instructions/frame':>19}")
        for name, per_frame in figures.items():
            print(f"{name:<28} {per_frame:>19,.0f}")
        if args.json:
            pathlib.Path(args.json).write_text(json.dumps({"time": time.time(), "callgrind": figures}, indent=2))
        return

    with open(os.devnull, "w") as devnull:
        saved = os.dup(1)
        os.dup2(devnull.fileno(), 1)  # the console prints its own lines
        try:
            import zumbrel
            roms = [pathlib.Path(r) for r in args.roms] or default_roms()
            core = core_figures(roms)
            frames = 120 if args.quick else 600
            realtime_seconds = args.realtime_seconds or (2 if args.quick else 20)
            rows = []
            for rom in roms:
                rows.append({
                    "rom": rom.name,
                    "python_fps": round(python_fps(zumbrel, rom, frames, 5), 1),
                    "core_fps": core[str(rom)]["fps"],
                    "instructions_per_second": core[str(rom)]["instructions_per_second"],
                    "realtime_cpu_share": round(realtime_cpu_share(zumbrel, rom, realtime_seconds), 4),
                })
        finally:
            os.dup2(saved, 1)

    header = f"{'cartridge':<28} {'runFrame fps':>13} {'core fps':>10} {'instr/s':>14} {'real-time CPU':>14}"
    print(header)
    print("-" * len(header))
    for r in rows:
        print(f"{r['rom']:<28} {r['python_fps']:>13.1f} {r['core_fps']:>10.1f} "
              f"{r['instructions_per_second']:>14,.0f} {r['realtime_cpu_share']:>13.2%}")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps({"time": time.time(), "results": rows}, indent=2))


if __name__ == "__main__":
    main()
