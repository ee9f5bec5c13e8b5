"""Hostile bytes through the Python interface: damaged cartridge images and save states.

Every outcome is either a working console or ValueError; nothing else escapes and nothing
crashes. scripts/sanitize.sh runs these against the extension built with AddressSanitizer."""
import os
import random

import pytest
import zumbrel
from helpers import STATE_SIZE, Named

BOARD_PROGRAMS = ["smoke.nes", "board_mmc1.nes", "board_uxrom.nes", "board_cnrom.nes", "board_mmc3.nes",
                  "board_ntdec2722.nes", "board_axrom.nes", "board_bnrom.nes", "board_nina001.nes",
                  "board_gxrom.nes", "board_color_dreams.nes", "board_camerica.nes", "board_mmc2.nes",
                  "board_mmc4.nes"]


def random_bytes(rng, n):
    return rng.getrandbits(8 * n).to_bytes(n, "little")


def damaged(image, rng):
    """One of several kinds of damage: header bytes changed, bytes cut off the end, runs of
    random bytes written over the program, or a few bytes flipped anywhere."""
    data = bytearray(image)
    kind = rng.randrange(4)
    if kind == 0:
        for _ in range(rng.randint(1, 4)):
            data[rng.randrange(4, 16)] = rng.randrange(256)
    elif kind == 1:
        del data[rng.randrange(len(data)):]
    elif kind == 2:
        start = rng.randrange(16, len(data))
        run = random_bytes(rng, rng.randint(1, 512))
        data[start:start + len(run)] = run
    else:
        for _ in range(rng.randint(1, 16)):
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
    return bytes(data)


def test_damaged_cartridges_load_or_raise_value_error(roms, capfd):
    rng = random.Random(7)
    images = [(roms / name).read_bytes() for name in BOARD_PROGRAMS]
    loaded = refused = 0
    for _ in range(150):
        image = damaged(rng.choice(images), rng)
        try:
            nes = zumbrel.NES(Named(image))
        except ValueError:
            refused += 1
            continue
        loaded += 1
        for _ in range(3):
            nes.runFrame()
        assert nes.getImg().shape == (240, 256, 3)
    capfd.readouterr()  # the parser's lines for 150 images
    # The damage is mixed: both outcomes must occur, or the test is not testing both.
    print(f"{loaded} damaged images loaded and ran, {refused} refused")
    assert loaded > 20 and refused > 20, (loaded, refused)


@pytest.mark.parametrize("program", BOARD_PROGRAMS)
def test_random_states_load_and_run_on_every_board(roms, program, capfd):
    """A state file holds whatever bytes it holds: registers, memories and board block from
    anywhere load and the machine runs on."""
    rng = random.Random(program)
    nes = zumbrel.NES(str(roms / program))
    slot = os.path.join(nes.getSaveDir(), "5")
    for _ in range(8):
        state = bytearray(random_bytes(rng, STATE_SIZE))
        if rng.random() < 0.5:
            state[5:13] = random_bytes(rng, 2) + bytes(6)  # a plausible program counter
        with open(slot, "wb") as f:
            f.write(state)
        assert nes.loadState(5) is True
        for _ in range(10):
            nes.runFrame()
    capfd.readouterr()


def test_per_frame_function_may_drop_the_last_reference(roms):
    """The run thread calls a function that releases the console's last reference: the
    console must outlive the step in progress, and the thread then ends for good."""
    import threading
    import time

    holder = [zumbrel.NES(str(roms / "smoke.nes"), CLOCK_SPEED=0)]
    calls = []
    # Counting starts once "start" has returned: until then its caller holds a reference too.
    started = threading.Event()

    def drop():
        if not started.is_set():
            return
        calls.append(threading.get_ident())
        if len(calls) == 3:
            holder.clear()

    holder[0].perFrame(drop)
    holder[0].start()
    started.set()
    deadline = time.monotonic() + 10
    while len(calls) < 3 and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.3)
    assert len(calls) == 3  # no frame ran after the console was released
    assert threading.main_thread().ident not in calls
