#!/usr/bin/env python3
"""Our pictures against those of another emulator (cynes, from PyPI), cartridge by cartridge.

A tool for finding faults in the picture, not a target: differences that the machine's
timing model intends (whole instructions between PPU catch-ups, OAM DMA and interrupt entry
that take no CPU time, no colour emphasis) stay. Both consoles run from power-on with idle
pads. At each chosen frame the two pictures are compared up to a relabelling of colours: each
of our colours stands for the one of theirs it most often shares a pixel with, within that
frame, and the agreement is the share of pixels where that holds. The two consoles may count
frames from different moments, so our frame N is compared with their frames N-1, N and N+1
and the best of the three counts.

    pip install cynes        (into the environment that runs this script only)
    python3 bench/compare_pictures.py [--frames 60,180,600] [--zumbrel DIR] [--json FILE] [ROM ...]

Without ROM arguments it takes every cartridge under ../shared/testroms. --zumbrel imports
the module from DIR (another build, to compare two versions); otherwise it builds under
build/bench as run.py does.
"""
import argparse
import json
import os
import pathlib
import sys

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
SHARED = HERE.parents[1] / "shared" / "testroms"
WINDOW = 1  # frames either side of ours to look at in theirs


def colour_labels(picture):
    """Each pixel's colour as a small integer, and the number of colours."""
    flat = picture.reshape(-1, 3).astype(np.uint32)
    keys = (flat[:, 0] << 16) | (flat[:, 1] << 8) | flat[:, 2]
    _, labels = np.unique(keys, return_inverse=True)
    return labels.ravel(), int(labels.max()) + 1


def agreement(ours, theirs):
    """Share of pixels that agree when each of our colours maps to one of theirs."""
    a, _ = colour_labels(ours)
    b, nb = colour_labels(theirs)
    pairs = np.bincount(a * nb + b, minlength=int(a.max() + 1) * nb).reshape(-1, nb)
    return pairs.max(axis=1).sum() / a.size


def our_frames(zumbrel, rom, wanted):
    pictures = {}
    nes = zumbrel.NES(str(rom), CLOCK_SPEED=0)
    for frame in range(1, max(wanted) + 1):
        nes.runFrame()
        if frame in wanted:
            pictures[frame] = np.array(nes.getImg())
    return pictures


def their_frames(rom, wanted):
    import cynes
    keep = {f + d for f in wanted for d in range(-WINDOW, WINDOW + 1)}
    pictures = {}
    nes = cynes.NES(str(rom))
    for frame in range(1, max(keep) + 1):
        picture = nes.step()
        if frame in keep:
            pictures[frame] = np.array(picture)
    return pictures


def compare(zumbrel, rom, frames):
    """{frame: (agreement, offset of their frame)} or a reason the cartridge was left out."""
    try:
        theirs = their_frames(rom, frames)
    except Exception as error:  # an unsupported board, mostly
        return f"cynes cannot run it: {error}"
    try:
        ours = our_frames(zumbrel, rom, frames)
    except Exception as error:
        return f"zumbrel cannot run it: {error}"
    result = {}
    for f in frames:
        scores = [(agreement(ours[f], theirs[f + d]), d) for d in range(-WINDOW, WINDOW + 1)]
        result[f] = max(scores, key=lambda s: (s[0], -abs(s[1])))  # the nearest frame among equals
    return result


def display_name(rom):
    try:
        return str(rom.resolve().relative_to(SHARED))
    except ValueError:
        return str(rom)


def load_zumbrel(folder):
    if folder:
        sys.path.insert(0, str(pathlib.Path(folder).resolve()))
    else:
        sys.path.insert(0, str(HERE))
        import run
        run.build()
    import zumbrel
    return zumbrel


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("roms", nargs="*")
    parser.add_argument("--frames", default="60,180,600", help="frame numbers, comma-separated")
    parser.add_argument("--zumbrel", help="folder holding the zumbrel module to compare")
    parser.add_argument("--json", help="also write the results to this file")
    args = parser.parse_args()
    frames = sorted({int(f) for f in args.frames.split(",")})
    if min(frames) <= WINDOW:
        parser.error(f"frame numbers start at {WINDOW + 1}")
    roms = [pathlib.Path(r) for r in args.roms] or sorted(
        p for p in SHARED.rglob("*") if p.suffix.lower() == ".nes")
    if not roms:
        parser.error(f"no cartridges given and none under {SHARED}")

    zumbrel = load_zumbrel(args.zumbrel)
    results = {}
    with open(os.devnull, "w") as devnull:
        saved = os.dup(1)
        os.dup2(devnull.fileno(), 1)  # both consoles print their own lines
        try:
            for rom in roms:
                results[display_name(rom)] = compare(zumbrel, rom, frames)
        finally:
            os.dup2(saved, 1)

    width = max(len(name) for name in results) + 2
    print(f"{'cartridge':<{width}}" + "".join(f"{'frame ' + str(f):>14}" for f in frames) + f"{'lowest':>9}")
    agreeing = compared = 0
    for name, result in results.items():
        if isinstance(result, str):
            print(f"{name:<{width}}{result}")
            continue
        compared += 1
        lowest = min(score for score, _ in result.values())
        agreeing += lowest >= 0.99
        cells = "".join(f"{100 * score:>10.2f}% {offset:+d}" for score, offset in result.values())
        print(f"{name:<{width}}{cells}{100 * lowest:>8.2f}%")
    print(f"{agreeing} of {compared} cartridges agree on at least 99% of pixels at every frame compared "
          f"(the signed figure: their frame relative to ours)")
    if args.json:
        out = {name: r if isinstance(r, str) else {str(f): {"agreement": s, "offset": d} for f, (s, d) in r.items()}
               for name, r in results.items()}
        pathlib.Path(args.json).write_text(json.dumps(out, indent=2))


if __name__ == "__main__":
    main()
