#!/usr/bin/env python3
"""Assemble the demo cartridge: build_demo.py [OUT.nes]

Without OUT it rebuilds the image that the zumbrel_tools package ships.
"""
import pathlib
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
SHIPPED = HERE.parent / "python" / "zumbrel_tools" / "data" / "zumbrel-demo.nes"


def build(out: pathlib.Path) -> pathlib.Path:
    with tempfile.TemporaryDirectory() as tmp:
        obj = pathlib.Path(tmp) / "demo.o"
        subprocess.run(["ca65", "-I", str(HERE), "-o", str(obj), str(HERE / "demo.s")], check=True)
        subprocess.run(["ld65", "-C", str(HERE / "demo.cfg"), "-o", str(out), str(obj)], check=True)
    return out


if __name__ == "__main__":
    target = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else SHIPPED
    print(build(target))
