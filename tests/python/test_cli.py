"""The `zumbrel` command: headless runs and their files, cartridge info, errors."""
import io
import os
import shutil
import signal
import subprocess
import sys
import time
import wave

import numpy as np
import pytest
import zumbrel
from PIL import Image
from zumbrel_tools import media
from zumbrel_tools.cartridge import parse_header
from zumbrel_tools.cli import main
from zumbrel_tools.console import DEMO_ROM, open_console

DEMO_SAVES = (".config", "Quorvali", "zumbrel-demo")


def cli(capfd, *argv):
    code = main(list(argv))
    out, err = capfd.readouterr()
    return code, out, err


def one_error_line(err):
    lines = err.strip().splitlines()
    assert len(lines) == 1, err
    assert "Traceback" not in err
    return lines[0]


def command(*argv, timeout=120, **kwargs):
    """The real command in its own process."""
    return subprocess.run([sys.executable, "-m", "zumbrel_tools", *argv], capture_output=True,
                          text=True, timeout=timeout, **kwargs)


def ines(prg16=1, chr8=1, flags6=0, flags7=0, byte9=0, body=None):
    header = bytes([0x4E, 0x45, 0x53, 0x1A, prg16, chr8, flags6, flags7, 0, byte9, 0, 0, 0, 0, 0, 0])
    size = prg16 * 16384 + chr8 * 8192 + (512 if flags6 & 4 else 0)
    return header + (bytes(size) if body is None else body)


def player_column(picture, yellow):
    """Mean x of the player's yellow pixels."""
    ys, xs = np.nonzero(np.all(picture == yellow, axis=2))
    assert len(xs) > 20, "the player is not on the picture"
    return xs.mean()


