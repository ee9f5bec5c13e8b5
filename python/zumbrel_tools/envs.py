"""Gymnasium environments for any cartridge: one console ("zumbrel/NES-v0" with
`gymnasium.make`) or a batch stepped on native threads (`gymnasium.make_vec` with
vectorization_mode="vector_entry_point").

The cartridge `rom` is a file path or the bytes of the image. Reward, termination and extra
information come from functions of the CPU RAM ($0000-$07FF):
`reward(ram_before, ram_after) -> float` over one step, `terminated(ram) -> bool` and
`info(ram) -> dict`. Give module-level functions when environments travel by pickle.

`game` (a folder in stable-retro's layout, a game name, or a `games.Game`; see
zumbrel_tools.games) fills the information with the game's variables each step and takes
reward and termination from its scenario; the functions above add to them (their reward is
added, their termination ends the episode too, their information wins). To replace the
scenario, give `games.load(game, scenario=None)`.

The consoles' diagnostic lines are kept off standard output (`zumbrel_tools.quiet_stdout`).
"""
import os
import pathlib

import gymnasium
import numpy as np
import zumbrel
from gymnasium import spaces
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space
from PIL import Image

from . import games, media
from ._native import StepPool
from .batch import PICTURE_SHAPES, RAM_SIZE, pad_bytes, ram_array, whole_numbers
from .cartridge import parse_header, without_battery
from .cli import display_available
from .console import quiet_stdout
from .demo import DEMO_PLAYER_X, DEMO_PLAYER_Y, demo_reward  # noqa: F401 (importable from here as well)
from .movies import Recorder, pad_bits, read_state, restore_state
from .snapshots import _Image, restore, snapshot

BUTTONS = ("a", "b", "select", "start", "up", "down", "left", "right")

# Button combinations for side-scrolling games, as agents usually get them.
RIGHT_ONLY = ["noop", "right", "right+a", "right+b", "right+a+b"]
SIMPLE_MOVEMENT = RIGHT_ONLY + ["a", "left"]

# The Atari convention: an episode ends (truncated) after 30 minutes of play.
MAX_EPISODE_FRAMES = 108_000


def combo_byte(combo):
    """The input byte of a combination: "right+a", ["right", "a"], "noop" or ""."""
    names = combo.split("+") if isinstance(combo, str) else list(combo)
    byte = 0
    for name in names:
        name = name.strip().lower()
        if name in ("", "noop"):
            continue
        if name not in BUTTONS:
            raise ValueError(f"unknown button {name!r}: the buttons are {', '.join(BUTTONS)}")
        byte |= 0x80 >> BUTTONS.index(name)
    return byte


def _meaning(combo):
    """An action's name in the Atari manner: "NOOP", "RIGHT", "RIGHT+A"."""
    combo_byte(combo)  # refuses unknown buttons
    names = combo.split("+") if isinstance(combo, str) else list(combo)
    return "+".join(n.strip().upper() for n in names if n.strip().lower() not in ("", "noop")) or "NOOP"


def _screen_size(size, obs_type):
    """(height, width) of resized pictures from a number or a pair; None keeps the NES's."""
    if size is None:
        return None
    pair = (size, size) if isinstance(size, (int, np.integer)) else tuple(size)
    if obs_type == "ram" or len(pair) != 2 or not all(isinstance(n, (int, np.integer)) and n >= 1 for n in pair):
        raise ValueError(f"screen_size must be a size in pixels or (height, width) for pictures, not {size!r}")
    return tuple(int(n) for n in pair)


