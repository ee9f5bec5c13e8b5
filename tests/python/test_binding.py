"""The module's contract: constructors, conversions, results, errors, pads and their lifetimes."""
import gc
import io
import re
import time

import numpy as np
import pytest
import zumbrel

BUTTONS = ["A", "B", "Select", "Start", "Up", "Down", "Left", "Right"]


def pads_read(nes, base):
    return list(nes.cpuMem()[base:base + 10])


def press(index):
    return [i == index for i in range(8)]


class TestPadProtocol:
    @pytest.fixture
    def nes(self, roms):
        return zumbrel.NES(str(roms / "pad_read.nes"))

    @pytest.mark.parametrize("index", range(8), ids=BUTTONS)
    def test_each_button_alone(self, nes, index):
        pad = zumbrel.Controller()
        nes.setController(pad, 0)
        pad.updateInputs(press(index))
        nes.runFrame()
        expected = [0x41 if i == index else 0x40 for i in range(8)] + [0x41, 0x41]
        assert pads_read(nes, 0x10) == expected

    def test_all_buttons_and_port_one(self, nes):
        first, second = zumbrel.Controller(), zumbrel.Controller()
        nes.setController(first, 0)
        nes.setController(second, 1)
        first.updateInputs([True] * 8)
        second.updateInputs([0, 1, 0, 1, 0, 1, 0, 1])
        nes.runFrame()
        assert pads_read(nes, 0x10) == [0x41] * 10
        assert pads_read(nes, 0x20) == [0x40, 0x41] * 4 + [0x41, 0x41]

    def test_built_in_pad_reads_released(self, nes):
        pad = zumbrel.Controller()
        pad.updateInputs([True] * 8)
        nes.setController(pad, 0)
        nes.runFrame()
        assert pads_read(nes, 0x20) == [0x40] * 8 + [0x41, 0x41]

    def test_strobe_held_at_one_repeats_button_a(self, nes):
        pad = zumbrel.Controller()
        nes.setController(pad, 0)
        nes.cpuMem()[0xF0] = 1
        pad.updateInputs(press(0))
        nes.runFrame()
        assert list(nes.cpuMem()[0x30:0x34]) == [0x41] * 4
        pad.updateInputs(press(1))
        nes.runFrame()
        assert list(nes.cpuMem()[0x30:0x34]) == [0x40] * 4


class TestUpdateInputs:
    @pytest.fixture
    def nes_and_pad(self, roms):
        nes = zumbrel.NES(str(roms / "pad_read.nes"))
        pad = zumbrel.Controller()
        nes.setController(pad, 0)
        return nes, pad

    def bits(self, nes):
        nes.runFrame()
        return [v & 1 for v in pads_read(nes, 0x10)[:8]]

    def test_conversions(self, nes_and_pad):
        nes, pad = nes_and_pad
        pad.updateInputs([1, 0, 0.0, None, 2, 0, 0, 0])
        assert self.bits(nes) == [1, 0, 0, 0, 1, 0, 0, 0]
        pad.updateInputs([0, 0, 0, 0, 0, 0, 0, 1, True, True])  # items after the eighth are ignored
        assert self.bits(nes) == [0, 0, 0, 0, 0, 0, 0, 1]

    def test_failures_change_nothing(self, nes_and_pad):
        nes, pad = nes_and_pad
        pad.updateInputs(press(3))
        with pytest.raises(IndexError):
            pad.updateInputs([1] * 7)
        with pytest.raises(RuntimeError, match="Unable to cast Python instance of type"):
            pad.updateInputs([1, 1, object(), 1, 1, 1, 1, 1])
        with pytest.raises(TypeError):
            pad.updateInputs((1,) * 8)  # a list, not any sequence
        assert self.bits(nes) == [0, 0, 0, 1, 0, 0, 0, 0]


