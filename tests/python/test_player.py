"""`zumbrel play` under SDL's dummy video and audio drivers: keys, slots, screenshots, sound,
and every way out writing the battery RAM."""
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

pygame = pytest.importorskip("pygame", reason="the player needs pygame (the play extra)")

from PIL import Image  # noqa: E402
from zumbrel_tools import media  # noqa: E402
from zumbrel_tools.cli import main  # noqa: E402
from zumbrel_tools.console import DEMO_ROM, open_console  # noqa: E402
from zumbrel_tools.player import SAMPLES_PER_FRAME, TARGET_SAMPLES, FramePacer, Player, key_codes  # noqa: E402

DUMMY_SDL = {"SDL_VIDEODRIVER": "dummy", "SDL_AUDIODRIVER": "dummy"}


@pytest.fixture(autouse=True)
def dummy_sdl(monkeypatch):
    for name, value in DUMMY_SDL.items():
        monkeypatch.setenv(name, value)


def key(kind, code):
    pygame.event.post(pygame.event.Event(kind, key=code, mod=0, unicode="", scancode=0))


class Script:
    """Posts key events when the player reaches given frames, once each."""

    def __init__(self, steps, limit=2000):
        self.steps = sorted(steps, key=lambda step: step[0])
        self.limit = limit

    def __call__(self, player):
        while self.steps and player.frames >= self.steps[0][0]:
            frame, action = self.steps.pop(0)
            action(player)
        assert player.frames < self.limit, "the script did not quit the player"


def player_x(player):
    return int(player.nes.OAM()[7])


@pytest.mark.parametrize("frames_per_tick", [None, 3], ids=["paced", "skipping"])
def test_scripted_session(tmp_path, home, monkeypatch, frames_per_tick):
    if frames_per_tick:  # as on a loaded machine: the script's frames pass several at a time
        monkeypatch.setattr(Player, "frames_due", lambda self: frames_per_tick)
    nes = open_console(DEMO_ROM)
    shots = tmp_path / "shots"
    shots.mkdir()
    player = Player(nes, DEMO_ROM, scale=2, shot_dir=str(shots))
    assert player.window.get_size() == (512, 480)
    seen = {}

    def remember(name):
        return lambda p: seen.__setitem__(name, (player_x(p), p.nes.frameCount()))

    script = Script([
        (20, remember("start")),
        (20, lambda p: key(pygame.KEYDOWN, pygame.K_RIGHT)),
        (50, lambda p: key(pygame.KEYUP, pygame.K_RIGHT)),
        (60, remember("walked")),
        (60, lambda p: key(pygame.KEYDOWN, pygame.K_3)),       # choose slot 3
        (60, lambda p: key(pygame.KEYDOWN, pygame.K_F5)),      # save
        (61, lambda p: key(pygame.KEYDOWN, pygame.K_LEFT)),
        (100, lambda p: key(pygame.KEYUP, pygame.K_LEFT)),
        (110, remember("walked back")),
        (110, lambda p: key(pygame.KEYDOWN, pygame.K_F9)),     # load
        (111, lambda p: key(pygame.KEYDOWN, pygame.K_F12)),    # screenshot
        (112, lambda p: key(pygame.KEYDOWN, pygame.K_ESCAPE)),
    ])

    def after_load(p):
        # Frames may skip past 110 in one tick: look once the load has been handled.
        if "loaded" not in seen and "loaded slot 3" in p.messages:
            remember("loaded")(p)

    player.run(lambda p: (script(p), after_load(p)))

    start_x = seen["start"][0]
    assert seen["walked"][0] > start_x + 20, "holding Right moved the character"
    assert seen["walked back"][0] < seen["walked"][0] - 20
    assert seen["loaded"][0] == seen["walked"][0], "loading slot 3 put the character back"
    slot = home / ".config" / "Quorvali" / "zumbrel-demo" / "3"
    assert slot.exists()
    shot = list(shots.glob("zumbrel-demo-*.png"))
    assert len(shot) == 1 and np.array(Image.open(shot[0])).shape == (240, 256, 3)
    assert player.messages[:3] == ["saved slot 3", "loaded slot 3", f"screenshot {shot[0]}"]
    # Quitting stops the console, which writes the battery RAM.
    assert (home / ".config" / "Quorvali" / "zumbrel-demo" / "ram").exists()


def test_pause_holds_the_machine_and_keys_can_be_remapped(home):
    nes = open_console(DEMO_ROM)
    player = Player(nes, DEMO_ROM, keys={"pause": "space", "a": "p"}, sound=False)
    counts = []
    script = Script([
        (10, lambda p: key(pygame.KEYDOWN, pygame.K_SPACE)),
        (10, lambda p: counts.append(p.nes.frameCount())),
    ])
    ticks = [0]

    def hook(p):
        script(p)
        if p.paused:
            ticks[0] += 1
            if ticks[0] == 20:
                counts.append(p.nes.frameCount())
                key(pygame.KEYDOWN, pygame.K_SPACE)
        if p.frames == 30:
            p.running = False

    player.run(hook)
    assert counts[0] == counts[1], "the console ran while paused"
    assert player.frames == 30
    assert key_codes({"a": "p"})[pygame.K_p] == "a"


