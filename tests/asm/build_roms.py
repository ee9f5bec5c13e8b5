#!/usr/bin/env python3
"""Assemble every test program in this folder into an iNES image.

Each source names its linker configuration on a line `; link: NAME.cfg`
(default nrom.cfg). Usage: build_roms.py OUTDIR [NAME ...]
"""
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent


def link_config(source: pathlib.Path) -> pathlib.Path:
    match = re.search(r"^;\s*link:\s*(\S+)", source.read_text(), re.MULTILINE)
    return HERE / (match.group(1) if match else "nrom.cfg")


def assemble(source: pathlib.Path, out_dir: pathlib.Path) -> pathlib.Path:
    out = out_dir / (source.stem + ".nes")
    with tempfile.TemporaryDirectory() as tmp:
        obj = pathlib.Path(tmp) / (source.stem + ".o")
        subprocess.run(["ca65", "-I", str(HERE), "-o", str(obj), str(source)], check=True)
        subprocess.run(["ld65", "-C", str(link_config(source)), "-o", str(out), str(obj)], check=True)
    return out


def main() -> int:
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    if shutil.which("ca65") is None or shutil.which("ld65") is None:
        print("ca65/ld65 not found: install the cc65 package", file=sys.stderr)
        return 1
    out_dir = pathlib.Path(sys.argv[1])
    out_dir.mkdir(parents=True, exist_ok=True)
    names = set(sys.argv[2:])
    for source in sorted(HERE.glob("*.s")):
        if not names or source.stem in names:
            assemble(source, out_dir)
    return 0


if __name__ == "__main__":
    sys.exit(main())