class _Settings:
    """What single and vector environments share: spaces, actions and the RAM functions."""

    def __init__(self, obs_type, frameskip, actions, downsample, max_pool, sticky_actions, noop_max,
                 reward, terminated, info, channel_axis=False, two_pads=False, max_episode_frames=None,
                 screen_size=None, normalize=False):
        if obs_type not in ("rgb", "gray", "ram"):
            raise ValueError(f'obs_type must be "rgb", "gray" or "ram", not {obs_type!r}')
        if not isinstance(frameskip, (int, np.integer)) or frameskip < 1:
            raise ValueError(f"frameskip must be a whole number of frames, at least 1, not {frameskip!r}")
        if not 0.0 <= sticky_actions <= 1.0:
            raise ValueError(f"sticky_actions is a probability, not {sticky_actions!r}")
        if noop_max < 0:
            raise ValueError(f"noop_max must not be negative, not {noop_max!r}")
        if max_episode_frames is not None and max_episode_frames < 1:
            raise ValueError(f"max_episode_frames must be at least 1 or None, not {max_episode_frames!r}")
        self.max_episode_frames = max_episode_frames
        self.channel_axis = bool(channel_axis) and obs_type == "gray"
        self.pads = 2 if two_pads else 1
        self.screen_size = _screen_size(screen_size, obs_type)
        self.normalize = bool(normalize)
        self.obs_type, self.frameskip, self.max_pool = obs_type, int(frameskip), max_pool
        self.sticky_actions, self.noop_max = sticky_actions, int(noop_max)
        self.reward, self.terminated, self.info = reward, terminated, info
        if obs_type == "ram":
            shape = (RAM_SIZE,)
        else:
            self.picture_shape = PICTURE_SHAPES[obs_type, bool(downsample)]
            shape = (self.screen_size or self.picture_shape[:2]) + self.picture_shape[2:]
            shape += (1,) if self.channel_axis else ()
        if self.normalize:
            self.observation_space = spaces.Box(0.0, 1.0, shape, np.float32)
        else:
            self.observation_space = spaces.Box(0, 255, shape, np.uint8)
        if actions is None:
            self.combos = None
            self.meanings = [name.upper() for name in BUTTONS]
            self.action_space = spaces.MultiBinary(8 * self.pads)
        else:
            self.combos = np.array([combo_byte(c) for c in actions], dtype=np.uint8)
            if len(self.combos) == 0:
                raise ValueError("actions must list at least one button combination")
            self.meanings = [_meaning(c) for c in actions]
            n = len(self.combos)
            self.action_space = spaces.MultiDiscrete([n, n]) if two_pads else spaces.Discrete(n)

    def input_bytes(self, actions, count):
        """The input bytes of a batch's actions, shape (count,) or (count, 2) with two pads;
        actions outside the action space are refused."""
        actions = np.asarray(actions)
        n = count * self.pads
        if self.combos is None:
            if actions.size != n * 8:
                raise ValueError(f"an action is {8 * self.pads} buttons of 0 or 1, not {actions.tolist()!r}")
            chosen = pad_bytes(whole_numbers(actions.reshape(n, 8), 1, "action buttons"), n)
        else:
            if actions.size != n or actions.dtype.kind not in "iu":
                raise ValueError(f"actions are whole numbers in 0..{len(self.combos) - 1}, not {actions.tolist()!r}")
            chosen = self.combos[whole_numbers(actions.reshape(n), len(self.combos) - 1, "actions")]
        return chosen.reshape(count, 2) if self.pads == 2 else chosen

    def released(self, count):
        """Input bytes with every button up, shaped as input_bytes gives them."""
        return np.zeros((count, 2) if self.pads == 2 else count, dtype=np.uint8)

    def observe(self, pictures, ram):
        """The observations of the RAM or picture buffers: pictures resized and gray ones with
        their channel axis when asked; as floats in [0, 1] when asked."""
        if pictures is None:
            return ram * np.float32(1 / 255) if self.normalize else ram
        if self.screen_size:
            height, width = self.screen_size
            pictures = np.stack([np.asarray(Image.fromarray(p).resize((width, height), Image.BOX)) for p in pictures])
        if self.normalize:
            pictures = pictures * np.float32(1 / 255)
        return pictures[..., np.newaxis] if self.channel_axis else pictures

    def keys_to_action(self):
        """Keys of `zumbrel play` for each action of pad 1 (gymnasium.utils.play's form)."""
        from .player import key_codes

        code_of = {action: code for code, action in key_codes({}).items()}
        codes = [code_of[name] for name in BUTTONS]
        other_pad = [0] * (8 if self.combos is None else 1) if self.pads == 2 else []
        keys = {}
        if self.combos is None:  # every chord of buttons
            for byte in range(1, 256):
                bits = pad_bits(byte)
                keys[tuple(sorted(c for c, on in zip(codes, bits) if on))] = np.array(bits + other_pad, np.int8)
        else:
            for index, byte in enumerate(self.combos.tolist()):
                chord = tuple(sorted(c for c, on in zip(codes, pad_bits(byte)) if on))
                if chord and chord not in keys:
                    keys[chord] = np.array([index] + other_pad) if other_pad else index
        return keys

    def picture_buffer(self, count):
        if self.obs_type == "ram":
            return None
        return np.zeros((count,) + self.picture_shape, dtype=np.uint8)

    def outcome(self, ram_before, ram_after):
        reward = float(self.reward(ram_before, ram_after)) if self.reward else 0.0
        done = bool(self.terminated(ram_after)) if self.terminated else False
        return reward, done, (dict(self.info(ram_after)) if self.info else {})

    def outcomes(self, ram_before, ram_after, going):
        """Rewards and terminations of a batch; the consoles not `going` (just reset) get none.
        The user's functions are called only for the consoles that need them."""
        count = len(ram_after)
        rewards = np.zeros(count, dtype=np.float64)
        terminations = np.zeros(count, dtype=bool)
        if self.reward:
            rewards[going] = [float(self.reward(ram_before[i], ram_after[i])) for i in going]
        if self.terminated:
            terminations[going] = [bool(self.terminated(ram_after[i])) for i in going]
        return rewards, terminations