def test_fullscreen_keeps_whole_pixels(home):
    nes = open_console(DEMO_ROM)
    player = Player(nes, DEMO_ROM, sound=False)
    assert player.window.get_size() == (768, 720) and player.picture_at == (0, 0)
    player._command("fullscreen")
    width, height = player.window.get_size()
    factor = player.picture_size[0] // 256
    assert factor >= 1 and player.picture_size == (256 * factor, 240 * factor)
    assert width - player.picture_size[0] == 2 * player.picture_at[0] or \
        width - player.picture_size[0] == 2 * player.picture_at[0] + 1
    assert player.picture_size[1] <= height
    player.draw()
    player.close()


def test_bad_key_names_are_one_line(capfd):
    assert main(["play", "--key", "a=nosuchkey"]) == 1
    assert main(["play", "--key", "a=q", "--key", "b=q"]) == 1
    assert main(["play", "--key", "jump=q"]) == 1
    err = capfd.readouterr().err.splitlines()
    assert err[0] == "zumbrel: error: unknown key name 'nosuchkey' for a"
    assert err[1] == "zumbrel: error: key 'q' is bound to both a and b"
    assert err[2].startswith("zumbrel: error: --key 'jump=q': 'jump' is not one of a, b,")


class TestSound:
    def test_pacer_keeps_the_queue_near_its_target(self):
        # The card takes 512 samples every 11.6 ms; the loop looks every 2 ms.
        pacer, queued, lowest, highest, pending = FramePacer(), 0, None, 0, 0.0
        for tick in range(5000):
            frames = pacer.by_sound(queued)
            pending += frames * SAMPLES_PER_FRAME
            while pending >= 1024:                    # blocks come whole
                queued += 1024
                pending -= 1024
            highest = max(highest, queued)
            if tick % 6 == 5:
                queued = max(0, queued - 512)
                if tick > 100:
                    lowest = queued if lowest is None else min(lowest, queued)
        assert lowest > 0, "the card ran dry"
        assert highest <= TARGET_SAMPLES + 1024, "the delay grew"

    def test_clock_pacing_catches_up_a_little_then_starts_afresh(self):
        pacer = FramePacer(fps=60.0)
        assert pacer.by_clock(100.0) == 1
        assert pacer.by_clock(100.01) == 0
        assert pacer.by_clock(100.05) == 2           # frames 2 and 3 are due by 50 ms
        assert pacer.by_clock(101.0) == 1            # a stall of a second is not made up
        assert pacer.by_clock(101.02) == 1

    def test_a_running_player_feeds_the_card(self, home):
        nes = open_console(DEMO_ROM)
        player = Player(nes, DEMO_ROM)
        assert player.audio is not None
        queued = []

        def hook(p):
            queued.append(p.audio.queued())
            if p.frames >= 90:
                p.running = False

        audio = player.audio
        player.run(hook)
        assert audio.pushed - queued[-1] > 30000   # most of 1.5 s of sound reached the card
        # The pacer may overshoot its target by under a frame's samples plus a part-filled block.
        assert max(queued) <= TARGET_SAMPLES + SAMPLES_PER_FRAME + 1024
        assert audio.obtained.freq == media.SAMPLE_RATE


def window_picture(player):
    """The picture part of the window, back at NES size."""
    x, y = player.picture_at
    f = player.factor
    pixels = pygame.surfarray.array3d(player.window).transpose(1, 0, 2)
    return pixels[y:y + 240 * f:f, x:x + 256 * f:f]


class TestFeedback:
    def test_messages_show_on_the_picture_for_a_moment(self, tmp_path, home):
        player = Player(open_console(DEMO_ROM), DEMO_ROM, scale=2, sound=False,
                        shot_dir=str(tmp_path / "missing"))
        for _ in range(5):
            player.run_frame()
        player.overlay.seconds = 0.2
        assert player.screenshot() is None, "a screenshot into a missing folder is only a message"
        assert player.messages[-1].startswith(f"no screenshot: {tmp_path / 'missing'}")
        player.draw()
        assert not np.array_equal(window_picture(player), player.nes.getImg())
        time.sleep(0.3)
        player.draw()
        assert np.array_equal(window_picture(player), player.nes.getImg())
        player.close()

    def test_loading_while_paused_shows_the_loaded_picture(self, home):
        player = Player(open_console(DEMO_ROM), DEMO_ROM, sound=False)
        for _ in range(10):
            player.run_frame()
        player._command("save")
        saved_ram = player.nes.cpuMem()[:0x800].copy()
        for _ in range(30):
            player.run_frame()
        player._command("pause")
        later = player.nes.getImg().copy()
        player._command("load")
        shown = player.nes.getImg().copy()
        assert np.array_equal(player.nes.cpuMem()[:0x800], saved_ram), "the loaded state is the saved one"
        assert not np.array_equal(shown, later), "the picture still shows the later frame"
        below_messages = slice(48, 240)
        assert np.array_equal(window_picture(player)[below_messages], shown[below_messages]), \
            "the window was not redrawn"
        player.close()