class TestRun:
    def test_writes_picture_animation_and_sound(self, tmp_path, capfd):
        # The same frames straight from the module, for the animation's last frame.
        direct = open_console(DEMO_ROM)
        for _ in range(89):
            direct.runFrame()
        expected_last = direct.getImg().copy()

        png, gif, wav = tmp_path / "a.png", tmp_path / "a.gif", tmp_path / "a.wav"
        code, out, _ = cli(capfd, "run", "--frames", "90", "--png", str(png), "--gif", str(gif),
                           "--wav", str(wav))
        assert code == 0
        lines = out.strip().splitlines()
        assert [line.split(":")[0] for line in lines[:3]] == ["picture", "animation", "sound"]
        assert lines[3].startswith("90 frames in ") and lines[3].endswith("frames per second")

        picture = np.array(Image.open(png))
        assert picture.shape == (240, 256, 3)
        assert len(np.unique(picture.reshape(-1, 3), axis=0)) > 8

        with wave.open(str(wav)) as sound:
            assert (sound.getnchannels(), sound.getsampwidth(), sound.getframerate()) == (1, 2, 44100)
            samples = np.frombuffer(sound.readframes(sound.getnframes()), dtype="<i2")
        # 90 frames are 1.5 s of sound, delivered in whole 1024-sample blocks.
        assert abs(len(samples) - 90 * 44100 / media.NES_FRAME_RATE) <= 1024
        assert samples.astype(float).std() > 500

        animation = Image.open(gif)
        assert animation.n_frames == 45       # every second frame
        frames = []
        for number in range(animation.n_frames):
            animation.seek(number)
            frames.append(np.array(animation.convert("RGB")))
        assert all(frame.shape == (240, 256, 3) for frame in frames)
        assert not np.array_equal(frames[0], frames[-1])
        # The battery counter of the second power-on differs from the first: skip the bar.
        assert np.array_equal(frames[-1][32:], expected_last[32:])

    def test_input_script_presses_buttons_on_its_frames(self, tmp_path, capfd):
        script = tmp_path / "walk.txt"
        script.write_text("# walk right for a second\n10 right\n70   none  none\n")
        still, walked = tmp_path / "still.png", tmp_path / "walked.png"
        assert cli(capfd, "run", "--frames", "80", "--png", str(still))[0] == 0
        assert cli(capfd, "run", "--frames", "80", "--png", str(walked), "--input", str(script))[0] == 0
        yellow = zumbrel.NES().colorLookup()[0x28]
        moved = player_column(np.array(Image.open(walked)), yellow) - \
            player_column(np.array(Image.open(still)), yellow)
        assert moved == pytest.approx(60, abs=1)

    def test_second_pad_column(self, roms, tmp_path, capfd):
        # pad_read stores ten reads of $4016 at $10 and of $4017 at $20.
        script = tmp_path / "pads.txt"
        script.write_text("0 a+start b+right\n")
        from zumbrel_tools.headless import run
        from zumbrel_tools.inputs import InputScript

        nes = open_console(str(roms / "pad_read.nes"))
        run(nes, 3, InputScript.parse(script.read_text()), progress_stream=io.StringIO())
        memory = nes.cpuMem()
        assert [memory[0x10 + i] & 1 for i in range(8)] == [1, 0, 0, 1, 0, 0, 0, 0]
        assert [memory[0x20 + i] & 1 for i in range(8)] == [0, 1, 0, 0, 0, 0, 0, 1]

    @pytest.mark.parametrize("text, message", [
        ("5 jump\n", "walk.txt:1: unknown button 'jump'"),
        ("5 a\n5 b\n", "walk.txt:2: frame 5 does not come after frame 5"),
        ("x a\n", "walk.txt:1: 'x' is not a frame number"),
        ("1 a b start\n", "walk.txt:1: a line is FRAME BUTTONS [BUTTONS]"),
    ])
    def test_bad_input_script_is_one_line(self, tmp_path, capfd, text, message):
        script = tmp_path / "walk.txt"
        script.write_text(text)
        code, out, err = cli(capfd, "run", "--frames", "5", "--input", str(script))
        assert code == 1 and out == ""
        assert message in one_error_line(err)

    def test_output_stays_clean_and_verbose_shows_the_emulator(self, capfd):
        code, out, _ = cli(capfd, "run", "--frames", "2")
        assert code == 0 and out.startswith("2 frames in ") and len(out.splitlines()) == 1
        code, out, _ = cli(capfd, "run", "--frames", "2", "--verbose")
        assert code == 0 and "Quorvali" in out

    @pytest.mark.parametrize("name, kind", [("x.jpg", "JPEG"), ("x.BMP", "BMP"), ("x.webp", "WEBP")])
    def test_picture_format_follows_the_extension(self, tmp_path, capfd, name, kind):
        assert cli(capfd, "run", "--frames", "2", "--png", str(tmp_path / name))[0] == 0
        assert Image.open(tmp_path / name).format == kind


class TestNoArguments:
    @pytest.mark.parametrize("display", [None, ":99"])  # none, or one whose X server is gone
    def test_without_display_runs_the_demo_and_writes_its_files(self, tmp_path, capfd, monkeypatch,
                                                                display):
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER"):
            monkeypatch.delenv(name, raising=False)
        if display:
            monkeypatch.setenv("DISPLAY", display)
        monkeypatch.chdir(tmp_path)
        code, out, _ = cli(capfd)
        assert code == 0
        assert np.array(Image.open(tmp_path / "demo.png")).shape == (240, 256, 3)
        with wave.open(str(tmp_path / "demo.wav")) as sound:
            assert sound.getnframes() / 44100 == pytest.approx(600 / media.NES_FRAME_RATE, abs=0.05)
        assert str(tmp_path / "demo.png") in out and str(tmp_path / "demo.wav") in out
        assert "no display" in out