def _image_without_battery(rom, allow_unsupported_board):
    """The cartridge (a path, or the bytes of an image that travelled, e.g. to another machine)
    with its battery flag cleared: an environment starts as a console without a save file,
    whatever the player saved, and never writes one over the player's. A board the console
    does not implement would run as a blank machine: it is refused unless allowed."""
    if isinstance(rom, (bytes, bytearray)):
        data, name = bytes(rom), "cartridge.nes"
    else:
        data, name = pathlib.Path(rom).read_bytes(), pathlib.Path(rom).name
    header = parse_header(data)
    if not header.supported and not allow_unsupported_board:
        raise ValueError(f"{name}: board {header.board} ({header.board_name}) is not supported: it would run "
                         "without its board logic (allow_unsupported_board=True runs it anyway)")
    return _Image(without_battery(data), name)


class _Console:
    """One console with its start states: power-on, or the ones the user gave; and a second
    pad when both are played."""

    def __init__(self, image, states, two_pads):
        with quiet_stdout():  # the module's diagnostic lines, once per console
            self.nes = zumbrel.NES(_Image(image.getvalue(), image.name), 0)
        self.starts = states or [snapshot(self.nes)]
        self.pad2 = None
        if two_pads:
            self.pad2 = zumbrel.Controller()
            self.nes.setController(self.pad2, 1)


def _start_states(state):
    """The start states the user gave (None, one, or a list to pick from), each checked."""
    if state is None:
        return None
    many = isinstance(state, (list, tuple))
    states = [read_state(s) for s in (state if many else [state])]
    if not states:
        raise ValueError("state: the list of start states is empty")
    return states


def _check_states(console, states):
    for i, state in enumerate(states or []):
        restore_state(console.nes, state, f"start state {i}" if len(states) > 1 else "start state")


def _check_window_possible():
    """The "human" mode needs pygame, and a display: without one SDL would draw off-screen."""
    try:
        import pygame  # noqa: F401
    except ImportError:
        raise gymnasium.error.DependencyNotInstalled(
            'render_mode="human" needs pygame: pip install "zumbrel[play]"') from None
    if not display_available() and not os.environ.get("SDL_VIDEODRIVER"):
        gymnasium.logger.warn('render_mode="human" without a display: the window is drawn off-screen, '
                              "unseen (set SDL_VIDEODRIVER to choose a video driver)")


class _Window:
    """The "human" picture: a pygame window, opened on the first frame."""

    def __init__(self, fps, human):
        self.fps, self.screen, self.clock = fps, None, None
        if human:
            _check_window_possible()

    def show(self, picture):
        import pygame

        if self.screen is None:
            pygame.display.init()
            self.screen = pygame.display.set_mode((512, 480))
            pygame.display.set_caption("zumbrel")
            self.clock = pygame.time.Clock()
        pygame.event.pump()
        surface = pygame.surfarray.make_surface(np.ascontiguousarray(picture.swapaxes(0, 1)))
        self.screen.blit(pygame.transform.scale(surface, (512, 480)), (0, 0))
        pygame.display.flip()
        self.clock.tick(self.fps)

    def close(self):
        if self.screen is not None:
            import pygame

            pygame.display.quit()
            self.screen = None


