"""Start states and movies: made by the command, used by the environments, replayed exactly."""
import gzip
import pathlib

import numpy as np
import pytest
import zumbrel
from PIL import Image
from zumbrel_tools import DEMO_ROM, cartridge, restore
from zumbrel_tools.cli import main
from zumbrel_tools.movies import Movie, MovieError

gymnasium = pytest.importorskip("gymnasium")
from gymnasium.utils.env_checker import check_env  # noqa: E402
from zumbrel_tools.envs import RIGHT_ONLY, NESEnv, NESVectorEnv  # noqa: E402

WALK = "0 none\n30 start\n32 none\n60 right\n"


def make_state(tmp_path, frame, name="start.snapshot"):
    """A start state written by `zumbrel run --snapshot-at` after a scripted walk."""
    script, state = tmp_path / "pads.txt", tmp_path / name
    script.write_text(WALK)
    assert main(["run", DEMO_ROM, "--input", str(script), "--snapshot-at", str(frame), str(state)]) == 0
    return state


def short_movie(folder):
    """A movie of two frames, recorded by an environment."""
    env = NESEnv(DEMO_ROM, frameskip=2, record=str(folder))
    env.reset(seed=0)
    env.step(np.zeros(8, np.int8))
    env.close()
    return folder / "episode-000000.zmv"


def assert_replays(path, seen, frameskip):
    """The movie at `path` replays to the observations `seen`, one per `frameskip` frames."""
    movie = Movie.load(str(path))
    nes = zumbrel.NES(DEMO_ROM, 0)
    replayed = [np.array(nes.getImg()) for frame in movie.play(nes) if frame % frameskip == frameskip - 1]
    assert len(replayed) == len(seen), path
    for step, (picture, observation) in enumerate(zip(replayed, seen)):
        np.testing.assert_array_equal(picture, observation, err_msg=f"{path.name}, step {step}")
    return movie


def test_replay_reproduces_every_recorded_frame(tmp_path, capfd):
    """An environment's recording, with sticky actions, no-op frames and both pads, replays
    from Python and from the command to the same pictures."""
    env = NESEnv(DEMO_ROM, obs_type="rgb", max_pool=False, frameskip=3, actions=RIGHT_ONLY, two_pads=True,
                 sticky_actions=0.3, noop_max=10, state=make_state(tmp_path, 100), record=str(tmp_path))
    env.reset(seed=3)
    seen = [env.step(action)[0] for action in np.random.default_rng(1).integers(0, 5, (40, 2))]
    env.close()
    movie = assert_replays(tmp_path / "episode-000000.zmv", seen, 3)
    assert movie.frames == 120 and movie.buttons[:, 1].any()
    assert not np.array_equal(seen[0], seen[-1]), "the walk must change the picture"
    out = tmp_path / "last.png"
    assert main(["run", DEMO_ROM, "--movie", str(tmp_path / "episode-000000.zmv"), "--png", str(out)]) == 0
    np.testing.assert_array_equal(np.array(Image.open(out)), seen[-1])


def test_environments_sharing_a_folder_keep_each_others_movies(tmp_path):
    """A second environment (or a later run) recording into the same folder takes the next
    free name instead of replacing the first one's movie."""
    short_movie(tmp_path)
    short_movie(tmp_path)
    movies = sorted(tmp_path.glob("*.zmv"))
    assert [p.name for p in movies] == ["episode-000000.zmv", "episode-000001.zmv"]
    assert [Movie.load(str(p)).frames for p in movies] == [2, 2]


def test_vector_recording_keeps_each_sub_environments_episodes_apart(tmp_path):
    """Every sub-environment's episodes, cut by truncation and restarted by autoreset, replay
    exactly from their own files."""
    folder = tmp_path / "movies"
    folder.mkdir()
    envs = NESVectorEnv(2, DEMO_ROM, obs_type="rgb", max_pool=False, frameskip=3, actions=RIGHT_ONLY,
                        two_pads=True, sticky_actions=0.3, noop_max=10, state=make_state(tmp_path, 100),
                        max_episode_frames=30, record=str(folder))
    assert envs.get_action_meanings() == ["NOOP", "RIGHT", "RIGHT+A", "RIGHT+B", "RIGHT+A+B"]
    envs.reset(seed=3)
    episodes = [[[]], [[]]]
    ended = np.zeros(2, bool)
    for actions in np.random.default_rng(1).integers(0, 5, (25, 2, 2)):
        observations, _, terminations, truncations, _ = envs.step(actions)
        for i in range(2):
            if ended[i]:  # autoreset: the next episode starts, with no recorded frame
                episodes[i].append([])
            else:
                episodes[i][-1].append(observations[i])
        ended = terminations | truncations
    envs.close()
    assert sorted(p.name for p in folder.iterdir()) == \
        [f"env-{i:03d}-episode-{n:06d}.zmv" for i in range(2) for n in range(3)]
    for i in range(2):
        assert [len(e) for e in episodes[i]] == [10, 10, 3]
        for n, seen in enumerate(episodes[i]):
            assert_replays(folder / f"env-{i:03d}-episode-{n:06d}.zmv", seen, 3)
    assert not np.array_equal(episodes[0][0], episodes[1][0]), "the sub-environments must differ"


