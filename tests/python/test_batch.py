"""Stepping a batch of consoles on native threads."""
import gc
import io
import os
import signal
import threading
import time
import warnings

import numpy as np
import pytest
import zumbrel
from zumbrel_tools import DEMO_ROM, StepPool, restore, snapshot, step_batch
from zumbrel_tools.batch import picture_array, ram_array
from zumbrel_tools.demo import DEMO_PLAYER_X as PLAYER_X

RIGHT, LEFT = 0x01, 0x02


_POWER_ON = []


def fresh():
    """A demo console at power-on. All start alike: the battery RAM file, which shows on screen,
    changes whenever a console ends."""
    nes = zumbrel.NES(DEMO_ROM, 0)
    if not _POWER_ON:
        _POWER_ON.append(snapshot(nes))
    restore(nes, _POWER_ON[0])
    return nes


def consoles(count):
    return [fresh() for _ in range(count)]


def pressing(byte):
    pad = zumbrel.Controller()
    pad.updateInputs([bool(byte & (0x80 >> i)) for i in range(8)])
    return pad


def reference(byte, frames):
    """The frames one console shows stepped alone by runFrame, and its RAM at the end."""
    nes = fresh()
    nes.setController(pressing(byte), 0)
    shown = []
    for _ in range(frames):
        nes.runFrame()
        shown.append(np.array(nes.getImg()))
    return shown, np.array(nes.cpuMem()[:2048])


def gray(rgb):
    r, g, b = np.moveaxis(rgb.astype(np.uint32), -1, 0)
    return ((77 * r + 150 * g + 29 * b + 128) >> 8).astype(np.uint8)