class _Batch:
    """The stepping both environment kinds use: consoles, their pool and output buffers."""

    def __init__(self, settings, rom, count, threads, allow_unsupported_board, state=None):
        self.settings = settings
        image = _image_without_battery(rom, allow_unsupported_board)
        self.allow_unsupported_board = allow_unsupported_board
        states = _start_states(state)
        self.consoles = [_Console(image, states, settings.pads == 2) for _ in range(count)]
        _check_states(self.consoles[0], states)
        self.nes = [c.nes for c in self.consoles]
        self.pool = StepPool(threads)
        self.pictures = settings.picture_buffer(count)
        self.ram = ram_array(count)
        self.ram_before = np.zeros_like(self.ram)
        self.last_buttons = settings.released(count)  # for sticky actions

    def step(self, indices, buttons, frames):
        """Steps the consoles at `indices` (None: all); their rows of the buffers receive the results."""
        buttons = np.ascontiguousarray(buttons, dtype=np.uint8)
        if buttons.ndim == 2:  # pad 2 by its Controller; the pool holds pad 1
            for i, byte in zip(range(len(self.consoles)) if indices is None else indices, buttons[:, 1].tolist()):
                self.consoles[i].pad2.updateInputs(pad_bits(byte))
            buttons = np.ascontiguousarray(buttons[:, 0])
        if indices is None or len(indices) == len(self.consoles):
            self.pool.step(self.nes, buttons, frames, self.pictures, self.ram, self.settings.max_pool,
                           self.allow_unsupported_board)
            return
        if len(indices) == 0:
            return
        pictures = None if self.pictures is None else self.pictures[indices]
        ram = self.ram[indices]
        self.pool.step([self.nes[i] for i in indices], buttons, frames, pictures, ram, self.settings.max_pool,
                       self.allow_unsupported_board)
        if pictures is not None:
            self.pictures[indices] = pictures
        self.ram[indices] = ram

    # Arrays handed out as observations are never written again: a step writes into new ones
    # (every row is rewritten), a reset into copies (it may rewrite only some rows).
    def begin_step(self):
        self.ram_before, self.ram = self.ram, np.empty_like(self.ram)
        if self.pictures is not None:
            self.pictures = np.empty_like(self.pictures)

    def begin_reset(self):
        self.ram = self.ram.copy()
        if self.pictures is not None:
            self.pictures = self.pictures.copy()

    def reset(self, indices, rngs):
        """Back to a start state (power-on unless the user gave others; one picked at random
        from several), then one frame and a random number of frames without input."""
        groups = {}
        for i in indices:
            starts = self.consoles[i].starts
            restore(self.nes[i], starts[int(rngs[i].integers(len(starts)))] if len(starts) > 1 else starts[0])
            extra = int(rngs[i].integers(0, self.settings.noop_max + 1)) if self.settings.noop_max else 0
            groups.setdefault(1 + extra, []).append(i)
        self.last_buttons[indices] = 0
        for frames, group in groups.items():
            self.step(group, self.settings.released(len(group)), frames)

    def act(self, indices, buttons, rngs):
        """Sticky actions: with the given probability a console keeps its previous buttons.
        `indices` None stands for every console."""
        buttons = np.array(buttons, dtype=np.uint8)
        rows = slice(None) if indices is None else indices
        if self.settings.sticky_actions:
            chosen = range(len(self.consoles)) if indices is None else indices
            keep = np.array([rngs[i].random() < self.settings.sticky_actions for i in chosen], dtype=bool)
            buttons[keep] = self.last_buttons[rows][keep]
        self.last_buttons[rows] = buttons
        self.step(indices, buttons, self.settings.frameskip)

    def observations(self):
        return self.settings.observe(self.pictures, self.ram)

    def frame(self, i):
        return np.array(self.nes[i].getImg())


