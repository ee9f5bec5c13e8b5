"""Games described in files, in the folder layout stable-retro's integrations use:

- data.json: named variables in the CPU address space, {"address": 1820, "type": "|u1"}; a
  type is a byte order ("|" one byte, "<" little-endian, ">" big-endian), a kind ("u"
  unsigned, "i" signed, "d" packed decimal, two digits a byte, "n" one decimal digit a byte)
  and a byte count; an optional "mask" keeps some bits of the value;
- scenario.json: the end of an episode ("done": variables with an "op" and a "reference",
  combined by "condition" "any" or "all", with nested "nodes") and the reward ("reward":
  a variable's rise times its "reward", its fall times its "penalty"); either may instead
  name a Lua function of the scenario's "scripts" ("lua:name"), which needs lupa;
- metadata.json: "default_state", the start state stable-retro loads;
- rom.sha: SHA-1 of the cartridge image without its 16-byte header.

A game is a folder, or a name looked up among the games shipped here and, when stable-retro
is installed, among its integrations (read where it keeps them, never copied).
"""
from __future__ import annotations

import hashlib
import importlib.util
import json
import operator
import os
import pathlib
import re
import warnings
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

GAMES_DIR = pathlib.Path(__file__).resolve().parent / "data" / "games"
# Folders of an installed stable-retro's integrations, inside its package.
RETRO_PACKAGES = ("stable_retro", "retro")
RETRO_FOLDERS = ("stable", "experimental", "contrib")
DEFAULT_SCENARIO = "scenario"

MAKE_START_STATE = ("make a zumbrel start state instead: zumbrel run game.nes --input pads.txt "
                    "--snapshot-at FRAME FILE (the buttons of pads.txt lead to the point to start from)")

BYTE_ORDERS = {"|": "little", "<": "little", ">": "big", "=": "little"}

# A test of a value against the reference ("zero" and the like ignore the reference).
OPS: Dict[str, Callable[[int, int], bool]] = {
    "equal": operator.eq,
    "not-equal": operator.ne,
    "less-than": operator.lt,
    "greater-than": operator.gt,
    "less-or-equal": operator.le,
    "greater-or-equal": operator.ge,
    "zero": lambda value, _: value == 0,
    "nonzero": lambda value, _: value != 0,
    "positive": lambda value, _: value > 0,
    "negative": lambda value, _: value < 0,
}
MEASUREMENTS = ("absolute", "delta")


class GameError(ValueError):
    """A game folder that cannot be read, or a request it cannot serve."""


@dataclass(frozen=True)
class VariableType:
    order: str  # "little" or "big"
    kind: str
    size: int


def parse_type(text: str) -> VariableType:
    """A type such as "|u1", "<u2" or ">n6"."""
    if not isinstance(text, str) or not re.fullmatch(r"[|<>=][uidn][1-8]", text):
        raise GameError(f"type {text!r}: a type is a byte order (| < >), a kind (u i d n) and 1 to 8 bytes, "
                        'as in "|u1" or ">n6"')
    size = int(text[2:])
    if text[0] == "|" and size > 1:
        raise GameError(f'type {text!r}: "|" (no byte order) fits one byte; say "<" or ">"')
    return VariableType(BYTE_ORDERS[text[0]], text[1], size)


def decode(raw: bytes, vtype: VariableType) -> int:
    """The value of a variable's bytes, as they lie in memory."""
    first_high = raw if vtype.order == "big" else raw[::-1]
    if vtype.kind in "ui":
        return int.from_bytes(first_high, "big", signed=vtype.kind == "i")
    value = 0
    for byte in first_high:
        if vtype.kind == "d":
            value = value * 100 + (byte >> 4) * 10 + (byte & 0x0F)
        else:
            value = value * 10 + (byte & 0x0F)
    return value


@dataclass(frozen=True)
class Variable:
    name: str
    address: int
    vtype: VariableType
    mask: Optional[int] = None

    def read(self, memory) -> int:
        value = decode(memory[self.address:self.address + self.vtype.size].tobytes(), self.vtype)
        return value if self.mask is None else value & self.mask


