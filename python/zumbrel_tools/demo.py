"""The built-in demo cartridge (its sources are in demo/ at the top of the project): the image,
and where its game keeps the character, for rewards."""
import os

DEMO_ROM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "zumbrel-demo.nes")

# `player_x` and `player_y` in demo.s's zero page; Y stays 0 until the game places the character.
DEMO_PLAYER_X = 0x05
DEMO_PLAYER_Y = 0x06


def demo_reward(ram_before, ram_after):
    """The demo cartridge's reward: pixels the character moved right (negative when left)."""
    if ram_before[DEMO_PLAYER_Y] == 0:
        return 0.0
    return float(int(ram_after[DEMO_PLAYER_X]) - int(ram_before[DEMO_PLAYER_X]))
