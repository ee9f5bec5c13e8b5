"""Games described in files (stable-retro's folder layout): variable types, scenarios, the
demo's own game in the environments, `zumbrel info`, and what is refused."""
import gzip
import json
import pathlib
import re
import sys

import numpy as np
import pytest
from zumbrel_tools import DEMO_ROM, games
from zumbrel_tools.cli import main

gymnasium = pytest.importorskip("gymnasium")
from zumbrel_tools.envs import NESEnv, NESVectorEnv  # noqa: E402

DEMO_GAME = "ZumbrelDemo-Nes"
README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def write_game(folder, info, scenario=None, scripts=None):
    folder.mkdir(exist_ok=True)
    (folder / "data.json").write_text(json.dumps({"info": info}))
    if scenario is not None:
        (folder / "scenario.json").write_text(json.dumps(scenario))
    for name, text in (scripts or {}).items():
        (folder / name).write_text(text)
    return folder


@pytest.mark.parametrize("vtype, address, data, value", [
    ("|u1", 0x0010, [0xFF], 255),
    ("|i1", 0x0010, [0xFF], -1),
    ("|i1", 0x0010, [0x7F], 127),
    ("<u2", 0x0010, [0x34, 0x12], 0x1234),
    (">u2", 0x0010, [0x12, 0x34], 0x1234),
    ("=u2", 0x0010, [0x34, 0x12], 0x1234),
    ("<i2", 0x0010, [0xFE, 0xFF], -2),
    (">i2", 0x0010, [0x80, 0x00], -32768),
    ("<u3", 0x0010, [0x01, 0x02, 0x03], 0x030201),
    (">u4", 0x6000, [0xDE, 0xAD, 0xBE, 0xEF], 0xDEADBEEF),  # cartridge RAM
    ("|d1", 0x0010, [0x42], 42),
    ("<d4", 0x0010, [0x78, 0x56, 0x34, 0x12], 12345678),
    (">d3", 0x0010, [0x01, 0x23, 0x45], 12345),
    ("|n1", 0x0010, [0xF7], 7),  # a digit a byte: the high nibble is not part of it
    (">n6", 0x0810, [0, 0, 1, 2, 3, 4], 1234),  # a mirror of the RAM reads the RAM
    ("<n4", 0x0010, [4, 3, 2, 1], 1234),
])
def test_variable_types(vtype, address, data, value):
    memory = np.zeros(0x10000, np.uint8)
    at = address & 0x7FF if address < 0x2000 else address
    memory[at:at + len(data)] = data
    game = games.Game("t", pathlib.Path("."), games.parse_variables({"v": {"address": address, "type": vtype}}, "t"),
                      None)
    assert game.values(memory) == {"v": value}


def test_mask_keeps_the_named_bits():
    variables = games.parse_variables({"flag": {"address": 2, "type": "|u1", "mask": 0x40}}, "t")
    memory = np.zeros(0x10000, np.uint8)
    memory[2] = 0xBF
    assert variables["flag"].read(memory) == 0
    memory[2] = 0x7F
    assert variables["flag"].read(memory) == 0x40


SCORE_AND_LIVES = {"score": {"address": 0, "type": ">d2"}, "lives": {"address": 2, "type": "|i1"},
                   "level": {"address": 3, "type": "|u1"}}


@pytest.mark.parametrize("scenario, steps", [
    # Each step: the bytes at $0000-$0003, then the reward and whether the episode ends.
    ({"reward": {"variables": {"score": {"reward": 2.0}, "lives": {"penalty": 100.0}}},
      "done": {"variables": {"lives": {"op": "negative"}}}},
     [([0x00, 0x10, 2, 0], 20.0, False), ([0x01, 0x00, 1, 0], 180.0 - 100.0, False),
      ([0x01, 0x00, 0xFF, 0], -200.0, True)]),
    # "all" of a variable test and a node of "any"; a delta measurement.
    ({"done": {"condition": "all", "variables": {"lives": {"op": "zero"}},
               "nodes": {"n": {"variables": {"level": {"op": "positive", "measurement": "delta"},
                                             "score": {"op": "greater-or-equal", "reference": 500}}}}}},
     [([0, 0, 0, 1], 0.0, True), ([0, 0, 0, 1], 0.0, False), ([0x05, 0x00, 0, 1], 0.0, True),
      ([0x05, 0x00, 1, 1], 0.0, False)]),
    ({"done": {}, "reward": {"variables": {"level": {"reward": 1.0, "measurement": "absolute"}}}},
     [([0, 0, 0, 3], 3.0, False), ([0, 0, 0, 3], 3.0, False)]),
])
def test_scenarios(tmp_path, scenario, steps):
    game = games.load(write_game(tmp_path / "G-Nes", SCORE_AND_LIVES, scenario))
    memory = np.zeros(0x10000, np.uint8)
    run = games.GameRun(game, memory)
    run.start()
    for data, reward, done in steps:
        memory[:4] = data
        assert run.step()[:2] == (reward, done)


