#!/usr/bin/env python3
"""Agent-side throughput: the single environment against nes-py's environment and cynes on
the same cartridges, the vector environment with 1 and 2 threads, and the time a step spends
outside emulation.

    python3 bench/rl_envs.py [--quick] [--json FILE] [ROM ...]

Needs zumbrel installed with the rl extra, and for the comparison nes-py and cynes from PyPI
(benchmark only; missing ones are left out of the table). Every figure is the median of
several runs; CPU time (process_time) is given beside wall time because a shared machine's
load moves wall time a lot. Thread scaling can only be seen in wall time: its runs are
interleaved, the best run is given beside the median (the best is what the machine gives when
no other process takes a core), and the same consoles stepped bare by the pool, with the same
outputs, show the ceiling the machine allows at that moment; "on C cores" is the CPU time of the
two-thread runs over their wall time, what the machine gave them. Timed loops drop what each step
returns, as a training loop does: keeping every observation would time the allocation of
fresh memory, not the environment.
"""
import argparse
import json
import os
import pathlib
import statistics
import sys
import time
import warnings

import numpy as np
import zumbrel_tools
from zumbrel_tools.batch import StepPool

ROOT = pathlib.Path(__file__).resolve().parents[1]
SHARED = ROOT.parent / "shared" / "testroms"
DEFAULT_ROMS = [pathlib.Path(zumbrel_tools.DEMO_ROM), SHARED / "demos" / "spritecans.nes",
                SHARED / "demos" / "SimpleParallaxDemo.nes"]


def timed(run, repeats):
    """Median wall and CPU seconds of run() over `repeats` runs after one warm-up."""
    run()
    walls, cpus = [], []
    for _ in range(repeats):
        w, c = time.perf_counter(), time.process_time()
        run()
        walls.append(time.perf_counter() - w)
        cpus.append(time.process_time() - c)
    return statistics.median(walls), statistics.median(cpus)


def repeat(step, steps):
    """A run of `steps` calls of step(), dropping what they return."""
    def run():
        for _ in range(steps):
            step()
    return run


def rate(count, seconds):
    return count / seconds if seconds > 0 else float("inf")


# --- single environments, one frame per step, RGB pictures ---------------------------------

def zumbrel_single(rom, steps):
    import gymnasium

    env = gymnasium.make("zumbrel/NES-v0", rom=str(rom), obs_type="rgb", frameskip=1, max_pool=False)
    env.reset(seed=0)
    action = np.zeros(8, np.int8)
    return repeat(lambda: env.step(action), steps)


def nes_py_single(rom, steps):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        import nes_py._rom as rom_module
        from nes_py import NESEnv
    # nes-py 8.2 multiplies header bytes as NumPy uint8, which NumPy 2 refuses to overflow.
    rom_module.ROM.prg_rom_size = property(lambda self: 16 * int(self.header[4]))
    rom_module.ROM.chr_rom_size = property(lambda self: 8 * int(self.header[5]))
    env = NESEnv(str(rom))
    env.reset()
    return repeat(lambda: env.step(0), steps)


def cynes_single(rom, steps):
    from cynes import NES

    nes = NES(str(rom))
    return repeat(lambda: nes.step(1), steps)


PEERS = {"zumbrel env": zumbrel_single, "nes-py env": nes_py_single, "cynes (raw)": cynes_single}


def compare_single(roms, steps, repeats):
    rows = []
    for rom in roms:
        row = {"rom": rom.name}
        for name, make in PEERS.items():
            try:
                run = make(rom, steps)
            except Exception as e:  # a peer without this board, or not installed
                row[name] = f"n/a ({type(e).__name__})"
                continue
            wall, cpu = timed(run, repeats)
            row[name] = {"wall": rate(steps, wall), "cpu": rate(steps, cpu)}
        rows.append(row)
    return rows


# --- vector environment ----------------------------------------------------------------------

def make_vec(rom, count, threads, obs_type="rgb", **kwargs):
    import gymnasium

    env = gymnasium.make_vec("zumbrel/NES-v0", num_envs=count, vectorization_mode="vector_entry_point",
                             num_threads=threads, rom=str(rom), obs_type=obs_type, frameskip=4, **kwargs)
    env.reset(seed=0)
    return env