def _is_int(value) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _fold(address: int) -> int:
    """The address of a byte of the 2 KiB RAM's mirrors in the RAM itself."""
    return address & 0x07FF if address < 0x2000 else address


def parse_variables(info: dict, where: str) -> Dict[str, Variable]:
    if not isinstance(info, dict):
        raise GameError(f'{where}: "info" must be an object of variables')
    variables = {}
    for name, entry in info.items():
        address: Any = entry.get("address") if isinstance(entry, dict) else None
        if not _is_int(address) or "type" not in entry:
            raise GameError(f'{where}: variable {name!r} needs an "address" (a number) and a "type"')
        try:
            vtype = parse_type(entry["type"])
        except GameError as error:
            raise GameError(f"{where}: variable {name!r}: {error}") from None
        if not 0 <= address <= 0x10000 - vtype.size:
            raise GameError(f"{where}: variable {name!r}: address {entry['address']} is outside the CPU's "
                            "64 KiB address space")
        mask = entry.get("mask")
        if mask is not None and not _is_int(mask):
            raise GameError(f'{where}: variable {name!r}: "mask" must be a whole number')
        variables[name] = Variable(name, _fold(address), vtype, mask)
    return variables


# -- scenario ---------------------------------------------------------------------------------

@dataclass(frozen=True)
class Test:
    """One variable's part of the end of an episode."""
    variable: str
    op: str  # a name of OPS, so that a game travels by pickle
    reference: int
    delta: bool

    def holds(self, before: Dict[str, int], after: Dict[str, int]) -> bool:
        value = after[self.variable] - (before[self.variable] if self.delta else 0)
        return OPS[self.op](value, self.reference)


@dataclass(frozen=True)
class Group:
    """Tests and nested groups, of which any or all must hold; an empty group never holds."""
    every: bool
    tests: Tuple[Test, ...]
    nodes: Tuple["Group", ...]

    def holds(self, before: Dict[str, int], after: Dict[str, int]) -> bool:
        results = [t.holds(before, after) for t in self.tests] + [n.holds(before, after) for n in self.nodes]
        return bool(results) and (all(results) if self.every else any(results))


@dataclass(frozen=True)
class Term:
    """One variable's part of the reward: its rise times `reward`, its fall times `penalty`."""
    variable: str
    reward: float
    penalty: float
    delta: bool

    def value(self, before: Dict[str, int], after: Dict[str, int]) -> float:
        change = after[self.variable] - (before[self.variable] if self.delta else 0)
        return change * (self.reward if change > 0 else self.penalty)


@dataclass(frozen=True)
class Scenario:
    name: str
    done: Group
    terms: Tuple[Term, ...]
    lua_done: Optional[str] = None
    lua_reward: Optional[str] = None
    scripts: Tuple[pathlib.Path, ...] = ()

    @property
    def uses_lua(self) -> bool:
        return bool(self.lua_done or self.lua_reward)


def _number(entry: dict, key: str, default, where: str):
    value = entry.get(key, default)
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise GameError(f"{where}: {key!r} must be a number, not {value!r}")
    return value


def _measurement(entry: dict, default: str, where: str) -> bool:
    measurement = entry.get("measurement", default)
    if measurement not in MEASUREMENTS:
        raise GameError(f'{where}: "measurement" is "absolute" or "delta", not {measurement!r}')
    return measurement == "delta"


def _known(entry: dict, keys: Tuple[str, ...], where: str) -> None:
    unknown = sorted(set(entry) - set(keys))
    if unknown:
        raise GameError(f"{where}: unknown keys {', '.join(map(repr, unknown))} (known: {', '.join(keys)})")


