"""Gymnasium environments over the demo cartridge."""
import gc
import pathlib
import re
import subprocess
import sys
import warnings

import numpy as np
import pytest

gymnasium = pytest.importorskip("gymnasium")
import zumbrel  # noqa: E402
from gymnasium.utils.env_checker import check_env  # noqa: E402
from zumbrel_tools import DEMO_ROM  # noqa: E402
from zumbrel_tools.demo import DEMO_PLAYER_X, demo_reward  # noqa: E402
from zumbrel_tools.envs import RIGHT_ONLY  # noqa: E402

ENV_ID = "zumbrel/NES-v0"
README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def readme_examples():
    """The Python blocks of the README's section on training agents."""
    text = README.read_text().split("## Train an agent", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```python\n(.*?)```", text, re.S)


def make(**kwargs):
    return gymnasium.make(ENV_ID, **{"rom": DEMO_ROM, "reward": demo_reward, **kwargs})


def make_vec(num_envs, **kwargs):
    return gymnasium.make_vec(ENV_ID, num_envs=num_envs, vectorization_mode="vector_entry_point",
                              **{"rom": DEMO_ROM, "reward": demo_reward, **kwargs})


@pytest.mark.parametrize("code", [
    # Gymnasium's own form imports the package; the plain id works once it is imported.
    "import gymnasium; gymnasium.make('zumbrel_tools:zumbrel/NES-v0', rom=DEMO_ROM)",
    "import zumbrel_tools, gymnasium; gymnasium.make('zumbrel/NES-v0', rom=DEMO_ROM)",
    # Without Gymnasium the rest of the package works.
    "import sys; sys.modules['gymnasium'] = None; import zumbrel_tools; zumbrel_tools.step_batch([], [])",
])
def test_the_environment_is_made_by_its_registered_id(code):
    code = code.replace("DEMO_ROM", repr(DEMO_ROM))
    subprocess.run([sys.executable, "-c", code], check=True, timeout=60, capture_output=True)


@pytest.mark.parametrize("kwargs", [
    {"obs_type": "rgb", "render_mode": "rgb_array"},
    {"obs_type": "gray", "downsample": True, "actions": RIGHT_ONLY, "render_mode": "human"},
    {"obs_type": "ram", "sticky_actions": 0.25, "noop_max": 30},
])
def test_the_single_environment_passes_gymnasiums_checker(kwargs, monkeypatch):
    monkeypatch.setenv("SDL_VIDEODRIVER", "dummy")
    env = make(**kwargs)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        check_env(env.unwrapped)
    env.close()


def rollout(env, actions, seed):
    observation, _ = env.reset(seed=seed)
    seen, rewards = [observation], []
    for action in actions:
        observation, reward, *_ = env.step(action)
        seen.append(observation)
        rewards.append(reward)
    return np.array(seen), np.array(rewards)


def test_vector_environment_repeats_single_environments_exactly():
    """Each sub-environment seeded s + i follows the single environment seeded s + i."""
    options = {"obs_type": "gray", "downsample": True, "sticky_actions": 0.3, "noop_max": 20}
    count, seed = 3, 11
    actions = np.random.default_rng(5).integers(0, 2, (25, count, 8))
    vector = make_vec(count, num_threads=2, **options)
    seen, rewards = rollout(vector, actions, seed)
    single = make(**options)
    for i in range(count):
        alone_seen, alone_rewards = rollout(single, actions[:, i], seed + i)
        np.testing.assert_array_equal(seen[:, i], alone_seen)
        np.testing.assert_array_equal(rewards[:, i], alone_rewards)
    again_seen, _ = rollout(single, actions[:, 0], seed)
    np.testing.assert_array_equal(again_seen, seen[:, 0])
    other_seen, _ = rollout(single, actions[:, 0], seed + 100)
    assert not np.array_equal(other_seen, seen[:, 0]), "a different seed must choose other no-op frames"
    vector.close()


def test_the_players_battery_save_neither_changes_nor_suffers_from_environments(home):
    first, _ = make().reset(seed=0)
    player = zumbrel.NES(DEMO_ROM, 0)  # counts one more power-on in its battery RAM file
    for _ in range(60):
        player.runFrame()
    player.stop()
    saved = list(home.rglob("ram"))
    assert saved, "the demo cartridge keeps a battery RAM file"
    before = saved[0].read_bytes()
    again, _ = make().reset(seed=0)
    np.testing.assert_array_equal(again, first)
    env = make()
    env.reset(seed=0)
    for _ in range(60):
        env.step(np.ones(8, np.int8))
    env.close()
    del env
    gc.collect()  # consoles that end keep their battery RAM in the file
    assert saved[0].read_bytes() == before


def test_vector_environment_resets_an_ended_one_on_the_next_step():
    vector = make_vec(2, obs_type="ram", max_episode_steps=3, actions=RIGHT_ONLY)
    first, _ = vector.reset(seed=0)
    for step in range(3):
        observation, rewards, terminated, truncated, _ = vector.step(np.array([1, 0]))
        assert list(truncated) == [step == 2] * 2
        assert not terminated.any()
    observation, rewards, terminated, truncated, _ = vector.step(np.array([1, 1]))
    np.testing.assert_array_equal(observation, first)
    assert list(rewards) == [0, 0] and not truncated.any()
    vector.close()


def past_140(ram):
    return bool(ram[DEMO_PLAYER_X] >= 140)


def position(ram):
    return {"x": int(ram[DEMO_PLAYER_X])}


def test_vector_environment_ends_one_on_the_users_condition_and_reports_everyones_info():
    vector = make_vec(2, obs_type="ram", actions=RIGHT_ONLY, terminated=past_140, info=position)
    first, infos = vector.reset(seed=0)
    assert list(infos["x"]) == [0, 0] and infos["_x"].all()
    walk = np.array([RIGHT_ONLY.index("right"), RIGHT_ONLY.index("noop")])
    for step in range(6):  # the walker moves 4 pixels a step from 120
        observation, _, terminated, truncated, infos = vector.step(walk)
        assert list(terminated) == [step == 5, False] and not truncated.any()
        np.testing.assert_array_equal(infos["x"], observation[:, DEMO_PLAYER_X])
    observation, rewards, terminated, _, infos = vector.step(walk)
    np.testing.assert_array_equal(observation[0], first[0])  # the ended one started over
    assert rewards[0] == 0 and not terminated.any()
    assert list(infos["x"]) == [0, 120]


def test_a_scripted_policy_earns_more_than_a_random_one():
    env = make(obs_type="ram")  # the eight buttons
    env.action_space.seed(0)
    right = np.array([0, 0, 0, 0, 0, 0, 0, 1], np.int8)
    totals = {}
    for name, policy in {"right": lambda: right, "random": env.action_space.sample}.items():
        env.reset(seed=0)
        totals[name] = sum(env.step(policy())[1] for _ in range(25))
    assert totals["right"] > max(totals["random"], 0)


@pytest.mark.parametrize("kwargs,words", [
    ({"obs_type": "rgba"}, "obs_type"),
    ({"frameskip": 0}, "frameskip"),
    ({"actions": ["right+jump"]}, "unknown button 'jump'"),
    ({"actions": []}, "at least one"),
    ({"sticky_actions": 1.5}, "probability"),
])
def test_bad_settings_are_named(kwargs, words):
    with pytest.raises(ValueError, match=words):
        make(**kwargs)


@pytest.mark.parametrize("actions,bad", [
    (RIGHT_ONLY, -1), (RIGHT_ONLY, len(RIGHT_ONLY)), (RIGHT_ONLY, 1.0), (RIGHT_ONLY, "1"),
    (None, [5, 0, 0, 0, 0, 0, 0, 0]), (None, [-1, 0, 0, 0, 0, 0, 0, 0]), (None, [np.nan] * 8),
    (None, [np.inf] * 8), (None, ["a"] * 8), (None, [0] * 7),
])
def test_actions_outside_the_action_space_are_refused(actions, bad):
    env, vec = make(actions=actions), make_vec(2, actions=actions)
    env.reset(seed=0)
    vec.reset(seed=0)
    with pytest.raises(ValueError, match="action"):
        env.step(bad)
    with pytest.raises(ValueError, match="action"):
        vec.step(np.array([bad, bad]))
    env.close()
    vec.close()


def test_a_board_the_console_lacks_is_refused_unless_allowed():
    image = bytearray(pathlib.Path(DEMO_ROM).read_bytes())
    image[6] = (image[6] & 0x0F) | 0x50  # board 5, MMC5
    for build in (lambda **kw: make(**kw), lambda **kw: make_vec(2, **kw)):
        with pytest.raises(ValueError, match=r"board 5 \(MMC5\) is not supported"):
            build(rom=bytes(image))
        env = build(rom=bytes(image), allow_unsupported_board=True)
        env.reset(seed=0)
        env.close()


def test_the_human_mode_says_what_it_lacks(monkeypatch):
    with monkeypatch.context() as without_pygame:
        without_pygame.setitem(sys.modules, "pygame", None)
        with pytest.raises(gymnasium.error.DependencyNotInstalled, match="pip install"):
            make(render_mode="human")
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER"):
        monkeypatch.delenv(name, raising=False)
    with pytest.warns(UserWarning, match="without a display"):
        make(render_mode="human").close()


def test_the_readme_example_runs_as_written(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace = {}
    exec(readme_examples()[0], namespace)
    assert namespace["observations"].shape == (8, 240, 256, 3)
    assert namespace["pictures"].any(), "the batch must have drawn pictures"