def vector_throughput(rom, counts, steps, repeats):
    """Wall time of vector steps with 1 and 2 threads, and of the pool stepping the same consoles
    bare (pictures and RAM into arrays made once): the ceiling of the environment's scaling."""
    rows = []
    for count in counts:
        n = max(5, steps // count)
        runs, envs = {}, []
        for threads in (1, 2):
            env = make_vec(rom, count, threads)
            envs.append(env)
            actions = np.zeros((count, 8), np.int8)
            pool, buttons = StepPool(threads), np.zeros(count, np.uint8)
            pictures, ram = np.zeros((count, 240, 256, 3), np.uint8), np.zeros((count, 2048), np.uint8)
            consoles = env.unwrapped.consoles
            runs["env", threads] = repeat(lambda env=env, a=actions: env.step(a), n)
            runs["bare", threads] = repeat(lambda p=pool, c=consoles, b=buttons, pi=pictures, r=ram:
                                           p.step(c, b, 4, pi, r, True), n)
        walls, cpus = {key: [] for key in runs}, {key: [] for key in runs}
        for run in runs.values():
            run()  # warm-up
        for _ in range(repeats):  # interleaved, so that a change of load touches every kind alike
            for key, run in runs.items():
                start, cpu = time.perf_counter(), time.process_time()
                run()
                walls[key].append(time.perf_counter() - start)
                cpus[key].append(time.process_time() - cpu)
        for env in envs:
            env.close()
        row = {"num_envs": count}
        for kind in ("env", "bare"):
            for threads in (1, 2):
                w = walls[kind, threads]
                row[f"{kind} {threads}"] = {"median": rate(n * count, statistics.median(w)),
                                            "best": rate(n * count, min(w))}
            for how in ("median", "best"):
                row[f"{kind} speedup {how}"] = row[f"{kind} 2"][how] / row[f"{kind} 1"][how]
            # The cores the two threads were given: other users' processes take the rest (the
            # kernel shares the processors among sessions, however many threads each runs).
            row[f"{kind} cores"] = sum(cpus[kind, 2]) / sum(walls[kind, 2])
        rows.append(row)
    return rows


# --- time outside emulation ---------------------------------------------------------------------

def overhead(rom, count, steps, repeats, obs_type="rgb"):
    """CPU time of a vector step against the same consoles stepped bare (runFrame, and the batch
    without outputs). The cost of a frame depends on what the game does, so all three step the
    environment's own consoles, one after the other."""
    env = make_vec(rom, count, 1, obs_type, reward=lambda before, after: 0.0)
    actions = np.zeros((count, 8), np.int8)
    consoles = env.unwrapped.consoles

    def bare():
        for _ in range(steps):
            for nes in consoles:
                for _ in range(4):
                    nes.runFrame()

    pool, buttons = StepPool(1), np.zeros(count, np.uint8)
    env_cpu, bare_cpu, batch_cpu = [], [], []
    for _ in range(repeats):  # interleaved, so that a change of load touches all three alike
        env_cpu.append(timed(repeat(lambda: env.step(actions), steps), 1)[1])
        bare_cpu.append(timed(bare, 1)[1])
        batch_cpu.append(timed(repeat(lambda: pool.step(consoles, buttons, 4), steps), 1)[1])
    env_cpu, bare_cpu, batch_cpu = (statistics.median(x) for x in (env_cpu, bare_cpu, batch_cpu))
    env.close()
    return {"num_envs": count, "obs_type": obs_type, "env step ms": 1000 * env_cpu / steps,
            "bare frames ms": 1000 * bare_cpu / steps,
            "batch without outputs ms": 1000 * batch_cpu / steps,
            "outside emulation": (env_cpu - batch_cpu) / env_cpu}


def load_text():
    return "load average %.2f %.2f %.2f" % os.getloadavg()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("roms", nargs="*", type=pathlib.Path)
    parser.add_argument("--quick", action="store_true", help="fewer steps and repeats")
    parser.add_argument("--json", type=pathlib.Path)
    args = parser.parse_args()
    roms = args.roms or [r for r in DEFAULT_ROMS if r.exists()]
    steps, repeats = (100, 3) if args.quick else (400, 5)

    single = compare_single(roms, steps, repeats)
    print("Single environment, 1 frame per step, RGB observation: steps/s (wall | cpu)")
    for row in single:
        cells = []
        for name in PEERS:
            v = row[name]
            cells.append(f"{name}: {v}" if isinstance(v, str) else f"{name}: {v['wall']:7.0f} | {v['cpu']:7.0f}")
        z, n = row["zumbrel env"], row["nes-py env"]
        ratio = "" if isinstance(z, str) or isinstance(n, str) else \
            f"  zumbrel/nes-py: {z['wall'] / n['wall']:.2f}x wall, {z['cpu'] / n['cpu']:.2f}x cpu"
        print(f"  {row['rom']:28s} " + "   ".join(cells) + ratio)

    print(load_text())
    vector = vector_throughput(roms[0], [1, 8, 32], steps, repeats + 2)
    print(f"Vector environment on {roms[0].name}, frame skip 4, RGB: env steps/s by threads (wall, median | best)")
    for row in vector:
        cells = []
        for kind, name in (("env", "environment"), ("bare", "pool alone")):
            one, two = row[f"{kind} 1"], row[f"{kind} 2"]
            cells.append(f"{name}: 1 thread {one['median']:6.0f} | {one['best']:6.0f},"
                         f" 2 threads {two['median']:6.0f} | {two['best']:6.0f},"
                         f" speedup {row[f'{kind} speedup median']:.2f}x | {row[f'{kind} speedup best']:.2f}x"
                         f" on {row[f'{kind} cores']:.2f} cores")
        print(f"  N={row['num_envs']:3d}  " + "\n         ".join(cells))
    print(load_text())

    outside = [overhead(roms[0], n, max(10, steps // 8), repeats, obs) for n, obs in
               ((1, "rgb"), (8, "rgb"), (32, "rgb"), (8, "gray"))]
    print("Time outside emulation per vector step at frame skip 4 (CPU time)")
    for row in outside:
        print(f"  N={row['num_envs']:3d} {row['obs_type']:4s}  step {row['env step ms']:.2f} ms,"
              f" bare runFrame {row['bare frames ms']:.2f} ms,"
              f" batch alone {row['batch without outputs ms']:.2f} ms:"
              f" outside emulation {100 * row['outside emulation']:.1f} %")
    print(load_text())

    if args.json:
        results = {"single": single, "vector": vector, "overhead": outside}
        args.json.write_text(json.dumps(results, indent=1, default=str))


if __name__ == "__main__":
    sys.exit(main())
