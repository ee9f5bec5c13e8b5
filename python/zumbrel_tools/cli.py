"""The `zumbrel` command: play, run or inspect a cartridge."""
from __future__ import annotations

import argparse
import os
import signal
import sys
from typing import List, NoReturn, Optional, Sequence, Tuple

from . import cartridge, games, headless, media
from .console import DEMO_ROM, CommandError, NoDisplay, check_rom, open_console, stop_console, terminate_as_interrupt
from .inputs import BUTTONS, SCRIPT_HELP, InputScript, ScriptError
from .movies import Movie, MovieError, restore_state
from .snapshots import snapshot

PLAY_HINT = "pip install pygame, or pip install '.[play]' in a clone of zumbrel"

DEMO_FRAMES = 600
COMMANDS = ("play", "run", "info")


class UsageError(Exception):
    pass


class Parser(argparse.ArgumentParser):
    """Reports a usage error as one line instead of the usage text and a line."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{self.prog}: {message} (see {self.prog} --help)")


def display_available() -> bool:
    if sys.platform in ("win32", "darwin"):
        return True
    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def pygame_available() -> bool:
    os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")
    try:
        import pygame  # noqa: F401
    except ImportError:
        return False
    return True


def build_parser() -> Parser:
    from .player import COMMANDS as PLAYER_COMMANDS
    from .player import DEFAULT_KEYS, keys_help

    parser = Parser(
        prog="zumbrel",
        description="Play, run or inspect NES cartridges. Without a command, plays the built-in "
                    "demo in a window, or, without a display, runs it for "
                    f"{DEMO_FRAMES} frames and writes demo.png and demo.wav here.",
        epilog="ROM may be left out: the built-in demo cartridge is used.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)

    play = commands.add_parser(
        "play", help="play a cartridge in a window (needs pygame)",
        description="Play a cartridge in a window.\n\n" + keys_help(DEFAULT_KEYS),
        epilog="Remap with --key, e.g. --key a=space --key start=s --key save=f2; a key taken\n"
               "this way leaves its default action. Names:\n  "
               f"{', '.join(BUTTONS + PLAYER_COMMANDS)}\n"
               "Keys as pygame names them: 'a', 'space', 'return', 'left shift', 'f5', ...",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    play.add_argument("rom", nargs="?", metavar="ROM", help="iNES cartridge image")
    play.add_argument("--scale", type=int, choices=(2, 3, 4), default=3,
                      help="window size in NES pixels (default 3)")
    play.add_argument("--fullscreen", action="store_true", help="start in fullscreen")
    play.add_argument("--key", action="append", default=[], metavar="NAME=KEY",
                      help="bind a pad button or a command to a key")
    play.add_argument("--pad-button", action="append", default=[], metavar="NAME=NUMBER",
                      help="bind a pad button to a gamepad button number")
    play.add_argument("--mute", action="store_true", help="no sound")
    play.add_argument("--shots", default=".", metavar="FOLDER",
                      help="where screenshots go (default: here)")
    play.add_argument("--force", action="store_true", help="run a board zumbrel does not support")
    play.add_argument("--record", metavar="FILE",
                      help="write the session as a movie (replay it with zumbrel run --movie FILE)")
    play.add_argument("-v", "--verbose", action="store_true", help="show the emulator's own lines")

    run = commands.add_parser(
        "run", help="run frames without a window, write picture, animation and sound",
        description="Run a cartridge without a window and write what it shows and plays.",
        epilog=SCRIPT_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    run.add_argument("rom", nargs="?", metavar="ROM", help="iNES cartridge image")
    run.add_argument("--frames", type=int, metavar="N",
                     help=f"frames to run (default {DEMO_FRAMES}, 10 seconds; the whole movie with --movie; "
                          "up to the last --snapshot-at)")
    run.add_argument("--png", metavar="FILE",
                     help="the last picture, 256x240, in the format the extension names")
    run.add_argument("--gif", metavar="FILE",
                     help="an animation of the run (.gif, or another animated format: .png, .webp)")
    run.add_argument("--gif-every", type=int, default=2, metavar="K",
                     help="keep every K-th frame in the GIF (default 2: 30 per second)")
    run.add_argument("--wav", metavar="FILE", help="the sound, 44100 Hz mono 16-bit")
    run.add_argument("--input", metavar="FILE", help="buttons to press (format below)")
    run.add_argument("--movie", metavar="FILE",
                     help="replay a movie (from zumbrel play --record or an environment's record=)")
    run.add_argument("--snapshot-at", nargs=2, action="append", default=[], metavar=("FRAME", "FILE"),
                     help="write a start state (a snapshot) after FRAME frames, for state= of the environments")
    run.add_argument("--force", action="store_true", help="run a board zumbrel does not support")
    run.add_argument("-v", "--verbose", action="store_true", help="show the emulator's own lines")

    info = commands.add_parser("info", help="what a cartridge's header says",
                               description="Show a cartridge's header and its save folder.")
    info.add_argument("rom", nargs="?", metavar="ROM", help="iNES cartridge image")
    return parser


def positive(value: int, name: str) -> int:
    if value < 1:
        raise UsageError(f"zumbrel: {name} must be at least 1")
    return value


def command_info(args) -> int:
    rom = args.rom or DEMO_ROM
    header = check_rom(rom, complete=False)
    print("\n".join(cartridge.describe(rom, header)))
    print(game_line(rom))
    return 0


def game_line(rom: str) -> str:
    """The game integrations (stable-retro's layout) whose rom.sha names this image."""
    with open(rom, "rb") as image:
        names = games.matching(image.read())
    return f"game:       {', '.join(names) if names else 'no integration names this image'}"


def same_file(a: str, b: str) -> bool:
    """Whether two names reach one file, through links too (the file need not exist yet)."""
    if os.path.realpath(a) == os.path.realpath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def check_outputs(outputs: Sequence[Tuple[str, str]], protected: Sequence[Tuple[str, str]]) -> None:
    """Refuses an output that would replace the cartridge, the input script or another output."""
    seen = list(protected)
    for option, path in outputs:
        for other, what in seen:
            if same_file(path, other):
                raise CommandError(f"{option} {path}: that is {what}; choose another file name")
        seen.append((path, f"the {option} file"))


def open_outputs(outputs: Sequence[Tuple[str, str]]) -> List[media.AtomicFile]:
    """A temporary file beside each output, so an output that cannot be written fails now."""
    opened: List[media.AtomicFile] = []
    try:
        for option, path in outputs:
            try:
                opened.append(media.AtomicFile(path))
            except OSError as error:
                reason = error.strerror or error
                raise CommandError(f"{option} {path}: cannot write there: {reason}") from None
    except BaseException:
        for out in opened:
            out.discard()
        raise
    return opened


def snapshot_marks(items: Sequence[Sequence[str]]) -> List[Tuple[int, str]]:
    """The frames and files of --snapshot-at."""
    marks = []
    for frame, path in items:
        if not frame.isdigit():
            raise UsageError(f"zumbrel: --snapshot-at {frame} {path}: FRAME is a frame number (0 or more)")
        marks.append((int(frame), path))
    return marks


def run_length(args, movie: Optional[Movie], marks: Sequence[Tuple[int, str]]) -> int:
    """Frames to run: --frames, else the movie's, else up to the last snapshot, else the default."""
    if args.frames is not None:
        frames = positive(args.frames, "--frames")
    elif movie is not None:
        if movie.frames == 0:
            raise CommandError(f"{args.movie}: the movie has no frames")
        frames = movie.frames
    else:
        frames = max([frame for frame, _ in marks] + [1]) if marks else DEMO_FRAMES
    if movie is not None and frames > movie.frames:
        raise CommandError(f"--frames {frames}: the movie {args.movie} has {movie.frames} frames")
    for frame, path in marks:
        if frame > frames:
            raise CommandError(f"--snapshot-at {frame} {path}: the run has only {frames} frames")
    return frames


def command_run(args) -> int:
    positive(args.gif_every, "--gif-every")
    rom = args.rom or DEMO_ROM
    if args.movie and args.input:
        raise UsageError("zumbrel run: --movie and --input both give the buttons; choose one")
    marks = snapshot_marks(args.snapshot_at)
    outputs = [(option, path) for option, path in
               (("--png", args.png), ("--gif", args.gif), ("--wav", args.wav)) if path]
    outputs += [(f"--snapshot-at {frame}", path) for frame, path in marks]
    protected = [(rom, "the cartridge")] + ([(args.input, "the --input script")] if args.input else [])
    protected += [(args.movie, "the --movie file")] if args.movie else []
    check_outputs(outputs, protected)
    try:
        formats = {option: media.picture_format(path, animated=option == "--gif")
                   for option, path in outputs if option in ("--png", "--gif")}
    except media.FormatError as error:
        raise CommandError(str(error)) from None
    script = None
    if args.input:
        try:
            with open(args.input, encoding="utf-8") as text:
                script = InputScript.parse(text.read(), args.input)
        except OSError as error:
            raise CommandError(f"{args.input}: {error.strerror or error}") from None
        except ScriptError as error:
            raise CommandError(str(error)) from None
    movie = None
    if args.movie:
        try:
            movie = Movie.load(args.movie)
        except MovieError as error:
            raise CommandError(str(error)) from None
    frames = run_length(args, movie, marks)
    # A replay brings its own cartridge RAM: it must not reach the player's save file.
    nes = open_console(rom, args.verbose, args.force, keep_saves=movie is None)
    files = {}
    try:
        files = dict(zip((option for option, _ in outputs), open_outputs(outputs)))
        if movie is not None:
            try:
                restore_state(nes, movie.start, f"{args.movie}: its start state")
            except MovieError as error:
                raise CommandError(str(error)) from None
        animation = media.Animation(media.NES_FRAME_RATE / args.gif_every) if args.gif else None

        def at_frame(frame: int) -> None:
            for mark, _ in marks:
                if mark == frame:
                    files[f"--snapshot-at {mark}"].file.write(snapshot(nes))

        result = headless.run(nes, frames, movie or script, animation, args.gif_every, at_frame=at_frame)
        stop_console(nes, args.verbose)  # the battery RAM file first: the outputs can wait
        if args.png:
            media.save_picture(files["--png"].file, nes.getImg(), formats["--png"])
        if animation is not None:
            animation.save(files["--gif"].file, formats["--gif"])
        if args.wav:
            media.save_sound(files["--wav"].file, result.samples)
        for out in files.values():
            out.commit()
    except BaseException:
        for out in files.values():
            out.discard()
        stop_console(nes, args.verbose)
        raise
    if args.png:
        print(f"picture: {args.png}")
    if animation is not None:
        print(f"animation: {args.gif} ({animation.count} frames)")
    if args.wav:
        print(f"sound: {args.wav} ({len(result.samples) / media.SAMPLE_RATE:.1f} s)")
    for frame, path in marks:
        print(f"start state: {path} (after {frame} frames)")
    print(f"{result.frames} frames in {result.seconds:.2f} s: {result.fps:.0f} frames per second")
    return 0


def command_play(args) -> int:
    rom = args.rom or DEMO_ROM
    check_rom(rom)
    if not pygame_available():
        raise CommandError(f"play needs pygame: {PLAY_HINT}")
    from .player import COMMANDS as PLAYER_COMMANDS
    from .player import Player, parse_assignments

    keys = parse_assignments(args.key, BUTTONS + PLAYER_COMMANDS, "--key")
    pad = parse_assignments(args.pad_button, BUTTONS[:4], "--pad-button")
    try:
        pad_numbers = {name: int(number) for name, number in pad.items()}
    except ValueError:
        raise CommandError("--pad-button: the gamepad button is a number") from None
    import pygame

    nes = open_console(rom, args.verbose, args.force)
    try:
        player = Player(nes, rom, scale=args.scale, fullscreen=args.fullscreen,
                        keys=keys, pad_buttons=pad_numbers, sound=not args.mute,
                        shot_dir=args.shots, verbose=args.verbose, record=args.record)
    except pygame.error as error:
        stop_console(nes, args.verbose)
        raise CommandError(f"cannot open a window ({error}); 'zumbrel run' needs none") from None
    except BaseException:
        stop_console(nes, args.verbose)
        raise
    player.run()  # stops the console on every way out
    return 0


def command_demo() -> int:
    """No command: the demo in a window, or headless with its picture and sound to files."""
    reason = None if pygame_available() else "pygame is not installed"
    if reason is None and not display_available():
        reason = "no display"
    if reason is None:
        try:
            return command_play(build_parser().parse_args(["play"]))
        except NoDisplay:
            reason = "no display"
    nes = open_console(DEMO_ROM)
    try:
        result = headless.run(nes, DEMO_FRAMES)
    finally:
        stop_console(nes)
    png, wav = os.path.abspath("demo.png"), os.path.abspath("demo.wav")
    media.write_picture(png, nes.getImg())
    media.write_sound(wav, result.samples)
    print(f"zumbrel: {reason}, so the demo ran without a window: {DEMO_FRAMES} frames in "
          f"{result.seconds:.2f} s ({result.fps:.0f} frames per second).")
    print(f"picture: {png}")
    print(f"sound:   {wav} ({len(result.samples) / media.SAMPLE_RATE:.1f} s)")
    print(f"Play it in a window with 'zumbrel play' ({PLAY_HINT}); see 'zumbrel --help'.")
    return 0


def dispatch(args_list: List[str]) -> int:
    if not args_list:
        return command_demo()
    if args_list[0] not in COMMANDS and not args_list[0].startswith("-"):
        args_list.insert(0, "play")  # `zumbrel game.nes` plays it
    args = build_parser().parse_args(args_list)
    if args.command is None:
        return command_demo()
    return {"play": command_play, "run": command_run, "info": command_info}[args.command](args)


def main(argv: Optional[Sequence[str]] = None) -> int:
    args_list: List[str] = list(sys.argv[1:] if argv is None else argv)
    try:
        with terminate_as_interrupt():
            return dispatch(args_list)
    except UsageError as error:
        print(error, file=sys.stderr)
        return 2
    except CommandError as error:
        print(f"zumbrel: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt as stop:
        signum = getattr(stop, "signum", signal.SIGINT)
        print(f"zumbrel: stopped by {signal.Signals(signum).name}; no unfinished file was written",
              file=sys.stderr)
        return 128 + signum
    except SystemExit as done:  # --help
        return done.code if isinstance(done.code, int) else 0
    except OSError as error:  # an output file that cannot be written, and the like
        name = f"{error.filename}: " if error.filename else ""
        print(f"zumbrel: error: {name}{error.strerror or error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