def _group(entry: dict, variables: Dict[str, Variable], where: str) -> Group:
    if not isinstance(entry, dict):
        raise GameError(f"{where}: must be an object")
    _known(entry, ("condition", "variables", "nodes", "script"), where)
    condition = entry.get("condition", "any")
    if condition not in ("any", "all"):
        raise GameError(f'{where}: "condition" is "any" or "all", not {condition!r}')
    tests = []
    for name, test, here in _entries(entry, variables, ("op", "reference", "measurement"), where):
        op = test.get("op")
        if op not in OPS:
            raise GameError(f"{here}: unknown op {op!r} (known: {', '.join(OPS)})")
        tests.append(Test(name, op, _number(test, "reference", 0, here), _measurement(test, "absolute", here)))
    nodes = entry.get("nodes", {})
    if not isinstance(nodes, dict):
        raise GameError(f'{where}: "nodes" must be an object')
    return Group(condition == "all", tuple(tests),
                 tuple(_group(node, variables, f"{where}: node {name!r}") for name, node in nodes.items()))


def _entries(group: dict, variables: Dict[str, Variable], keys: Tuple[str, ...], where: str):
    """The entries of a "variables" object, each an object about a variable of data.json."""
    entries = group.get("variables", {})
    if not isinstance(entries, dict):
        raise GameError(f'{where}: "variables" must be an object')
    for name, entry in entries.items():
        here = f"{where}: variable {name!r}"
        if name not in variables:
            raise GameError(f"{here}: no such variable in data.json (it has {', '.join(sorted(variables)) or 'none'})")
        if not isinstance(entry, dict):
            raise GameError(f"{here}: must be an object")
        _known(entry, keys, here)
        yield name, entry, here


def _lua_function(entry: dict, where: str) -> Optional[str]:
    script = entry.get("script")
    if script is None:
        return None
    if not isinstance(script, str) or not script.startswith("lua:"):
        raise GameError(f'{where}: "script" names a Lua function as "lua:name", not {script!r}')
    return script[4:]


def parse_scenario(entry: dict, variables: Dict[str, Variable], folder: pathlib.Path, name: str) -> Scenario:
    if not isinstance(entry, dict):
        raise GameError(f"{name}: a scenario is a JSON object")
    done_spec, reward_spec = entry.get("done", {}), entry.get("reward", {})
    if not isinstance(reward_spec, dict):
        raise GameError(f'{name}: "reward" must be an object')
    terms = [Term(var, float(_number(term, "reward", 0, here)), float(_number(term, "penalty", 0, here)),
                  _measurement(term, "delta", here))
             for var, term, here in _entries(reward_spec, variables, ("reward", "penalty", "measurement"),
                                             f"{name}: reward")]
    scripts = entry.get("scripts", [])
    if not isinstance(scripts, list) or not all(isinstance(s, str) for s in scripts):
        raise GameError(f'{name}: "scripts" must be a list of file names')
    return Scenario(name, _group(done_spec, variables, f"{name}: done"), tuple(terms),
                    _lua_function(done_spec, f"{name}: done"), _lua_function(reward_spec, f"{name}: reward"),
                    tuple(folder / s for s in scripts))


# -- games ------------------------------------------------------------------------------------

def _read_json(path: pathlib.Path):
    try:
        with open(path, encoding="utf-8") as file:
            return json.load(file)
    except OSError as error:
        raise GameError(f"{path}: {error.strerror or error}") from None
    except ValueError as error:
        raise GameError(f"{path}: not valid JSON: {error}") from None


def rom_sha1(data: bytes) -> str:
    """SHA-1 of a cartridge image without its iNES header, as rom.sha files hold it."""
    return hashlib.sha1(data[16:] if data[:4] == b"NES\x1a" else data).hexdigest()


@dataclass
class Game:
    name: str
    folder: pathlib.Path
    variables: Dict[str, Variable]
    scenario: Optional[Scenario]
    default_state: Optional[str] = None
    shas: Tuple[str, ...] = field(default=())

    def values(self, memory) -> Dict[str, int]:
        """The variables' values in a CPU address space (a console's `cpuMem()`)."""
        return {name: v.read(memory) for name, v in self.variables.items()}

    def state(self, name: str):
        """A start state of the folder: stable-retro's are another emulator's format, always refused."""
        raise GameError(_foreign_state(self.folder / (name if name.endswith(".state") else f"{name}.state")))