LUA_SCRIPT = """
previous = 0
function progress()
  local gained = data.score - previous
  previous = data.score
  return gained
end
function over()
  return data.lives == 0
end
"""


def test_lua_scenario_keeps_its_state_within_an_episode_and_starts_anew(tmp_path):
    pytest.importorskip("lupa")
    folder = write_game(tmp_path / "L-Nes", SCORE_AND_LIVES,
                        {"reward": {"script": "lua:progress"}, "done": {"script": "lua:over"},
                         "scripts": ["script.lua"]}, {"script.lua": LUA_SCRIPT})
    memory = np.zeros(0x10000, np.uint8)
    run = games.GameRun(games.load(folder), memory)
    for _ in range(2):
        run.start()
        memory[:3] = [0x01, 0x50, 3]
        assert run.step()[:2] == (150.0, False)
        memory[:3] = [0x02, 0x00, 0]
        assert run.step()[:2] == (50.0, True)


@pytest.mark.parametrize("info, scenario, message", [
    ({"v": {"address": 0, "type": "|u2"}}, None, 'variable \'v\': type \'|u2\': "|" (no byte order) fits one byte'),
    ({"v": {"address": 0, "type": "<x2"}}, None, "a type is a byte order (| < >), a kind (u i d n) and 1 to 8 bytes"),
    ({"v": {"address": 0, "type": "<u9"}}, None, "type '<u9'"),
    ({"v": {"address": 0xFFFF, "type": "<u2"}}, None, "address 65535 is outside the CPU's 64 KiB address space"),
    ({"v": {"type": "|u1"}}, None, "variable 'v' needs an \"address\""),
    ({"v": {"address": -1, "type": "|u1"}}, None, "address -1 is outside"),
    ({"v": {"address": 0, "type": "|u1"}}, {"done": {"variables": {"v": {"op": "huge"}}}}, "unknown op 'huge'"),
    ({"v": {"address": 0, "type": "|u1"}}, {"done": {"variables": {"w": {"op": "zero"}}}},
     "variable 'w': no such variable in data.json (it has v)"),
    ({"v": {"address": 0, "type": "|u1"}}, {"done": {"variables": {"v": {"op": "equal", "reference": "3"}}}},
     "'reference' must be a number"),
    ({"v": {"address": 0, "type": "|u1"}}, {"reward": {"variables": {"v": {"bonus": 1}}}}, "unknown keys 'bonus'"),
    ({"v": {"address": 0, "type": "|u1"}}, {"done": {"condition": "most"}}, '"condition" is "any" or "all"'),
    ({"v": {"address": 0, "type": "|u1"}}, {"reward": {"script": "python:f"}}, 'names a Lua function as "lua:name"'),
])
def test_malformed_games_are_refused_by_name(tmp_path, info, scenario, message):
    folder = write_game(tmp_path / "Bad-Nes", info, scenario)
    with pytest.raises(games.GameError, match=re.escape(message)) as error:
        games.load(folder)
    assert str(folder) in str(error.value)


def test_refusals(tmp_path, monkeypatch):
    folder = write_game(tmp_path / "Some-Nes", {"v": {"address": 0, "type": "|u1"}},
                        {"reward": {"script": "lua:f"}, "scripts": ["script.lua"]}, {"script.lua": "function f() end"})
    (folder / "metadata.json").write_text('{"default_state": "Level1"}')
    (folder / "Level1.state").write_bytes(gzip.compress(b"FCS\xff" + bytes(100)))
    game = games.load(folder)
    how = "zumbrel run game.nes --input pads.txt --snapshot-at FRAME FILE"
    with pytest.raises(games.GameError, match=re.escape(how)):
        game.state("Level1")
    with pytest.raises(games.GameError, match="another emulator's format"):
        games.check_start_state(folder / "Level1.state")
    games.check_start_state(DEMO_ROM)  # any other file is left to the start-state loader
    # Lua without lupa: the error names the scenario and the extra to install.
    monkeypatch.setitem(sys.modules, "lupa", None)
    with pytest.raises(games.GameError, match=re.escape(f"{folder / 'scenario.json'}: its reward")):
        games.GameRun(game, np.zeros(0x10000, np.uint8)).start()
    # A folder without scenario.json has its variables only; a scenario asked for must be there.
    bare = write_game(tmp_path / "Bare-Nes", {"v": {"address": 0, "type": "|u1"}})
    assert games.load(bare).scenario is None
    with pytest.raises(games.GameError, match=re.escape(f"{bare / 'hard.json'}: No such file")):
        games.load(bare, scenario="hard")
    with pytest.raises(games.GameError, match="no game 'NoSuchGame-Nes'"):
        games.load("NoSuchGame-Nes")
    with pytest.raises(games.GameError, match="not valid JSON"):
        (folder / "data.json").write_text("{")
        games.load(folder)
    # The environment starts such a game at power-on, and says so.
    write_game(folder, {"v": {"address": 0, "type": "|u1"}}, {})
    with pytest.warns(UserWarning, match=re.escape(how)):
        NESEnv(DEMO_ROM, obs_type="ram", game=folder)
    (folder / "metadata.json").write_text("{}")
    (folder / "rom.sha").write_text("0" * 40 + "\n")
    with pytest.warns(UserWarning, match="Some-Nes describes another cartridge"):
        NESEnv(DEMO_ROM, obs_type="ram", game=folder)