class _Recording:
    """Each console's episodes as movies in a folder: episode-000000.zmv onwards, or with the
    console's number first when a batch records (env-001-episode-000000.zmv), so that no
    console's movie replaces another's. A name already taken (by another environment or an
    earlier run recording into the folder) is passed over, never replaced."""

    def __init__(self, folder, count, numbered):
        if not os.path.isdir(folder):
            raise ValueError(f"record: {folder} is not a folder")
        self.folder = folder
        self.prefixes = [f"env-{i:03d}-" if numbered else "" for i in range(count)]
        self.recorders = [None] * count
        self.episodes = [0] * count

    def start(self, i, nes):
        """A new episode of console `i` from its state now; the unfinished one is kept."""
        self.save(i)
        self.recorders[i] = Recorder(nes)

    def add(self, i, held, frames):
        """The input bytes console `i` held (one pad's, or both pads') for `frames` frames;
        nothing once its episode ended and was saved."""
        if self.recorders[i] is not None:
            self.recorders[i].add(*np.atleast_1d(held).tolist(), frames=frames)

    def save(self, i):
        recorder, self.recorders[i] = self.recorders[i], None
        if recorder is not None and recorder.frames:
            data = recorder.movie().to_bytes()
            path = os.path.join(self.folder, f"{self.prefixes[i]}episode-{{:06d}}.zmv").format
            self.episodes[i] = media.write_new(path, self.episodes[i], lambda file: file.write(data)) + 1

    def close(self):
        for i in range(len(self.recorders)):
            self.save(i)


class _Actions:
    """What both environment kinds tell about their actions."""

    def get_action_meanings(self):
        """The actions' names: "NOOP", "RIGHT+A", ... or the buttons "A" to "RIGHT"."""
        return list(self._settings.meanings)