def _foreign_state(path) -> str:
    return f"{path}: a stable-retro start state, another emulator's format that zumbrel cannot load; {MAKE_START_STATE}"


def check_start_state(path) -> None:
    """Refuses a stable-retro start state (a gzip file, or the emulator state inside one)."""
    with open(path, "rb") as file:
        head = file.read(3)
    if head[:2] == b"\x1f\x8b" or head == b"FCS":
        raise GameError(_foreign_state(path))


def load_folder(folder, scenario: Optional[str] = DEFAULT_SCENARIO) -> Game:
    """The game a folder describes; `scenario` names its JSON file (without ".json") or another
    file, or None for none (the variables only, as for a folder without scenario.json)."""
    folder = pathlib.Path(folder)
    data = _read_json(folder / "data.json")
    if not isinstance(data, dict):
        raise GameError(f"{folder / 'data.json'}: a JSON object with \"info\" expected")
    variables = parse_variables(data.get("info", {}), str(folder / "data.json"))
    chosen = None
    if scenario is not None:
        path = pathlib.Path(scenario) if scenario.endswith(".json") else folder / f"{scenario}.json"
        if scenario != DEFAULT_SCENARIO or path.exists():  # some games have none
            chosen = parse_scenario(_read_json(path), variables, folder, str(path))
    metadata = _read_json(folder / "metadata.json") if (folder / "metadata.json").exists() else {}
    default_state = metadata.get("default_state") if isinstance(metadata, dict) else None
    return Game(_game_name(folder), folder, variables, chosen, default_state or None, _rom_shas(folder))


def _rom_shas(folder: pathlib.Path) -> Tuple[str, ...]:
    sha_file = folder / "rom.sha"
    return tuple(sha_file.read_text().lower().split()) if sha_file.exists() else ()


def _game_name(folder: pathlib.Path) -> str:
    name = folder.resolve().name
    return name[:-3] if name.endswith("-v0") else name


def search_folders() -> List[pathlib.Path]:
    """Where game names are looked up: the games shipped here, then an installed stable-retro's."""
    folders = [GAMES_DIR]
    for package in RETRO_PACKAGES:
        try:
            entry = importlib.util.find_spec(package)
        except (ImportError, ValueError):
            entry = None
        if entry is not None and entry.submodule_search_locations:
            base = pathlib.Path(list(entry.submodule_search_locations)[0]) / "data"
            folders += [base / kind for kind in RETRO_FOLDERS if (base / kind).is_dir()]
            break
    return folders


def game_folders() -> Iterator[pathlib.Path]:
    for place in search_folders():
        if place.is_dir():
            yield from sorted(p for p in place.iterdir() if (p / "data.json").exists())


def find(name: str) -> pathlib.Path:
    """The folder of a game name ("SuperMarioBros-Nes"; "-v0" may be added or left out)."""
    wanted = {name, name + "-v0", name[:-3] if name.endswith("-v0") else name}
    for folder in game_folders():
        if folder.name in wanted:
            return folder
    places = ", ".join(str(p) for p in search_folders())
    raise GameError(f"no game {name!r} (looked in {places}; a game may also be given as its folder)")


def load(game, scenario: Optional[str] = DEFAULT_SCENARIO) -> Game:
    """A Game, the folder of one, or a game name."""
    if isinstance(game, Game):
        return game
    if not isinstance(game, (str, os.PathLike)):
        raise GameError(f"game must be a folder, a game name or a Game, not {type(game).__name__}")
    folder = pathlib.Path(game)
    if not folder.is_dir():
        folder = find(str(game))
    return load_folder(folder, scenario)


def matching(rom_data: bytes) -> List[str]:
    """The games whose rom.sha names this cartridge image."""
    sha = rom_sha1(rom_data)
    return [_game_name(folder) for folder in game_folders() if sha in _rom_shas(folder)]


# -- one episode's bookkeeping -----------------------------------------------------------------