def demo_episode(env_kwargs, actions):
    env = NESEnv(DEMO_ROM, obs_type="ram", actions=["noop", "right", "left"], **env_kwargs)
    _, info = env.reset(seed=0)
    infos, rewards, ends = [info], [], []
    for action in actions:
        _, reward, terminated, _, info = env.step(action)
        infos.append(info)
        rewards.append(reward)
        ends.append(terminated)
        if terminated:
            break
    return infos, rewards, ends


def test_demo_game_in_the_environment():
    actions = [1] * 20 + [2] * 10 + [0] * 60
    infos, rewards, ends = demo_episode({"game": DEMO_GAME}, actions)
    # Reward: the character's moves right, less those left, as its x coordinate tells.
    xs = [info["player_x"] for info in infos]
    assert rewards == [float(b - a) for a, b in zip(xs, xs[1:])]
    assert max(rewards) > 0 > min(rewards)
    # The end: the field has scrolled one screen (256 frames, 64 steps of 4 frames).
    assert ends.index(True) == len(ends) - 1 and infos[-1]["scroll"] == 256 and infos[-2]["scroll"] < 256
    assert infos[-1]["power_ons"] == 1 and infos[-1]["player_y"] == 176
    # A user's functions add to the scenario; without a scenario they are all there is.
    added, _, _ = demo_episode({"game": DEMO_GAME, "reward": lambda a, b: 1.0, "info": lambda ram: {"x": 1}},
                               actions)
    assert added[-1]["x"] == 1 and added[-1]["player_x"] == xs[-1]
    replaced = demo_episode({"game": games.load(DEMO_GAME, scenario=None), "reward": lambda a, b: 1.0}, actions)
    assert set(replaced[1]) == {1.0} and not any(replaced[2]) and len(replaced[2]) == len(actions)


def test_vector_environment_matches_single_ones():
    env = NESVectorEnv(2, DEMO_ROM, obs_type="ram", actions=["noop", "right", "left"], game=DEMO_GAME)
    env.reset(seed=0)
    steps = [[1, 2]] * 20 + [[0, 0]] * 50
    single = [demo_episode({"game": DEMO_GAME}, [a[i] for a in steps]) for i in range(2)]
    for t, action in enumerate(steps):
        _, rewards, terminations, _, infos = env.step(np.array(action))
        for i in range(2):
            s_infos, s_rewards, s_ends = single[i]
            if t < len(s_rewards):
                assert (rewards[i], terminations[i], infos["player_x"][i]) == \
                    (s_rewards[t], s_ends[t], s_infos[t + 1]["player_x"])
            elif t == len(s_rewards):  # the step that starts the next episode
                assert rewards[i] == 0.0 and infos["scroll"][i] == 0


def test_info_names_the_matching_game(tmp_path, capsys):
    assert main(["info", DEMO_ROM]) == 0
    assert f"game:       {DEMO_GAME}" in capsys.readouterr().out.splitlines()
    other = tmp_path / "other.nes"
    data = bytearray(pathlib.Path(DEMO_ROM).read_bytes())
    data[-1] ^= 1
    other.write_bytes(bytes(data))
    assert main(["info", str(other)]) == 0
    assert "game:       no integration names this image" in capsys.readouterr().out


def test_readme_example():
    text = README.read_text().split("## Games described in files", 1)[1].split("\n## ", 1)[0]
    namespace = {}
    exec(re.findall(r"```python\n(.*?)```", text, re.S)[0], namespace)
    assert namespace["terminated"] and namespace["score"] > 0
