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
"""
import pathlib

import gymnasium
import numpy as np
import zumbrel
from gymnasium import spaces
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space

from . import games
from ._native import StepPool
from .batch import PICTURE_SHAPES, pad_bytes, whole_numbers
from .console import quiet_stdout
from .snapshots import _Image, restore, snapshot

BUTTONS = ("a", "b", "select", "start", "up", "down", "left", "right")

# Button combinations for side-scrolling games, as agents usually get them.
RIGHT_ONLY = ["noop", "right", "right+a", "right+b", "right+a+b"]
SIMPLE_MOVEMENT = RIGHT_ONLY + ["a", "left"]

# Where the demo cartridge keeps its character's position; Y stays 0 until the game places it.
DEMO_PLAYER_X = 0x05
DEMO_PLAYER_Y = 0x06


def demo_reward(ram_before, ram_after):
    """The demo cartridge's reward: pixels the character moved right (negative when left)."""
    if ram_before[DEMO_PLAYER_Y] == 0:
        return 0.0
    return float(int(ram_after[DEMO_PLAYER_X]) - int(ram_before[DEMO_PLAYER_X]))


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


class _Settings:
    """What single and vector environments share: spaces, actions and the RAM functions."""

    def __init__(self, obs_type, frameskip, actions, downsample, max_pool, sticky_actions, noop_max,
                 reward, terminated, info):
        if obs_type not in ("rgb", "gray", "ram"):
            raise ValueError(f'obs_type must be "rgb", "gray" or "ram", not {obs_type!r}')
        if not isinstance(frameskip, (int, np.integer)) or frameskip < 1:
            raise ValueError(f"frameskip must be a whole number of frames, at least 1, not {frameskip!r}")
        if not 0.0 <= sticky_actions <= 1.0:
            raise ValueError(f"sticky_actions is a probability, not {sticky_actions!r}")
        if noop_max < 0:
            raise ValueError(f"noop_max must not be negative, not {noop_max!r}")
        self.obs_type, self.frameskip, self.max_pool = obs_type, int(frameskip), max_pool
        self.sticky_actions, self.noop_max = sticky_actions, int(noop_max)
        self.reward, self.terminated, self.info = reward, terminated, info
        if obs_type == "ram":
            self.observation_space = spaces.Box(0, 255, (2048,), np.uint8)
        else:
            self.observation_space = spaces.Box(0, 255, PICTURE_SHAPES[obs_type, bool(downsample)], np.uint8)
        if actions is None:
            self.combos = None
            self.action_space = spaces.MultiBinary(8)
        else:
            self.combos = np.array([combo_byte(c) for c in actions], dtype=np.uint8)
            if len(self.combos) == 0:
                raise ValueError("actions must list at least one button combination")
            self.action_space = spaces.Discrete(len(self.combos))

    def input_bytes(self, actions, count):
        """The input bytes of `count` actions; actions outside the action space are refused."""
        actions = np.asarray(actions)
        if self.combos is None:
            if actions.size != count * 8:
                raise ValueError(f"an action is 8 buttons of 0 or 1, not {actions.tolist()!r}")
            return pad_bytes(whole_numbers(actions.reshape(count, 8), 1, "action buttons"), count)
        if actions.size != count or actions.dtype.kind not in "iu":
            raise ValueError(f"actions are whole numbers in 0..{len(self.combos) - 1}, not {actions.tolist()!r}")
        return self.combos[whole_numbers(actions.reshape(count), len(self.combos) - 1, "actions")]

    def picture_buffer(self, count):
        if self.obs_type == "ram":
            return None
        return np.zeros((count,) + self.observation_space.shape, dtype=np.uint8)

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


