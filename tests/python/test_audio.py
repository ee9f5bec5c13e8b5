"""Sound through "getAudio": our programs each play one channel for 60 frames, then stop."""
import numpy as np
import pytest
import zumbrel

CPU_HZ = 1789773
RATE = 44100


def record(path, frames):
    """Every block the console hands out while it runs `frames` frames."""
    nes = zumbrel.NES(str(path))
    assert nes.getAudio() == b""  # no sample yet
    blocks = []
    for _ in range(frames):
        nes.runFrame()
        block = nes.getAudio()
        assert nes.getAudio() == b""  # a block is handed out once
        if block:
            assert len(block) == 2048
            blocks.append(np.frombuffer(block, dtype=np.int16))
    return blocks


def note_of(blocks):
    """The samples from the first to the last non-zero one, after the silent first block."""
    assert not blocks[0].any()
    sound = np.concatenate(blocks[1:])
    loud = np.flatnonzero(sound)
    assert loud.size, "no sound at all"
    return sound, loud[0], loud[-1] + 1


def crossings_hz(samples):
    signs = np.signbit(samples)
    return np.count_nonzero(signs[1:] != signs[:-1]) / 2 / (len(samples) / RATE)


def repeat_hz(samples):
    """The strongest repetition (autocorrelation peak) of a pseudo-random periodic signal."""
    x = samples - samples.mean()
    spectrum = np.fft.rfft(x, 2 * len(x))
    corr = np.fft.irfft(spectrum * np.conj(spectrum))[: len(x)]
    lag = 20 + int(np.argmax(corr[20:2000]))
    a, b, c = corr[lag - 1 : lag + 2]
    return RATE / (lag + 0.5 * (a - c) / (a - 2 * b + c))


@pytest.mark.parametrize(
    "program, hz, measure, volume",
    [
        ("apu_pulse1", CPU_HZ / (16 * 254), crossings_hz, 15 * 0.00752),
        ("apu_pulse2", CPU_HZ / (16 * 401), crossings_hz, 12 * 0.00752),
        ("apu_triangle", CPU_HZ / (32 * 201), crossings_hz, 15 * 0.00851),
        ("apu_noise", CPU_HZ / (93 * 202), repeat_hz, 15 * 0.00494),
    ],
)
def test_note_pitch_length_and_silence(roms, program, hz, measure, volume):
    blocks = record(roms / f"{program}.nes", 90)
    assert 60 <= len(blocks) <= 66  # 90 frames of 735 samples in blocks of 1024
    sound, start, end = note_of(blocks)
    assert (end - start) / RATE == pytest.approx(60 * 29780.5 / CPU_HZ, rel=0.03)
    assert not sound[:start].any() and not sound[end:].any()
    assert len(sound) - end > 10000  # the silence after the note was recorded too

    middle = sound[start + 2000 : end - 2000]
    assert measure(middle) == pytest.approx(hz, rel=0.01)
    assert np.abs(middle).max() == pytest.approx(volume * 32767, abs=1)