class TestInfo:
    @pytest.mark.parametrize("rom, lines", [
        ("demos/spritecans.nes", ["board:      0 NROM, supported", "PRG ROM:    16 KiB",
                                  "CHR ROM:    8 KiB", "mirroring:  horizontal"]),
        ("mappers/240pee.nes", ["board:      2 UxROM, supported", "PRG ROM:    64 KiB",
                                "CHR ROM:    none, 8 KiB of CHR RAM", "mirroring:  vertical"]),
        ("mappers/CMC80s.NES", ["board:      3 CNROM, supported", "PRG ROM:    32 KiB",
                                "CHR ROM:    16 KiB", "mirroring:  vertical"]),
        ("mappers/scroll.nes", ["board:      1 MMC1 (SxROM), supported", "PRG ROM:    16 KiB",
                                "CHR ROM:    none, 8 KiB of CHR RAM"]),
        ("mappers/smwstomp.nes", ["board:      4 MMC3 (TxROM), supported", "PRG ROM:    32 KiB",
                                  "CHR ROM:    8 KiB"]),
        ("cpu/instr_test-v5/official_only.nes", ["board:      1 MMC1 (SxROM), supported",
                                                  "PRG ROM:    256 KiB", "battery:    no"]),
    ])
    def test_public_cartridges(self, shared_rom, capfd, home, rom, lines):
        path = shared_rom(rom)
        code, out, err = cli(capfd, "info", str(path))
        assert code == 0 and err == ""
        shown = out.splitlines()
        for line in lines + ["format:     iNES", "trainer:    no"]:
            assert line in shown
        base = os.path.splitext(os.path.basename(rom))[0]
        assert f"saves in:   {home}/.config/Quorvali/{base}" in shown

    def test_every_field_of_a_made_up_header(self, tmp_path, capfd, home):
        # NES 2.0, board 5, exponent-multiplier PRG size, trainer, battery, four-screen.
        rom = tmp_path / "Super Game.v2.nes"
        prg = (1 << 14) * 3     # E = 14, M = 1
        rom.write_bytes(ines((14 << 2) | 1, 0, 0x5E, 0x08, 0x0F, bytes(512 + prg)))
        code, out, _ = cli(capfd, "info", str(rom))
        assert code == 0
        shown = out.splitlines()
        assert "format:     NES 2.0" in shown
        assert "board:      5 MMC5, not supported (play and run refuse it without --force)" in shown
        assert "PRG ROM:    48 KiB" in shown
        assert "mirroring:  four-screen" in shown
        assert "trainer:    yes (512 bytes)" in shown
        assert any(line.startswith("battery:    yes") for line in shown)
        assert f"saves in:   {home}/.config/Quorvali/Super_Game.v2" in shown

    def test_large_nes2_counts_and_short_files(self, tmp_path, capfd):
        rom = tmp_path / "big.nes"
        # PRG count 0x102 units, CHR count 0x110 units; the file holds only the header.
        rom.write_bytes(ines(0x02, 0x10, 0, 0x08, 0x11, b""))
        code, out, _ = cli(capfd, "info", str(rom))
        assert code == 0
        assert "PRG ROM:    4128 KiB" in out and "CHR ROM:    2176 KiB" in out
        assert "warning:    the file is 16 bytes" in out

    @pytest.mark.parametrize("name", ["game 1.v2.nes", ".nes", "...", "noextension"])
    def test_save_folder_is_the_one_the_module_uses(self, tmp_path, capfd, name):
        rom = tmp_path / name
        rom.write_bytes(ines(2, 1, 0x03))
        out = cli(capfd, "info", str(rom))[1]
        assert f"saves in:   {open_console(str(rom)).getSaveDir()}" in out.splitlines()