QUIT_LOOP = textwrap.dedent("""
    import os, pathlib, sys
    import pygame
    from zumbrel_tools.console import DEMO_ROM, open_console
    from zumbrel_tools.player import Player

    ram = pathlib.Path(os.environ["HOME"], ".config", "Quorvali", "zumbrel-demo", "ram")

    def post(kind, **fields):
        pygame.event.post(pygame.event.Event(kind, **fields))

    class Failure(Exception):
        pass

    ways_out = {
        "escape": lambda: post(pygame.KEYDOWN, key=pygame.K_ESCAPE, mod=0, unicode="", scancode=0),
        "window": lambda: post(pygame.QUIT),
        "error": lambda: (_ for _ in ()).throw(Failure()),
    }
    for number in range(int(sys.argv[1])):
        way = list(ways_out)[number % len(ways_out)]
        ram.unlink(missing_ok=True)
        player = Player(open_console(DEMO_ROM), DEMO_ROM)

        def hook(p):
            if p.frames >= 3:
                ways_out[way]()
        try:
            player.run(hook)
        except Failure:
            pass
        assert ram.stat().st_size == 8192, f"quit {number} ({way}) wrote no battery RAM"
    print("done")
""")


class TestWaysOut:
    def test_fifty_quits_never_hang_and_always_write_battery_ram(self):
        done = subprocess.run([sys.executable, "-c", QUIT_LOOP, "50"], capture_output=True, text=True,
                              timeout=240, env=dict(os.environ, **DUMMY_SDL))
        assert done.returncode == 0 and done.stdout.endswith("done\n"), done.stderr

    @pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
    def test_a_signal_quits_the_player_and_writes_battery_ram(self, home, signum):
        ram = home / ".config" / "Quorvali" / "zumbrel-demo" / "ram"
        play = subprocess.Popen([sys.executable, "-m", "zumbrel_tools", "play"], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, env=dict(os.environ, **DUMMY_SDL))
        try:
            deadline = time.monotonic() + 60
            while not ram.parent.exists():
                assert time.monotonic() < deadline and play.poll() is None, "the player did not start"
                time.sleep(0.05)
            time.sleep(1.0)
            play.send_signal(signum)
            _, err = play.communicate(timeout=60)
        finally:
            play.kill()
        assert play.returncode == 128 + signum, err
        assert ram.stat().st_size == 8192

    @pytest.mark.parametrize("display", [None, ":99"])
    def test_no_display_is_one_line_naming_the_way_without_a_window(self, display):
        env = {name: value for name, value in os.environ.items()
               if name not in ("DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER")}
        if display:
            env["DISPLAY"] = display
        done = subprocess.run([sys.executable, "-m", "zumbrel_tools", "play", "--mute"],
                              capture_output=True, text=True, timeout=60, env=env)
        lines = done.stderr.strip().splitlines()
        assert done.returncode == 1 and len(lines) == 1, done.stderr
        assert lines[0].startswith("zumbrel: error: no display") and "'zumbrel run'" in lines[0]


def test_a_recorded_session_replays_exactly_and_f8_writes_a_start_state(tmp_path):
    import zumbrel
    from zumbrel_tools.movies import Movie
    from zumbrel_tools.snapshots import restore

    path = tmp_path / "session.zmv"
    player = Player(open_console(DEMO_ROM), DEMO_ROM, sound=False, shot_dir=str(tmp_path), record=str(path))
    player.run(Script([
        (10, lambda p: key(pygame.KEYDOWN, pygame.K_RIGHT)),
        (40, lambda p: key(pygame.KEYUP, pygame.K_RIGHT)),
        (40, lambda p: key(pygame.KEYDOWN, pygame.K_F8)),
        (41, lambda p: key(pygame.KEYDOWN, pygame.K_F9)),
        (50, lambda p: key(pygame.KEYDOWN, pygame.K_ESCAPE)),
    ]))
    state = next(tmp_path.glob("zumbrel-demo-*.snapshot"))
    assert player.messages == [f"start state {state}", "no loading while recording: the movie would not replay"]
    movie = Movie.load(str(path))
    assert movie.frames == player.frames and movie.buttons[:, 0].any()
    replay = zumbrel.NES(DEMO_ROM, 0)
    for _ in movie.play(replay):
        pass
    np.testing.assert_array_equal(replay.getImg(), player.nes.getImg())
    restore(replay, state.read_bytes())  # a start state of this cartridge