class NESEnv(_Actions, gymnasium.Env):
    """One console as a Gymnasium environment.

    obs_type: "rgb" (240, 256, 3), "gray" (240, 256) or "ram" (2048,); `downsample` halves
    the pictures. actions: None for the eight buttons (MultiBinary(8), in the order A, B,
    Select, Start, Up, Down, Left, Right), or a list of combinations such as
    ["noop", "right", "right+a"] (Discrete). Each step holds the buttons `frameskip` frames;
    with `max_pool` the picture is the maximum of the last two. `sticky_actions`: probability
    that a step keeps the previous step's buttons. reset() puts the console back in its start
    state and runs one frame plus 0..`noop_max` frames chosen by a seeded generator, without
    input. The start state is power-on, or `state`: snapshot bytes or a snapshot file, or a
    list of them to pick from at random per episode. A cartridge whose board the console does
    not implement is refused unless `allow_unsupported_board` is true.

    `screen_size`: pictures resized by averaging to that many pixels square, or (height,
    width): 84 is the Atari convention, and a size that RLlib's default networks take.
    `normalize`: observations as float32 in [0, 1] (RLlib's default networks take no bytes).
    `channel_axis`: gray pictures get a channel axis, (240, 256, 1). `two_pads`: actions for
    both pads, MultiBinary(16) or MultiDiscrete([n, n]). An episode is truncated after
    `max_episode_frames` frames (None: never). `record`: a folder that receives each episode
    as a movie (`zumbrel_tools.movies`), episode-000000.zmv onwards.
    """

    metadata = {"render_modes": ["rgb_array", "human"], "render_fps": 15}

    def __init__(self, rom, obs_type="rgb", frameskip=4, actions=None, downsample=False, max_pool=True,
                 sticky_actions=0.0, noop_max=0, reward=None, terminated=None, info=None, render_mode=None,
                 allow_unsupported_board=False, game=None, state=None, channel_axis=False, two_pads=False,
                 max_episode_frames=MAX_EPISODE_FRAMES, record=None, screen_size=None, normalize=False):
        if render_mode not in (None, "rgb_array", "human"):
            raise ValueError(f'render_mode must be None, "rgb_array" or "human", not {render_mode!r}')
        self._recording = None if record is None else _Recording(record, 1, numbered=False)
        self._settings = _Settings(obs_type, frameskip, actions, downsample, max_pool, sticky_actions, noop_max,
                                   reward, terminated, info, channel_axis, two_pads, max_episode_frames,
                                   screen_size, normalize)
        self.observation_space = self._settings.observation_space
        self.action_space = self._settings.action_space
        self.render_mode = render_mode
        self.metadata = dict(self.metadata, render_fps=max(1, round(60 / self._settings.frameskip)))
        self._batch = _Batch(self._settings, rom, 1, 1, allow_unsupported_board, state)
        self._games = games.runs(game, rom, self._batch.nes)
        self._window = _Window(self.metadata["render_fps"], render_mode == "human")
        self._frames = 0

    @property
    def nes(self):
        """The console itself (for reading its memories; leave its stepping to the environment)."""
        return self._batch.nes[0]

    def reset(self, *, seed=None, options=None):
        super().reset(seed=seed)
        self._batch.begin_reset()
        self._batch.reset([0], [self.np_random])
        self._frames = 0
        if self._recording is not None:
            self._recording.start(0, self.nes)
        _, _, info = self._settings.outcome(self._batch.ram[0], self._batch.ram[0])
        if self._games:
            info = {**self._games[0].start(), **info}
        self._show()
        return self._batch.observations()[0], info

    def step(self, action):
        self._batch.begin_step()
        self._batch.act([0], self._settings.input_bytes(action, 1), [self.np_random])
        self._frames += self._settings.frameskip
        reward, terminated, info = self._settings.outcome(self._batch.ram_before[0], self._batch.ram[0])
        if self._games:
            game_reward, game_over, game_info = self._games[0].step()
            reward, terminated, info = reward + game_reward, terminated or game_over, {**game_info, **info}
        limit = self._settings.max_episode_frames
        truncated = not terminated and limit is not None and self._frames >= limit
        if self._recording is not None:
            self._recording.add(0, self._batch.last_buttons[0], self._settings.frameskip)
            if terminated or truncated:
                self._recording.save(0)
        self._show()
        return self._batch.observations()[0], reward, terminated, truncated, info

    def get_keys_to_action(self):
        """The keys of `zumbrel play` for pad 1's actions, for gymnasium.utils.play (needs pygame)."""
        return self._settings.keys_to_action()

    def render(self):
        if self.render_mode == "rgb_array":
            return self._batch.frame(0)
        return None

    def _show(self):
        if self.render_mode == "human":
            self._window.show(self._batch.frame(0))

    def close(self):
        if self._recording is not None:
            self._recording.close()
        self._window.close()