class TestErrors:
    @pytest.mark.parametrize("command", ["info", "run", "play"])
    def test_missing_file(self, tmp_path, capfd, command):
        code, out, err = cli(capfd, command, str(tmp_path / "nope.nes"))
        assert code == 1 and out == ""
        assert one_error_line(err) == f"zumbrel: error: {tmp_path / 'nope.nes'}: no such file"

    @pytest.mark.parametrize("command", ["info", "run"])
    def test_not_an_ines_image(self, tmp_path, capfd, command):
        text = tmp_path / "notes.txt"
        text.write_text("not a cartridge, just some text")
        code, _, err = cli(capfd, command, str(text))
        assert code == 1
        assert one_error_line(err) == f"zumbrel: error: {text}: not an iNES image (no NES header)"

    def test_image_shorter_than_its_header_says(self, tmp_path, capfd):
        rom = tmp_path / "cut.nes"
        rom.write_bytes(ines(2, 1)[:20000])
        code, _, err = cli(capfd, "run", str(rom), "--frames", "1")
        assert code == 1 and "cut short" in one_error_line(err)

    @pytest.mark.parametrize("argv, fragment", [
        (["run", "--colour"], "unrecognized arguments: --colour"),
        (["--nope"], "unrecognized arguments: --nope"),
        (["run", "--frames", "ten"], "invalid int value: 'ten'"),
        (["run", "--frames", "0"], "--frames must be at least 1"),
        (["play", "--scale", "5"], "invalid choice: 5"),
        (["info", "a.nes", "b.nes"], "unrecognized arguments: b.nes"),
    ])
    def test_usage_errors_are_one_line(self, capfd, argv, fragment):
        code, out, err = cli(capfd, *argv)
        assert code == 2 and out == ""
        assert fragment in one_error_line(err)

    def test_output_file_that_cannot_be_written(self, tmp_path, capfd):
        code, _, err = cli(capfd, "run", "--frames", "1", "--wav", str(tmp_path / "no" / "x.wav"))
        assert code == 1 and "x.wav" in one_error_line(err)

    def test_help_lists_keys_and_input_format(self, capfd):
        code, out, _ = cli(capfd, "play", "--help")
        assert code == 0
        lines = [" ".join(line.split()) for line in out.splitlines()]
        for line in ("a x", "b z", "select right shift", "start return", "right right",
                     "save f5 save the state to the chosen slot", "quit escape quit"):
            assert line in lines
        code, out, _ = cli(capfd, "run", "--help")
        assert code == 0 and "FRAME BUTTONS [BUTTONS]" in " ".join(out.split())


def wait_for(condition, seconds=60.0):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "timed out waiting"
        time.sleep(0.05)


