"""How many of an installed stable-retro's NES game integrations zumbrel reads, and why the
others are refused: each folder is loaded and its scenario stepped twice over blank memory
(Lua scenarios run when lupa is installed). Needs `pip install stable-retro`, for this check only.

    python3 bench/retro_games.py
"""
import collections
import sys

import numpy as np
from zumbrel_tools import games


def main():
    folders = [f for f in games.game_folders() if f.parent != games.GAMES_DIR and "-Nes" in f.name]
    if not folders:
        print("no stable-retro NES integrations found (pip install stable-retro)")
        return 1
    kinds, refused = collections.Counter(), []
    for folder in folders:
        try:
            game = games.load_folder(folder)
            run = games.GameRun(game, np.zeros(0x10000, np.uint8))
            run.start()
            run.step()
            run.step()
        except games.GameError as error:
            refused.append(f"  {folder.parent.name}/{folder.name}: {error}")
            continue
        scenario = game.scenario
        kinds["Lua scenario" if scenario and scenario.uses_lua else "scenario" if scenario else "no scenario"] += 1
    print(f"{len(folders)} NES integrations in {', '.join(sorted({f.parent.name for f in folders}))}: "
          f"{len(folders) - len(refused)} read ({', '.join(f'{n} {k}' for k, n in sorted(kinds.items()))}), "
          f"{len(refused)} refused")
    print("\n".join(refused))
    return 0


if __name__ == "__main__":
    sys.exit(main())