class TestControllerLifetime:
    def test_attached_pad_stays_alive(self, roms):
        nes = zumbrel.NES(str(roms / "pad_read.nes"))
        pad = zumbrel.Controller()
        pad.updateInputs(press(7))
        nes.setController(pad, 0)
        del pad
        gc.collect()
        nes.runFrame()
        assert pads_read(nes, 0x10)[7] == 0x41

    def test_replaced_pad_is_released(self, roms):
        import weakref

        nes = zumbrel.NES(str(roms / "pad_read.nes"))
        first = zumbrel.Controller()
        ref = weakref.ref(first)
        nes.setController(first, 1)
        del first
        gc.collect()
        assert ref() is not None
        nes.setController(zumbrel.Controller(), 1)
        gc.collect()
        assert ref() is None

    def test_bad_port_changes_nothing(self, roms):
        nes = zumbrel.NES(str(roms / "pad_read.nes"))
        pad = zumbrel.Controller()
        pad.updateInputs([True] * 8)
        for port in (2, -1, 256):
            with pytest.raises(ValueError, match="port"):
                nes.setController(pad, port)
        nes.runFrame()
        assert pads_read(nes, 0x10)[:8] == [0x40] * 8


class TestConstructors:
    def test_no_argument_builds_the_blank_console(self, capfd):
        nes = zumbrel.NES()
        out = capfd.readouterr().out
        assert out.startswith("No rom specified.\n")
        assert "rom created.\n" in out
        assert nes.getSaveDir() == ""
        assert nes.frameCount() == 0 and nes.cycleCount() == 0

    def test_positional_int_is_the_clock_speed(self):
        nes = zumbrel.NES(42)
        nes.start()
        time.sleep(0.5)
        nes.stop()
        assert 0 < nes.cycleCount() < 200  # 42 cycles per second

    def test_path_str_and_bytes(self, roms):
        a = zumbrel.NES(str(roms / "smoke.nes"))
        b = zumbrel.NES(rom_name=str(roms / "smoke.nes").encode(), CLOCK_SPEED=1000)
        assert a.getSaveDir() == b.getSaveDir()
        assert a.getSaveDir().endswith("/.config/Quorvali/smoke")

    def test_file_object_gives_the_same_machine(self, roms):
        path = roms / "smoke.nes"
        by_path = zumbrel.NES(str(path))
        with open(path, "rb") as f:
            by_file = zumbrel.NES(f)
        for nes in (by_path, by_file):
            for _ in range(3):
                nes.runFrame()
        assert by_file.getSaveDir() == by_path.getSaveDir()
        assert np.array_equal(by_file.cpuMem(), by_path.cpuMem())
        assert by_file.cycleCount() == by_path.cycleCount()

    def test_object_without_name_or_none(self, roms):
        with pytest.raises(AttributeError):
            zumbrel.NES(None)
        with pytest.raises(AttributeError):
            zumbrel.NES(io.BytesIO((roms / "smoke.nes").read_bytes()))

    def test_read_result_must_be_bytes(self):
        class Odd:
            name = "odd.nes"

            def read(self):
                return 12

        with pytest.raises(RuntimeError):
            zumbrel.NES(Odd())

    def test_arguments_that_fit_no_overload(self):
        with pytest.raises(TypeError):
            zumbrel.NES(rom_name=None)
        with pytest.raises(TypeError):
            zumbrel.NES("a.nes", "fast")
        with pytest.raises(TypeError):
            zumbrel.NES(CLOCK_SPEED=2**40)
        with pytest.raises(TypeError):
            zumbrel.NES().saveState(slot=1)  # methods take positional arguments only

    def test_bad_files(self, tmp_path):
        missing = tmp_path / "missing.nes"
        with pytest.raises(FileNotFoundError) as err:
            zumbrel.NES(str(missing))
        assert str(missing) in str(err.value)
        with pytest.raises(OSError):
            zumbrel.NES(str(tmp_path))  # a directory
        short = tmp_path / "short.nes"
        short.write_bytes(b"NES\x1a\x01")
        with pytest.raises(ValueError):
            zumbrel.NES(str(short))
        nomagic = tmp_path / "nomagic.nes"
        nomagic.write_bytes(b"\0" * 40000)
        with pytest.raises(ValueError):
            zumbrel.NES(str(nomagic))