def _lua_runtime(scenario: Scenario):
    try:
        import lupa
    except ImportError:
        raise GameError(f"{scenario.name}: its reward or end of episode is a Lua function, and Lua scenarios "
                        "need lupa: pip install 'zumbrel[lua]'") from None
    try:
        from lupa import luajit21 as flavour  # the Lua stable-retro's scripts are written for
    except ImportError:
        flavour = lupa
    lua = flavour.LuaRuntime(register_eval=False)
    for script in scenario.scripts:
        try:
            lua.execute(script.read_text(encoding="utf-8"))
        except OSError as error:
            raise GameError(f"{script}: {error.strerror or error}") from None
        except flavour.LuaError as error:
            raise GameError(f"{script}: {error}") from None
    for function in (scenario.lua_done, scenario.lua_reward):
        if function is not None and lua.globals()[function] is None:
            raise GameError(f"{scenario.name}: no Lua function {function!r} in its scripts")
    return lua


class GameRun:
    """One console's episode of a game: the variables' last values, and the Lua state of a
    scripted scenario (made anew at each start, as the scripts expect)."""

    def __init__(self, game: Game, memory):
        self.game, self.memory = game, memory
        self.values: Dict[str, int] = {}
        self.lua = None

    def start(self) -> Dict[str, int]:
        self.values = self.game.values(self.memory)
        scenario = self.game.scenario
        if scenario is not None and scenario.uses_lua:
            self.lua = _lua_runtime(scenario)
        return dict(self.values)

    def step(self) -> Tuple[float, bool, Dict[str, int]]:
        before, after = self.values, self.game.values(self.memory)
        self.values = after
        scenario = self.game.scenario
        if scenario is None:
            return 0.0, False, dict(after)
        if scenario.lua_reward:
            reward = float(self._call_lua(scenario.lua_reward, after) or 0)
        else:
            reward = float(sum(term.value(before, after) for term in scenario.terms))
        if scenario.lua_done:
            done = bool(self._call_lua(scenario.lua_done, after))
        else:
            done = scenario.done.holds(before, after)
        return reward, done, dict(after)

    def _call_lua(self, function: str, values: Dict[str, int]):
        lua: Any = self.lua
        lua.globals()["data"] = lua.table_from(values)
        try:
            return lua.globals()[function]()
        except Exception as error:  # lupa's LuaError, of whichever Lua runs the scripts
            raise GameError(f"{self.game.name}: Lua function {function!r} failed: {error}") from None


def runs(game, rom, consoles) -> Optional[List[GameRun]]:
    """One GameRun a console for an environment's `game` option (None: no game); `rom` is the
    cartridge's path or bytes."""
    if game is None:
        return None
    game = load(game)
    if game.scenario is not None and game.scenario.uses_lua:
        _lua_runtime(game.scenario)  # refuses now a scenario that could not run
    data = bytes(rom) if isinstance(rom, (bytes, bytearray)) else pathlib.Path(rom).read_bytes()
    if game.shas and rom_sha1(data) not in game.shas:
        warnings.warn(f"{game.name} describes another cartridge (its rom.sha names {', '.join(game.shas)}; "
                      f"this one is {rom_sha1(data)}): its variables may mean nothing here", stacklevel=3)
    if game.default_state:
        warnings.warn(f"{game.name}: stable-retro starts it from its state {game.default_state!r}, another "
                      f"emulator's format; this environment starts at power-on. To start elsewhere, "
                      f"{MAKE_START_STATE}", stacklevel=3)
    return [GameRun(game, nes.cpuMem()) for nes in consoles]


def step_runs(game_runs: List[GameRun], going, rewards, terminations, infos, add_info):
    """A vector step: the consoles `going` add the scenario's reward and end, the others
    (just reset) start their episode; each gives its variables as information."""
    going = set(int(i) for i in going)
    for i, run in enumerate(game_runs):
        if i in going:
            reward, done, info = run.step()
            rewards[i] += reward
            terminations[i] |= done
        else:
            info = run.start()
        infos = add_info(infos, info, i)
    return infos
