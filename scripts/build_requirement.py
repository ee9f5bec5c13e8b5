#!/usr/bin/env python3
"""Prints the package's build requirement for a project, as pyproject.toml pins it.

    python3 scripts/build_requirement.py pybind11     ->  pybind11>=2.13,<3

The pin lives only in pyproject.toml; the scripts that build the module outside pip ask here.
"""
import pathlib
import re
import sys

try:
    import tomllib
except ModuleNotFoundError:  # Python before 3.11
    import tomli as tomllib

ROOT = pathlib.Path(__file__).resolve().parents[1]


def requirement(name):
    with open(ROOT / "pyproject.toml", "rb") as f:
        requires = tomllib.load(f)["build-system"]["requires"]
    for line in requires:
        if re.split(r"[<>=!~;\[ ]", line, maxsplit=1)[0].lower() == name.lower():
            return line
    raise SystemExit(f"pyproject.toml has no build requirement named {name}")


if __name__ == "__main__":
    print(requirement(sys.argv[1]))
