#!/usr/bin/env python3
"""zumbrel benchmarks: one command, a table, optionally JSON.

For each cartridge: frames per second of runFrame with getImg and getAudio read every
frame (Python, median of 5 runs after a warm-up), the core's frames and emulated CPU
instructions per second (C++, no Python), and the CPU time a console running at real
time on its thread uses (process CPU time as a share of one core, over 20 s unless
--realtime-seconds says otherwise; 2 s with --quick).

    python3 bench/run.py [--json FILE] [--quick] [--realtime-seconds S] [ROM ...]
    python3 bench/run.py --callgrind [ROM ...]
    python3 bench/run.py --versus [--rounds N] [ROM ...]

--callgrind instead counts the host instructions per frame of runFrame under valgrind's
callgrind (frame_cost): a figure that, unlike frames per second, does not move with the load
of a shared machine. The main window is frames 420-1420, past start-up with the screen full;
frames 120-420 follow as a second column, and stable-retro's step() over frames 420-1420 as a
third when stable_retro can be imported.

--versus instead measures frames per CPU-second of runFrame beside stable-retro's step(), each
in its own process (bench/peer_frames.py), alternated round by round, and prints each round's
ratio and their median.

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


# Frame windows (first frame counted, frames counted) of the callgrind columns.
MAIN_WINDOW = (420, 1000)
START_WINDOW = (120, 300)
PEER_FRAMES = ROOT / "bench" / "peer_frames.py"


def collected(command):
    """The instructions callgrind counted, from its summary line."""
    result = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"] + command,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, check=True,
                            env=peer_environment())
    return next(int(line.split(":")[-1]) for line in result.stderr.splitlines() if "Collected :" in line)


def zumbrel_per_frame(rom, window):
    warmup, frames = window
    command = ["--toggle-collect=*measured_frames*", str(BUILD / "bench" / "frame_cost"), str(rom), str(frames),
               str(warmup)]
    return collected(command) / frames


def retro_per_frame(rom, window):
    warmup, frames = window
    command = ["--instr-atstart=no", "--toggle-collect=retro_run", sys.executable, str(PEER_FRAMES), "stable-retro",
               str(rom), str(warmup), str(frames), "--callgrind"]
    return collected(command) / frames


def have_retro():
    try:
        import stable_retro  # noqa: F401
    except ImportError:
        return False
    return True


def peer_environment():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(BUILD / "src" / "binding"), env.get("PYTHONPATH", "")])
    return env


def callgrind_figures(roms):
    """Host instructions per frame, counted by callgrind, by cartridge and column."""
    figures = {}
    retro = have_retro()
    for rom in roms:
        figures[rom.name] = {"zumbrel_420_1420": zumbrel_per_frame(rom, MAIN_WINDOW),
                             "zumbrel_120_420": zumbrel_per_frame(rom, START_WINDOW)}
        if retro:
            figures[rom.name]["stable_retro_420_1420"] = retro_per_frame(rom, MAIN_WINDOW)
    return figures


def print_callgrind(figures):
    print(f"{'cartridge':<28} {'frames 420-1420':>16} {'frames 120-420':>15} {'stable-retro':>13} {'ratio':>6}")
    for name, f in figures.items():
        retro = f.get("stable_retro_420_1420")
        main = f["zumbrel_420_1420"]
        retro_text = f"{retro:>13,.0f} {retro / main:>5.2f}x" if retro else f"{'-':>13} {'-':>6}"
        print(f"{name:<28} {main:>16,.0f} {f['zumbrel_120_420']:>15,.0f} {retro_text}")


def peer_fps(emulator, rom, warmup, frames):
    result = subprocess.run([sys.executable, str(PEER_FRAMES), emulator, str(rom), str(warmup), str(frames)],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, check=True,
                            env=peer_environment())
    return json.loads(result.stdout.strip().splitlines()[-1])["fps"]


def versus(roms, rounds, frames):
    """Frames per CPU-second of zumbrel and stable-retro, alternated round by round."""
    results = {}
    for rom in roms:
        ratios = []
        for r in range(rounds):
            order = ["zumbrel", "stable-retro"] if r % 2 == 0 else ["stable-retro", "zumbrel"]
            fps = {emulator: peer_fps(emulator, rom, MAIN_WINDOW[0], frames) for emulator in order}
            ratios.append(fps["zumbrel"] / fps["stable-retro"])
            print(f"{rom.name:<28} round {r + 1}: zumbrel {fps['zumbrel']:8.1f} fps, "
                  f"stable-retro {fps['stable-retro']:8.1f} fps, {ratios[-1]:.2f}x", flush=True)
        results[rom.name] = {"ratios": ratios, "median": statistics.median(ratios)}
    print(f"{'cartridge':<28} {'median':>7} {'lowest':>7} {'highest':>8}")
    for name, r in results.items():
        print(f"{name:<28} {r['median']:>6.2f}x {min(r['ratios']):>6.2f}x {max(r['ratios']):>7.2f}x")
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("roms", nargs="*")
    parser.add_argument("--json", help="also write the results to this file")
    parser.add_argument("--quick", action="store_true", help="fewer frames and a shorter real-time run")
    parser.add_argument("--callgrind", action="store_true", help="host instructions per frame under callgrind")
    parser.add_argument("--versus", action="store_true", help="frames per CPU-second beside stable-retro")
    parser.add_argument("--rounds", type=int, default=5, help="rounds of --versus (default 5)")
    parser.add_argument("--realtime-seconds", type=float,
                        help="length of the real-time CPU measurement per cartridge (default 20, 2 with --quick)")
    args = parser.parse_args()

    build()
    if args.callgrind:
        roms = [pathlib.Path(r) for r in args.roms] or default_roms()
        figures = callgrind_figures(roms)
        print_callgrind(figures)
        if args.json:
            pathlib.Path(args.json).write_text(json.dumps({"time": time.time(), "callgrind": figures}, indent=2))
        return
    if args.versus:
        if not have_retro():
            sys.exit("--versus needs stable-retro: pip install stable-retro (into a benchmark venv)")
        roms = [pathlib.Path(r) for r in args.roms] or default_roms()
        results = versus(roms, args.rounds, 120 if args.quick else 600)
        if args.json:
            pathlib.Path(args.json).write_text(json.dumps({"time": time.time(), "versus": results}, indent=2))
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