def test_a_replay_leaves_the_players_save_file_as_it_was(tmp_path):
    movie = short_movie(tmp_path)
    assert main(["run", DEMO_ROM, "--frames", "1"]) == 0  # the player's save folder
    saved = pathlib.Path(cartridge.save_dir(DEMO_ROM)) / "ram"
    players = bytes(range(256)) * 32
    saved.write_bytes(players)
    assert main(["run", DEMO_ROM, "--movie", str(movie)]) == 0
    assert saved.read_bytes() == players


def test_environments_start_episodes_in_the_given_states(tmp_path):
    early, late = make_state(tmp_path, 70, "early"), make_state(tmp_path, 160, "late")
    expected = []
    for state in (early, late):
        nes = zumbrel.NES(DEMO_ROM, 0)
        restore(nes, state.read_bytes())
        nes.runFrame()
        expected.append(np.array(nes.cpuMem()[:2048]))
    env = NESEnv(DEMO_ROM, obs_type="ram", state=[str(early), late.read_bytes()])
    starts = {int(np.flatnonzero([np.array_equal(env.reset(seed=s)[0], e) for e in expected])[0])
              for s in range(8)}
    assert starts == {0, 1}, "each state must start some of the episodes, and nothing else"
    vector = NESVectorEnv(2, DEMO_ROM, obs_type="ram", state=late)
    observations, _ = vector.reset(seed=0)
    np.testing.assert_array_equal(observations, [expected[1]] * 2)
    vector.close()


def test_what_atari_tools_and_rllib_call():
    env = gymnasium.make("zumbrel/NES-v0", rom=DEMO_ROM, obs_type="gray", screen_size=84, channel_axis=True,
                         normalize=True, actions=RIGHT_ONLY, max_episode_frames=8)
    check_env(env.unwrapped, skip_render_check=True)
    assert env.unwrapped.get_action_meanings() == ["NOOP", "RIGHT", "RIGHT+A", "RIGHT+B", "RIGHT+A+B"]
    assert sorted(env.unwrapped.get_keys_to_action().values()) == [1, 2, 3, 4]
    observation, _ = env.reset(seed=0)
    assert observation.shape == (84, 84, 1) == env.observation_space.shape and observation.dtype == np.float32
    assert 0 < observation.max() <= 1
    assert [env.step(1)[3] for _ in range(2)] == [False, True]


def _gzip_file(path):
    path.write_bytes(gzip.compress(b"FCS" + bytes(64)))
    return path


@pytest.mark.parametrize("make, error, message", [
    (lambda p: NESEnv(DEMO_ROM, state=p / "none.snapshot"), MovieError, "No such file"),
    (lambda p: NESEnv(DEMO_ROM, state=_gzip_file(p / "Level1.state")), ValueError, "--snapshot-at FRAME"),
    (lambda p: NESEnv(DEMO_ROM, state=b"ZUMBSNAP" + bytes(60)), MovieError, "start state"),
    (lambda p: NESEnv(DEMO_ROM, state=[]), ValueError, "empty"),
    (lambda p: NESEnv(DEMO_ROM, state=42), TypeError, "snapshot bytes or a file path"),
    (lambda p: NESEnv(DEMO_ROM, record=str(p / "none")), ValueError, "not a folder"),
    (lambda p: NESEnv(DEMO_ROM, max_episode_frames=0), ValueError, "max_episode_frames must be"),
    (lambda p: NESEnv(DEMO_ROM, obs_type="ram", screen_size=84), ValueError, "screen_size must be"),
    (lambda p: Movie.load(str(p)), MovieError, "movie"),
    (lambda p: Movie.from_bytes(b"ZUMBMOVI" + bytes(24) + b"x"), MovieError, "format 0"),
])
def test_bad_start_states_and_movies_are_refused(tmp_path, make, error, message):
    with pytest.raises(error, match=message):
        make(tmp_path)


def test_the_command_refuses_movies_it_cannot_replay(tmp_path, capfd, roms):
    movie = short_movie(tmp_path)
    short = tmp_path / "short.zmv"
    short.write_bytes(movie.read_bytes()[:-1])
    state = str(tmp_path / "s")
    for argv, message in [
        ([DEMO_ROM, "--movie", str(movie), "--frames", "3"], "has 2 frames"),
        ([DEMO_ROM, "--movie", str(short)], "cut short"),
        ([DEMO_ROM, "--movie", str(movie), "--input", str(movie)], "choose one"),
        ([DEMO_ROM, "--snapshot-at", "700", state, "--frames", "600"], "only 600 frames"),
        ([DEMO_ROM, "--snapshot-at", "x", state], "frame number"),
        ([str(roms / "board_mmc3.nes"), "--movie", str(movie), "--snapshot-at", "0", state], "another cartridge"),
    ]:
        code = main(["run"] + argv)
        err = capfd.readouterr().err
        assert code in (1, 2) and message in err, (argv, err)
    assert not (tmp_path / "s").exists()


def test_the_readme_example_records_and_replays():
    from test_rl import readme_examples

    namespace = {}
    exec(next(block for block in readme_examples() if "Movie.load" in block), namespace)
    assert namespace["movie"].frames == 400
    np.testing.assert_array_equal(namespace["picture"], namespace["observation"])