class TestResults:
    def test_types(self, roms):
        nes = zumbrel.NES(str(roms / "smoke.nes"))
        assert type(nes.cycleCount()) is int and type(nes.frameCount()) is int
        assert type(nes.getAudio()) is bytes
        assert type(nes.loadState(3)) is bool
        assert type(nes.setSaveDir("/definitely/not/here")) is bool
        assert type(nes.getSaveDir()) is str
        for view in (nes.cpuMem(), nes.ppuMem(), nes.OAM(), nes.getImg(), nes.colorLookup()):
            assert isinstance(view, np.ndarray) and view.dtype == np.uint8

    def test_views_shapes_and_aliasing(self, roms):
        nes = zumbrel.NES(str(roms / "smoke.nes"))
        assert nes.cpuMem().shape == (65536,)
        assert nes.ppuMem().shape == (16384,)
        assert nes.OAM().shape == (256,)
        assert nes.getImg().shape == (240, 256, 3) and nes.getImg().strides == (768, 3, 1)
        assert nes.colorLookup().shape == (64, 3)
        mem = nes.cpuMem()
        mem[0x0300] = 0x99
        assert nes.cpuMem()[0x0300] == 0x99

    def test_views_keep_their_console_alive(self, roms):
        nes = zumbrel.NES(str(roms / "smoke.nes"))
        mem = nes.cpuMem()
        img = nes.getImg()
        nes.runFrame()
        expected = mem.copy()
        del nes
        gc.collect()
        assert np.array_equal(mem, expected)
        assert img.sum() >= 0
        mem[0] = 1


def test_module_has_only_the_two_classes():
    public = {name for name in dir(zumbrel) if not name.startswith("_")}
    assert public == {"NES", "Controller"}
    assert zumbrel.__doc__ is None


SIGNATURES = {
    "cpuMem": "({%}) -> numpy.ndarray[numpy.uint8]",
    "getAudio": "({%}) -> bytes",
    "start": "({%}) -> None",
    "saveState": "({%}, {int}) -> None",
    "loadState": "({%}, {int}) -> bool",
    "setPaused": "({%}, {bool}) -> None",
    "setSaveDir": "({%}, {str}) -> bool",
    "getSaveDir": "({%}) -> str",
    "setController": "({%}, {%}, {int}) -> None",
    "frameCount": "({%}) -> int",
    "perFrame": "({%}, {Callable[[], None]}) -> None",
}


def rendered(signature, name):
    """The docstring line pybind11 renders from a signature template."""
    args = re.findall(r"\{([^}]*)\}", signature.split(" -> ")[0])
    ret = signature.split(" -> ")[1]
    names = ["self: zumbrel.NES"] + [
        f"arg{i}: {'zumbrel.Controller' if t == '%' else t}" for i, t in enumerate(args[1:])
    ]
    return f"{name}({', '.join(names)}) -> {ret}"


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_signatures_and_no_docstrings(name):
    doc = getattr(zumbrel.NES, name).__doc__
    assert doc.strip() == rendered(SIGNATURES[name], name)


def test_constructor_signatures():
    doc = zumbrel.NES.__init__.__doc__
    assert "1. __init__(self: zumbrel.NES, rom_name: str, CLOCK_SPEED: int = 1789773) -> None" in doc
    assert "2. __init__(self: zumbrel.NES, CLOCK_SPEED: int = 1789773) -> None" in doc
    assert "3. __init__(self: zumbrel.NES, rom_file: object, CLOCK_SPEED: int = 1789773) -> None" in doc
    assert zumbrel.Controller.updateInputs.__doc__.strip() == (
        "updateInputs(self: zumbrel.Controller, arg0: list) -> None")