def half(picture):
    p = picture.astype(np.uint32)
    return ((p[0::2, 0::2] + p[0::2, 1::2] + p[1::2, 0::2] + p[1::2, 1::2] + 2) // 4).astype(np.uint8)


CONVERSIONS = {
    ("rgb", False): lambda rgb: rgb,
    ("gray", False): gray,
    ("rgb", True): half,
    ("gray", True): lambda rgb: gray(half(rgb).astype(np.uint8)),
}


@pytest.mark.parametrize("threads", [1, 2])
def test_each_console_follows_its_own_pad_as_if_stepped_alone(threads):
    pads = [RIGHT, LEFT, 0, RIGHT]
    batch = consoles(len(pads))
    pictures, ram = picture_array(len(pads)), ram_array(len(pads))
    pool = StepPool(threads)
    for _ in range(3):  # the pool is kept between calls
        step_batch(batch, np.array(pads, np.uint8), 30, pictures=pictures, ram=ram, threads=pool)
    for i, byte in enumerate(pads):
        shown, expected_ram = reference(byte, 90)
        np.testing.assert_array_equal(pictures[i], shown[-1])
        np.testing.assert_array_equal(ram[i], expected_ram)
        assert batch[i].frameCount() == 90
    assert ram[0, PLAYER_X] > ram[2, PLAYER_X] > ram[1, PLAYER_X]


@pytest.mark.parametrize("colour,small", list(CONVERSIONS))
@pytest.mark.parametrize("max_pool", [False, True])
def test_picture_formats_and_maximum_of_the_last_two_frames(colour, small, max_pool):
    batch = consoles(2)
    pictures = picture_array(2, colour, small)
    # Eight buttons each, in report order, instead of input bytes.
    buttons = np.zeros((2, 8), bool)
    buttons[1, 7] = True
    step_batch(batch, buttons, 40, pictures=pictures, max_pool=max_pool, threads=2)
    convert = CONVERSIONS[colour, small]
    for i, byte in enumerate([0, RIGHT]):
        shown, _ = reference(byte, 40)
        expected = convert(shown[-1])
        if max_pool:
            expected = np.maximum(convert(shown[-2]), expected)
        np.testing.assert_array_equal(pictures[i], expected)


def test_an_attached_pad_gives_way_during_the_batch_and_comes_back_after():
    nes = zumbrel.NES(DEMO_ROM, 0)
    nes.setController(pressing(LEFT), 0)
    ram = ram_array(1)
    step_batch([nes], [0], 60)  # let the game place its character
    step_batch([nes], [RIGHT], 20, ram=ram)
    x = ram[0, PLAYER_X]
    step_batch([nes], [0], 1, ram=ram)
    assert ram[0, PLAYER_X] == x, "a released batch pad must stop the character"
    for _ in range(10):
        nes.runFrame()
    assert nes.cpuMem()[PLAYER_X] < x, "the attached pad (left) must be back after the batch"


def test_a_pad_cannot_be_attached_while_a_batch_steps_the_console():
    nes = fresh()
    attached = pressing(LEFT)
    nes.setController(attached, 0)
    ram = ram_array(1)
    worker = threading.Thread(target=step_batch, args=([nes], [0], 600), kwargs={"ram": ram})
    worker.start()
    try:
        while nes.frameCount() == 0:
            pass
        with pytest.raises(RuntimeError, match="a batch is stepping this console"):
            nes.setController(pressing(RIGHT), 0)
    finally:
        worker.join(timeout=60)
    np.testing.assert_array_equal(ram[0], reference(0, 600)[1], "the batch's frames must read its own pad")
    del attached  # the console holds the pad it keeps: running on reads it, not freed memory
    gc.collect()
    x = nes.cpuMem()[PLAYER_X]
    for _ in range(10):
        nes.runFrame()
    assert nes.cpuMem()[PLAYER_X] < x, "the pad attached before the batch must be back"
    nes.setController(pressing(RIGHT), 0)  # free again once the batch is over


@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_ends_a_long_batch_between_two_frames(threads):
    # Far more frames than any machine runs before the signal (the demo runs tens of thousands a
    # second), so that the batch cannot finish first.
    batch, frames = consoles(2), 1_000_000
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        step_batch(batch, [0, 0], frames, threads=threads)
    timer.join()
    stopped_at = [n.frameCount() for n in batch]
    assert 0 < max(stopped_at) < frames, f"stopped at {stopped_at} of {frames} frames"
    step_batch(batch, [0, 0], 2, threads=threads)  # each console whole, and free for the next batch
    assert [n.frameCount() for n in batch] == [count + 2 for count in stopped_at]


def read_only(array):
    array.flags.writeable = False
    return array


def running(nes):
    nes.start()
    return nes


def with_frame_function(nes):
    nes.perFrame(lambda: None)
    return nes


def with_board(number):
    """The demo on a board given by its mapper number, without its battery flag (no save file)."""
    image = bytearray(open(DEMO_ROM, "rb").read())
    image[6] = (image[6] & 0x0D) | (number & 0x0F) << 4
    image[7] = (image[7] & 0x0F) | (number & 0xF0)
    cartridge = io.BytesIO(bytes(image))
    cartridge.name = f"board{number}.nes"
    return zumbrel.NES(cartridge, 0)


@pytest.mark.parametrize("make_batch,kwargs,error,words", [
    (lambda: [running(zumbrel.NES(DEMO_ROM, 0))], {}, ValueError, "running on its thread"),
    (lambda: [with_frame_function(zumbrel.NES(DEMO_ROM, 0))], {}, ValueError, "per-frame function"),
    (lambda: [zumbrel.NES(DEMO_ROM, 0), "not a console"], {}, TypeError, "not a zumbrel.NES"),
    (lambda: [zumbrel.NES(DEMO_ROM, 0)] * 2, {}, ValueError, "appears twice"),
    (lambda: [zumbrel.NES(DEMO_ROM, 0), with_board(5)], {}, ValueError, r"console 1 has board 5, which is not supp"),
    (lambda: consoles(2), {"frames": 0}, ValueError, "frames must be at least 1"),
    (lambda: consoles(2), {"buttons": [[0] * 7] * 2}, ValueError, "buttons must have shape"),
    (lambda: consoles(2), {"buttons": [np.nan, 0]}, ValueError, "whole numbers in 0..255"),
    (lambda: consoles(2), {"buttons": [[2] + [0] * 7] * 2}, ValueError, "whole numbers in 0..1"),
    (lambda: consoles(2), {"pictures": np.zeros((2, 240, 256, 3), np.int16)}, ValueError, "dtype uint8"),
    (lambda: consoles(2), {"pictures": np.zeros((3, 240, 256, 3), np.uint8)}, ValueError, "wrong shape"),
    (lambda: consoles(2), {"pictures": np.zeros((2, 240, 255, 3), np.uint8)}, ValueError, "pictures must have shape"),
    (lambda: consoles(2), {"pictures": np.zeros((2, 240, 256, 6), np.uint8)[..., ::2]}, ValueError, "C-contiguous"),
    (lambda: consoles(2), {"ram": np.zeros((2, 2048), np.uint8)[::-1]}, ValueError, "C-contiguous"),
    (lambda: consoles(2), {"ram": np.zeros((2, 2048), np.uint8).T.copy().T}, ValueError, "C-contiguous"),
    (lambda: consoles(2), {"ram": np.zeros((2, 2047), np.uint8)}, ValueError, "wrong shape"),
    (lambda: consoles(2), {"ram": read_only(ram_array(2))}, ValueError, "writable"),
    (lambda: consoles(2), {"ram": [[0] * 2048] * 2}, TypeError, "NumPy array"),
])
def test_refusals_happen_before_any_console_moves(make_batch, kwargs, error, words):
    batch = make_batch()
    try:
        settled = [n for n in batch if isinstance(n, zumbrel.NES)]
        args = {"buttons": np.zeros(len(batch), np.uint8), "frames": 2,
                "pictures": picture_array(len(batch)), "ram": ram_array(len(batch))}
        args.update(kwargs)
        for name in ("pictures", "ram"):
            if isinstance(args[name], np.ndarray) and args[name].flags.writeable:
                args[name][...] = 7
        before = {name: np.array(args[name]) for name in ("pictures", "ram")}
        with pytest.raises(error, match=words):
            step_batch(batch, args.pop("buttons"), **args)
        if words != "running on its thread":
            assert [n.frameCount() for n in settled] == [0] * len(settled)
        for name in ("pictures", "ram"):
            if isinstance(args[name], np.ndarray):
                assert (args[name] == before[name]).all(), f"{name} changed although the batch was refused"
    finally:
        for nes in batch:
            if isinstance(nes, zumbrel.NES):
                nes.stop()


def test_pictures_and_ram_must_not_overlap():
    storage = np.zeros(2 * 240 * 256 * 3 + 2 * 2048, np.uint8)
    pictures = storage[:2 * 240 * 256 * 3].reshape(2, 240, 256, 3)
    ram = storage[-2 * 2048 - 100:-100].reshape(2, 2048)
    with pytest.raises(ValueError, match="share memory"):
        step_batch(consoles(2), [0, 0], pictures=pictures, ram=ram)


def test_other_python_threads_run_while_a_batch_steps():
    batch = consoles(2)
    worker = threading.Thread(target=step_batch, args=(batch, [0, 0], 120), kwargs={"threads": 2})
    counts = set()
    worker.start()
    while worker.is_alive():
        counts.add(batch[0].frameCount())
    worker.join(timeout=60)
    # Holding the lock through the call would let this thread see the count only before or after.
    assert counts - {0, 120}, "no frame count seen while the batch stepped"


def test_a_console_is_stepped_by_one_batch_at_a_time():
    batch = consoles(1)
    worker = threading.Thread(target=step_batch, args=(batch, [0], 1200))
    worker.start()
    try:
        while batch[0].frameCount() == 0:
            pass
        with pytest.raises(ValueError, match="being stepped by another batch"):
            step_batch(batch, [0], 1)
    finally:
        worker.join(timeout=60)
    assert batch[0].frameCount() == 1200
    step_batch(batch, [0], 1)  # free again once the first batch is over
    assert batch[0].frameCount() == 1201


def in_forked_child(body):
    """Runs `body` in a forked child and asserts that it returned true; a failure, or a hang
    that the parent ends, fails the test."""
    with warnings.catch_warnings():  # forking with threads alive is what these tests are about
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = 0 if body() else 1
        finally:
            os._exit(code)
    deadline = time.monotonic() + 30
    while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.05)
    if done[0] == 0:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        pytest.fail("the forked child hung")
    assert os.waitstatus_to_exitcode(done[1]) == 0, "the forked child failed"


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_makes_its_own_pools_and_can_drop_the_parents():
    parent_pool = StepPool(2)
    step_batch(consoles(2), [0, 0], 1, threads=2)  # the process's shared pool of two

    def child():
        nonlocal parent_pool
        step_batch(consoles(2), [0, 0], 2, threads=2)
        try:
            parent_pool.step(consoles(1), np.zeros(1, np.uint8))
        except ValueError as e:
            refused = "another process" in str(e)
        del parent_pool
        return refused

    in_forked_child(child)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_child_forked_during_a_batch_can_step_its_consoles():
    batch = consoles(1)
    worker = threading.Thread(target=step_batch, args=(batch, [0], 600))
    worker.start()
    try:
        while batch[0].frameCount() == 0:
            pass

        def child():
            step_batch(batch, [0], 2)
            return True

        in_forked_child(child)
    finally:
        worker.join(timeout=60)


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads in /proc")
def test_step_batch_keeps_one_pool_of_a_sane_size():
    def threads_after_batch(threads):
        step_batch(consoles(1), [0], 1, threads=threads)
        return len(os.listdir("/proc/self/task"))

    first = threads_after_batch(2)
    for threads in (3, 4, 2):
        last = threads_after_batch(threads)
    assert last == first, "pools of other sizes must end when replaced"
    with pytest.raises(ValueError, match="threads must be 1 to 256"):
        StepPool(10_000)