class NESVectorEnv(_Actions, VectorEnv):
    """`num_envs` consoles of one cartridge stepped together on `num_threads` native threads.

    Takes the arguments of NESEnv, and `max_episode_steps` for truncation. A sub-environment
    that ended is reset by the next step, which ignores its action (Gymnasium's next-step
    autoreset). `record` names each movie after its sub-environment: env-000-episode-000000.zmv.
    """

    metadata = {"render_modes": ["rgb_array", "human"], "render_fps": 15, "autoreset_mode": AutoresetMode.NEXT_STEP}

    def __init__(self, num_envs, rom, num_threads=1, obs_type="rgb", frameskip=4, actions=None, downsample=False,
                 max_pool=True, sticky_actions=0.0, noop_max=0, reward=None, terminated=None, info=None,
                 max_episode_steps=None, render_mode=None, allow_unsupported_board=False, game=None, state=None,
                 channel_axis=False, two_pads=False, max_episode_frames=MAX_EPISODE_FRAMES, screen_size=None,
                 normalize=False, record=None):
        if num_envs < 1:
            raise ValueError(f"num_envs must be at least 1, not {num_envs!r}")
        if render_mode not in (None, "rgb_array", "human"):
            raise ValueError(f'render_mode must be None, "rgb_array" or "human", not {render_mode!r}')
        self._settings = _Settings(obs_type, frameskip, actions, downsample, max_pool, sticky_actions, noop_max,
                                   reward, terminated, info, channel_axis, two_pads, max_episode_frames,
                                   screen_size, normalize)
        self.num_envs = num_envs
        self.single_observation_space = self._settings.observation_space
        self.single_action_space = self._settings.action_space
        self.observation_space = batch_space(self.single_observation_space, num_envs)
        self.action_space = batch_space(self.single_action_space, num_envs)
        self.render_mode = render_mode
        self.metadata = dict(self.metadata, render_fps=max(1, round(60 / self._settings.frameskip)))
        self.max_episode_steps = max_episode_steps
        self._batch = _Batch(self._settings, rom, num_envs, num_threads, allow_unsupported_board, state)
        self._games = games.runs(game, rom, self._batch.nes)
        self._rngs = [np.random.default_rng() for _ in range(num_envs)]
        self._steps = np.zeros(num_envs, dtype=np.int64)
        self._ended = np.zeros(num_envs, dtype=bool)
        self._window = _Window(self.metadata["render_fps"], render_mode == "human")
        self._recording = None if record is None else _Recording(record, num_envs, numbered=True)

    @property
    def consoles(self):
        return list(self._batch.nes)

    def reset(self, *, seed=None, options=None):
        one_seed = seed is None or isinstance(seed, (int, np.integer))
        super().reset(seed=seed if one_seed else None)
        if seed is not None:
            seeds = [seed + i for i in range(self.num_envs)] if one_seed else list(seed)
            if len(seeds) != self.num_envs:
                raise ValueError(f"reset: {len(seeds)} seeds for {self.num_envs} environments")
            self._rngs = [np.random.default_rng(s) for s in seeds]
        mask = np.asarray((options or {}).get("reset_mask", np.ones(self.num_envs, bool)), bool)
        indices = np.flatnonzero(mask)
        self._batch.begin_reset()
        self._batch.reset(indices, self._rngs)
        self._steps[indices] = 0
        self._ended[indices] = False
        self._start_movies(indices)
        infos = {}
        for i in indices if self._games else ():
            infos = self._add_info(infos, self._games[i].start(), i)
        if self._settings.info:
            for i in indices:
                infos = self._add_info(infos, dict(self._settings.info(self._batch.ram[i])), i)
        self._show()
        return self._observations(), infos

    def step(self, actions):
        buttons = self._settings.input_bytes(actions, self.num_envs)
        batch, ended = self._batch, self._ended
        batch.begin_step()
        if ended.any():  # those reset now and ignore their action
            restart, going = np.flatnonzero(ended), np.flatnonzero(~ended)
            batch.reset(restart, self._rngs)
            self._steps[restart] = 0
            self._start_movies(restart)
            batch.act(going, buttons[going], self._rngs)
            self._steps[going] += 1
        else:
            going = range(self.num_envs)
            batch.act(None, buttons, self._rngs)
            self._steps += 1
        rewards, terminations = self._settings.outcomes(batch.ram_before, batch.ram, going)
        infos = {}
        if self._games:
            infos = games.step_runs(self._games, going, rewards, terminations, infos, self._add_info)
        if self._settings.info:
            for i in range(self.num_envs):
                infos = self._add_info(infos, dict(self._settings.info(batch.ram[i])), i)
        truncations = np.zeros(self.num_envs, dtype=bool)
        limit = self._settings.max_episode_frames
        if self.max_episode_steps or limit:
            steps = self.max_episode_steps or np.inf
            frames = np.inf if limit is None else limit
            over = (self._steps >= steps) | (self._steps * self._settings.frameskip >= frames)
            truncations = ~terminations & ~ended & over
        self._ended = terminations | truncations
        if self._recording is not None:
            for i in going:
                self._recording.add(i, batch.last_buttons[i], self._settings.frameskip)
            for i in np.flatnonzero(self._ended):
                self._recording.save(i)
        self._show()
        return self._observations(), rewards, terminations, truncations, infos

    def _start_movies(self, indices):
        if self._recording is not None:
            for i in indices:
                self._recording.start(i, self._batch.nes[i])

    def render(self):
        if self.render_mode == "rgb_array":
            return tuple(self._batch.frame(i) for i in range(self.num_envs))
        return None

    def _observations(self):
        return self._batch.observations()

    def _show(self):
        if self.render_mode == "human":
            self._window.show(self._batch.frame(0))

    def close_extras(self, **kwargs):
        if self._recording is not None:
            self._recording.close()
        self._window.close()