class TestOutputsAreSafe:
    @pytest.mark.parametrize("clash, what", [
        ("cartridge", "the cartridge"), ("link to cartridge", "the cartridge"),
        ("script", "the --input script"), ("png", "the --png file")])
    def test_an_output_that_would_replace_an_input_is_refused(self, tmp_path, clash, what):
        rom, script, png = tmp_path / "game.nes", tmp_path / "pads.txt", tmp_path / "a.png"
        rom.write_bytes(pathlib_bytes := open(DEMO_ROM, "rb").read())
        script.write_text("0 start\n")
        (tmp_path / "link.nes").symlink_to(rom)
        target = {"cartridge": rom, "link to cartridge": tmp_path / "link.nes", "script": script,
                  "png": png}[clash]
        done = command("run", str(rom), "--frames", "1", "--input", str(script), "--png", str(png),
                       "--wav", str(target))
        assert done.returncode == 1
        assert one_error_line(done.stderr) == \
            f"zumbrel: error: --wav {target}: that is {what}; choose another file name"
        assert rom.read_bytes() == pathlib_bytes and script.read_text() == "0 start\n"
        assert not png.exists()

    def test_a_failed_output_leaves_the_others_as_they_were(self, tmp_path):
        png = tmp_path / "a.png"
        png.write_bytes(b"earlier picture")
        done = command("run", "--frames", "1", "--png", str(png), "--wav", str(tmp_path / "no" / "a.wav"))
        assert done.returncode == 1 and "cannot write there" in one_error_line(done.stderr)
        assert png.read_bytes() == b"earlier picture"
        assert sorted(os.listdir(tmp_path)) == ["a.png", "home"]

    @pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
    def test_an_interrupted_run_keeps_earlier_files_and_writes_battery_ram(self, tmp_path, home, signum):
        png, wav = tmp_path / "a.png", tmp_path / "a.wav"
        png.write_bytes(b"earlier picture")
        saves = home.joinpath(*DEMO_SAVES)
        run = subprocess.Popen([sys.executable, "-m", "zumbrel_tools", "run", "--frames", "1000000",
                                "--png", str(png), "--gif", str(tmp_path / "a.gif"), "--wav", str(wav)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               # A test run started in the background without job control
                               # ignores SIGINT, and a child would inherit that.
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        try:
            wait_for(saves.exists)
            time.sleep(0.5)
            run.send_signal(signum)
            _, err = run.communicate(timeout=60)
        finally:
            run.kill()
        assert run.returncode == 128 + signum, err
        assert png.read_bytes() == b"earlier picture"
        assert sorted(os.listdir(tmp_path)) == ["a.png", "home"]
        assert (saves / "ram").stat().st_size == 8192

    def test_unknown_picture_format_is_refused_before_the_run(self, tmp_path, capfd):
        code, out, err = cli(capfd, "run", "--png", str(tmp_path / "a.xyz"))
        assert code == 1 and out == ""
        assert one_error_line(err) == \
            f"zumbrel: error: {tmp_path / 'a.xyz'}: no picture format is named '.xyz'"
        code, _, err = cli(capfd, "run", "--gif", str(tmp_path / "a.jpg"))
        assert code == 1 and "the JPEG format holds no animation" in one_error_line(err)


class TestBoards:
    def test_command_and_console_agree_on_every_board(self, tmp_path, capfd):
        """The console names every board it does not implement; the command calls exactly the
        others supported."""
        rom = tmp_path / "board.nes"
        for board in range(256):
            image = ines(2, 1, (board & 0x0F) << 4, board & 0xF0)
            rom.write_bytes(image)
            capfd.readouterr()
            zumbrel.NES(str(rom))
            implemented = "UNRECOGNIZED MAPPER!" not in capfd.readouterr().out
            assert parse_header(image).supported == implemented, board

    @pytest.mark.parametrize("argv", [["play", "--mute"], ["run", "--frames", "2"]])
    def test_unsupported_board_is_refused_unless_forced(self, tmp_path, argv):
        rom = tmp_path / "mmc5.nes"
        rom.write_bytes(ines(2, 0, 0x50))
        name = argv[0]
        done = command(*argv, str(rom), env=dict(os.environ, SDL_VIDEODRIVER="dummy"))
        assert done.returncode == 1
        assert one_error_line(done.stderr) == (
            f"zumbrel: error: {rom}: board 5 (MMC5) is not supported: it would run without its "
            "board logic (--force runs it anyway)")
        if name == "run":
            done = command("run", str(rom), "--frames", "2", "--force")
            assert done.returncode == 0 and "board 5 (MMC5) is not supported" in one_error_line(done.stderr)

    def test_info_without_a_cartridge_describes_the_demo(self, capfd):
        code, out, _ = cli(capfd, "info")
        assert code == 0 and f"file:       {DEMO_ROM}" in out.splitlines()


def test_home_that_is_not_a_folder_is_named_as_the_save_folder(tmp_path):
    done = command("run", "--frames", "2", env=dict(os.environ, HOME=str(tmp_path / "gone")))
    line = one_error_line(done.stderr)
    assert "save folder" in line and f"HOME is {tmp_path / 'gone'}, which is not a folder" in line
    # A console that runs without its save folder is a warning; one that cannot be built an error.
    assert (done.returncode, line.startswith("zumbrel: warning:")) in ((0, True), (1, False))


def test_installed_console_script(tmp_path):
    command = shutil.which("zumbrel")
    if command is None:
        pytest.skip("the zumbrel console script is not installed (pip install .)")
    done = subprocess.run([command, "run", "--frames", "30", "--png", str(tmp_path / "x.png")],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[0] == f"picture: {tmp_path / 'x.png'}"
    assert np.array(Image.open(tmp_path / "x.png")).shape == (240, 256, 3)
    done = subprocess.run([command, "info", str(tmp_path / "missing.nes")], capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 1 and done.stderr.count("\n") == 1