def _image_without_battery(rom):
    """The cartridge (a path, or the bytes of an image that travelled, e.g. to another machine)
    with its battery flag cleared: an environment starts as a console without a save file,
    whatever the player saved, and never writes one over the player's."""
    if isinstance(rom, (bytes, bytearray)):
        data, name = bytearray(rom), "cartridge.nes"
    else:
        data, name = bytearray(pathlib.Path(rom).read_bytes()), pathlib.Path(rom).name
    if data[:4] == b"NES\x1a" and len(data) > 6:
        data[6] &= ~0x02
    return _Image(bytes(data), name)


class _Console:
    """One console with its power-on snapshot."""

    def __init__(self, rom):
        with quiet_stdout():  # the module's diagnostic lines, once per console
            self.nes = zumbrel.NES(_image_without_battery(rom), 0)
        self.power_on = snapshot(self.nes)


class _Window:
    """The "human" picture: a pygame window, opened on the first frame."""

    def __init__(self, fps):
        self.fps, self.screen, self.clock = fps, None, None

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

    def __init__(self, settings, rom, count, threads):
        self.settings = settings
        self.consoles = [_Console(rom) for _ in range(count)]
        self.nes = [c.nes for c in self.consoles]
        self.pool = StepPool(threads)
        self.pictures = settings.picture_buffer(count)
        self.ram = np.zeros((count, 2048), dtype=np.uint8)
        self.ram_before = np.zeros_like(self.ram)
        self.last_buttons = np.zeros(count, dtype=np.uint8)  # for sticky actions

    def step(self, indices, buttons, frames):
        """Steps the consoles at `indices` (None: all); their rows of the buffers receive the results."""
        buttons = np.ascontiguousarray(buttons, dtype=np.uint8)
        if indices is None or len(indices) == len(self.consoles):
            self.pool.step(self.nes, buttons, frames, self.pictures, self.ram, self.settings.max_pool)
            return
        if len(indices) == 0:
            return
        pictures = None if self.pictures is None else self.pictures[indices]
        ram = self.ram[indices]
        self.pool.step([self.nes[i] for i in indices], buttons, frames, pictures, ram, self.settings.max_pool)
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
        """Power-on again, then one frame and a random number of frames without input."""
        groups = {}
        for i in indices:
            restore(self.nes[i], self.consoles[i].power_on)
            extra = int(rngs[i].integers(0, self.settings.noop_max + 1)) if self.settings.noop_max else 0
            groups.setdefault(1 + extra, []).append(i)
        self.last_buttons[indices] = 0
        for frames, group in groups.items():
            self.step(group, np.zeros(len(group), np.uint8), frames)

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
        return self.ram if self.pictures is None else self.pictures

    def frame(self, i):
        return np.array(self.nes[i].getImg())


