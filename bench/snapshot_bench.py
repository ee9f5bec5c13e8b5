#!/usr/bin/env python3
"""Snapshot round trips in memory against the save-state slot files, and against the peers'
in-memory states (cynes save()/load(), nes-py's _backup()/_restore()) when they are installed.

    python3 bench/snapshot_bench.py [ROM ...]    (default: the public demo and mapper cartridges)

Each figure is the median of several runs, in microseconds per round trip; the machine is
shared, so read them as orders of magnitude, not to the last digit.
"""
import os
import pathlib
import statistics
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
SHARED = ROOT.parent / "shared" / "testroms"
DEFAULT_ROMS = ["demos/nes15-NTSC.nes", "demos/ny2011.nes", "mappers/smwstomp.nes", "mappers/scroll.nes"]


def per_call_us(fn, calls, runs=7):
    samples = []
    for _ in range(runs):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        samples.append((time.perf_counter() - start) / calls * 1e6)
    return statistics.median(samples)


def quiet_console(path):
    import zumbrel
    fd = os.dup(1)
    try:  # the module's start-up lines go to the C standard output
        with open(os.devnull, "w") as null:
            os.dup2(null.fileno(), 1)
            nes = zumbrel.NES(str(path), 0)
            for _ in range(60):
                nes.runFrame()
    finally:
        os.dup2(fd, 1)
        os.close(fd)
    return nes


def zumbrel_figures(path):
    from zumbrel_tools import restore, snapshot
    nes = quiet_console(path)
    state = snapshot(nes)
    memory = per_call_us(lambda: restore(nes, snapshot(nes)), 2000)
    take = per_call_us(lambda: snapshot(nes), 2000)
    put = per_call_us(lambda: restore(nes, state), 2000)

    def slot():
        nes.saveState(1)
        nes.loadState(1)
    slot_us = per_call_us(slot, 20, runs=5)
    return len(state), memory, take, put, slot_us


def cynes_figures(path):
    try:
        import cynes
    except ImportError:
        return None
    nes = cynes.NES(str(path))
    for _ in range(60):
        nes.step()
    state = nes.save()
    return state.nbytes, per_call_us(lambda: nes.load(nes.save()), 2000)


def nes_py_figures(path):
    try:
        import warnings
        warnings.simplefilter("ignore")
        from nes_py import NESEnv
    except ImportError:
        return None
    try:
        env = NESEnv(str(path))
    except Exception as error:  # a board it does not support
        return f"not loaded: {error}"
    env.reset()
    for _ in range(60):
        env.step(0)

    def round_trip():
        env._backup()
        env._restore()
    return per_call_us(round_trip, 2000)


def main():
    roms = [pathlib.Path(p) for p in sys.argv[1:]] or [SHARED / r for r in DEFAULT_ROMS if (SHARED / r).exists()]
    if not roms:
        print("no cartridges given and ../shared/testroms not found", file=sys.stderr)
        return 1
    os.environ["HOME"] = tempfile.mkdtemp(prefix="zumbrel-bench-home-")  # slot files go here
    for path in roms:
        size, memory, take, put, slot = zumbrel_figures(path)
        print(f"{path.name}: zumbrel snapshot {size} bytes; round trip {memory:.1f} us "
              f"(snapshot {take:.1f}, restore {put:.1f}); slot file round trip {slot:.0f} us = {slot / memory:.0f}x")
        peers = cynes_figures(path)
        if peers is not None:
            print(f"    cynes save()/load(): {peers[0]} bytes, {peers[1]:.1f} us per round trip")
        nes_py = nes_py_figures(path)
        if nes_py is not None:
            figure = nes_py if isinstance(nes_py, str) else f"{nes_py:.1f} us per round trip (in place, no bytes)"
            print("    nes-py _backup()/_restore(): " + figure)
    return 0


if __name__ == "__main__":
    sys.exit(main())
