"""`zumbrel play` under SDL's dummy video and audio drivers: keys, slots, screenshots, sound."""
import numpy as np
import pytest

pygame = pytest.importorskip("pygame", reason="the player needs pygame (the play extra)")

from zumbrel_tools import media  # noqa: E402
from zumbrel_tools.cli import main  # noqa: E402
from zumbrel_tools.console import DEMO_ROM, open_console  # noqa: E402
from zumbrel_tools.player import (  # noqa: E402
    SAMPLES_PER_FRAME, TARGET_SAMPLES, AudioOut, FramePacer, Player, key_codes)

Image = pytest.importorskip("PIL.Image")


@pytest.fixture(autouse=True)
def dummy_sdl(monkeypatch):
    monkeypatch.setenv("SDL_VIDEODRIVER", "dummy")
    monkeypatch.setenv("SDL_AUDIODRIVER", "dummy")


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


def test_scripted_session(tmp_path, home):
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
        (111, remember("loaded")),
        (111, lambda p: key(pygame.KEYDOWN, pygame.K_F12)),    # screenshot
        (112, lambda p: key(pygame.KEYDOWN, pygame.K_ESCAPE)),
    ])
    player.run(script)

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

    def test_stream_hands_every_block_to_the_card_once(self):
        audio = AudioOut()
        audio.device.pause(1)                        # the test plays the card's part
        blocks = [np.full(1024, i, dtype=np.int16).tobytes() for i in range(1, 5)]
        for block in blocks:
            audio.push(block)
        taken = bytearray()
        for _ in range(12):                          # 8 calls take the 4 blocks
            stream = bytearray(1024)
            audio._fill(None, memoryview(stream))
            taken += stream
        audio.close()
        played = np.frombuffer(bytes(taken), dtype=np.int16)
        assert len(played) == 6144
        assert np.array_equal(played[:4096], np.repeat(np.arange(1, 5), 1024))
        assert not played[4096:].any(), "an empty queue plays silence"
        assert audio.underruns == 4

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
        assert audio.played > 30000              # most of 1.5 s of sound reached the card
        assert max(queued) <= TARGET_SAMPLES + 1024
        assert media.SAMPLE_RATE == audio.device.frequency