class NESEnv(gymnasium.Env):
    """One console as a Gymnasium environment.

    obs_type: "rgb" (240, 256, 3), "gray" (240, 256) or "ram" (2048,); `downsample` halves
    the pictures. actions: None for the eight buttons (MultiBinary(8), in the order A, B,
    Select, Start, Up, Down, Left, Right), or a list of combinations such as
    ["noop", "right", "right+a"] (Discrete). Each step holds the buttons `frameskip` frames;
    with `max_pool` the picture is the maximum of the last two. `sticky_actions`: probability
    that a step keeps the previous step's buttons. reset() powers the console on again (from a
    snapshot taken when it was built) and runs one frame plus 0..`noop_max` frames chosen by
    a seeded generator, without input.
    """

    metadata = {"render_modes": ["rgb_array", "human"], "render_fps": 15}

    def __init__(self, rom, obs_type="rgb", frameskip=4, actions=None, downsample=False, max_pool=True,
                 sticky_actions=0.0, noop_max=0, reward=None, terminated=None, info=None, render_mode=None,
                 game=None):
        if render_mode not in (None, "rgb_array", "human"):
            raise ValueError(f'render_mode must be None, "rgb_array" or "human", not {render_mode!r}')
        self._settings = _Settings(obs_type, frameskip, actions, downsample, max_pool, sticky_actions, noop_max,
                                   reward, terminated, info)
        self.observation_space = self._settings.observation_space
        self.action_space = self._settings.action_space
        self.render_mode = render_mode
        self.metadata = dict(self.metadata, render_fps=max(1, round(60 / self._settings.frameskip)))
        self._batch = _Batch(self._settings, rom, 1, 1)
        self._games = games.runs(game, rom, self._batch.nes)
        self._window = _Window(self.metadata["render_fps"])

    @property
    def nes(self):
        """The console itself (for reading its memories; leave its stepping to the environment)."""
        return self._batch.nes[0]

    def reset(self, *, seed=None, options=None):
        super().reset(seed=seed)
        self._batch.begin_reset()
        self._batch.reset([0], [self.np_random])
        _, _, info = self._settings.outcome(self._batch.ram[0], self._batch.ram[0])
        if self._games:
            info = {**self._games[0].start(), **info}
        self._show()
        return self._batch.observations()[0], info

    def step(self, action):
        self._batch.begin_step()
        self._batch.act([0], self._settings.input_bytes(action, 1), [self.np_random])
        reward, terminated, info = self._settings.outcome(self._batch.ram_before[0], self._batch.ram[0])
        if self._games:
            game_reward, game_over, game_info = self._games[0].step()
            reward, terminated, info = reward + game_reward, terminated or game_over, {**game_info, **info}
        self._show()
        return self._batch.observations()[0], reward, terminated, False, info

    def render(self):
        if self.render_mode == "rgb_array":
            return self._batch.frame(0)
        return None

    def _show(self):
        if self.render_mode == "human":
            self._window.show(self._batch.frame(0))

    def close(self):
        self._window.close()


class NESVectorEnv(VectorEnv):
    """`num_envs` consoles of one cartridge stepped together on `num_threads` native threads.

    Takes the arguments of NESEnv, and `max_episode_steps` for truncation. A sub-environment
    that ended is reset by the next step, which ignores its action (Gymnasium's next-step
    autoreset).
    """

    metadata = {"render_modes": ["rgb_array", "human"], "render_fps": 15, "autoreset_mode": AutoresetMode.NEXT_STEP}

    def __init__(self, num_envs, rom, num_threads=1, obs_type="rgb", frameskip=4, actions=None, downsample=False,
                 max_pool=True, sticky_actions=0.0, noop_max=0, reward=None, terminated=None, info=None,
                 max_episode_steps=None, render_mode=None, game=None):
        if num_envs < 1:
            raise ValueError(f"num_envs must be at least 1, not {num_envs!r}")
        if render_mode not in (None, "rgb_array", "human"):
            raise ValueError(f'render_mode must be None, "rgb_array" or "human", not {render_mode!r}')
        self._settings = _Settings(obs_type, frameskip, actions, downsample, max_pool, sticky_actions, noop_max,
                                   reward, terminated, info)
        self.num_envs = num_envs
        self.single_observation_space = self._settings.observation_space
        self.single_action_space = self._settings.action_space
        self.observation_space = batch_space(self.single_observation_space, num_envs)
        self.action_space = batch_space(self.single_action_space, num_envs)
        self.render_mode = render_mode
        self.metadata = dict(self.metadata, render_fps=max(1, round(60 / self._settings.frameskip)))
        self.max_episode_steps = max_episode_steps
        self._batch = _Batch(self._settings, rom, num_envs, num_threads)
        self._games = games.runs(game, rom, self._batch.nes)
        self._rngs = [np.random.default_rng() for _ in range(num_envs)]
        self._steps = np.zeros(num_envs, dtype=np.int64)
        self._ended = np.zeros(num_envs, dtype=bool)
        self._window = _Window(self.metadata["render_fps"])

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
        if self.max_episode_steps:
            truncations = ~terminations & ~ended & (self._steps >= self.max_episode_steps)
        self._ended = terminations | truncations
        self._show()
        return self._observations(), rewards, terminations, truncations, infos

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
        self._window.close()
