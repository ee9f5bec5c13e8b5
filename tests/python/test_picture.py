"""The picture and the memory views: our test programs drawn pixel for pixel, checked against
pictures computed here from the programs' own data."""
import gc

import numpy as np
import pytest
import zumbrel

HEADER = 16
PRG = 32768

# Palettes as the programs write them ($3F00-$3F1F in order).
SCROLL_PALETTE = [0x21, 0x01, 0x12, 0x23, 0x0F, 0x05, 0x16, 0x27, 0x0F, 0x09, 0x1A, 0x2B, 0x0F, 0x0C, 0x1C, 0x3C,
                  0x21, 0x14, 0x24, 0x34, 0x0F, 0x06, 0x17, 0x28, 0x0F, 0x0A, 0x19, 0x29, 0x0F, 0x02, 0x11, 0x21]
SPRITE_PALETTE = [0x0F, 0x01, 0x12, 0x23, 0x0F, 0x05, 0x16, 0x27, 0x0F, 0x09, 0x1A, 0x2B, 0x0F, 0x0C, 0x1C, 0x3C,
                  0x0F, 0x14, 0x24, 0x34, 0x0F, 0x06, 0x17, 0x28, 0x0F, 0x0A, 0x19, 0x29, 0x0F, 0x02, 0x11, 0x30]
SPRITES_8 = [(0, 3, 0x00, 0), (100, 4, 0x40, 252), (232, 5, 0x80, 100), (50, 6, 0xC1, 50), (60, 6, 0x22, 60),
             (62, 7, 0x03, 64), (150, 1, 0x00, 255), (120, 3, 0x01, 3), (239, 1, 0x00, 30)] + \
            [(200, 1 + i % 7, i & 3, 10 + 20 * i) for i in range(9)]
SPRITES_CHR_ROM = [(30, 1, 0x00, 40), (80, 4, 0x41, 120), (150, 7, 0x02, 200)]
PRIORITY_PALETTE = [0x2D, 0x01, 0x12, 0x23, 0x2D, 0x05, 0x16, 0x27, 0x2D, 0x09, 0x1A, 0x2B, 0x2D, 0x0C, 0x1C, 0x3C,
                    0x2D, 0x14, 0x24, 0x34, 0x2D, 0x06, 0x17, 0x28, 0x2D, 0x0A, 0x19, 0x29, 0x2D, 0x02, 0x11, 0x30]
SPRITES_PRIORITY = [(2, 1, 0x00, 1), (40, 1, 0x00, 0), (40, 5, 0x01, 4), (56, 1, 0x20, 0), (56, 5, 0x22, 4),
                    (100, 4, 0x20, 100), (100, 7, 0x23, 124), (140, 6, 0x02, 60)]
SPRITES_16 = [(20, 0x03, 0x00, 20), (20, 0x04, 0x80, 40), (20, 0x05, 0xC2, 60), (226, 0x07, 0x01, 80),
              (0, 0x02, 0x20, 100), (100, 0x06, 0x41, 252)]


def quiet_nes(path, capsys):
    nes = zumbrel.NES(str(path))
    capsys.readouterr()
    return nes


def patterns(rom_path):
    """The 512 tiles of the cartridge's CHR ROM as 8 x 8 pixel values 0-3."""
    data = np.frombuffer(rom_path.read_bytes()[HEADER + PRG:HEADER + PRG + 8192], np.uint8).reshape(512, 2, 8)
    low = np.unpackbits(data[:, 0, :, None], axis=2)
    high = np.unpackbits(data[:, 1, :, None], axis=2)
    return low | (high << 1)


def palette_ram(written):
    """Palette bytes after 32 writes in order: $3F10/14/18/1C land on $3F00/04/08/0C."""
    ram = list(written)
    for i in (16, 20, 24, 28):
        ram[i - 16] = written[i]
    return np.array(ram)


def nametable_world(tiles, pages, table):
    """Pattern values and palette numbers of the 2 x 2 nametable pages as 480 x 512 arrays."""
    value = np.zeros((480, 512), np.uint8)
    pal = np.zeros((480, 512), np.uint8)
    rows, cols = np.indices((30, 32))
    for page, content in enumerate(pages):
        names = np.asarray(content[:960]).reshape(30, 32)
        attributes = np.asarray(content[960:1024]).reshape(8, 8)
        quadrant = (attributes[rows // 4, cols // 4] >> ((rows // 2 % 2) * 4 + (cols // 2 % 2) * 2)) & 3
        y0, x0 = (page // 2) * 240, (page % 2) * 256
        value[y0:y0 + 240, x0:x0 + 256] = tiles[table * 256 + names].transpose(0, 2, 1, 3).reshape(240, 256)
        pal[y0:y0 + 240, x0:x0 + 256] = np.kron(quadrant, np.ones((8, 8), np.uint8))
    return value, pal


def expected_picture(tiles, pal_ram, pages, oam, ctrl, mask, scroll_x, scroll_y):
    """Palette byte of every pixel of a still picture."""
    world_value, world_pal = nametable_world(tiles, pages, (ctrl >> 4) & 1)
    ys = (np.arange(240)[:, None] + scroll_y + ((ctrl >> 1) & 1) * 240) % 480
    xs = (np.arange(256)[None, :] + scroll_x + (ctrl & 1) * 256) % 512
    p, q = world_value[ys, xs], world_pal[ys, xs]

    height = 16 if ctrl & 0x20 else 8
    u = np.zeros((240, 256), np.int64)
    g = np.zeros((240, 256), np.int64)
    behind = np.zeros((240, 256), bool)
    if mask & 0x10:
        for y in range(240):
            on_line = [s for s in oam if s[0] != 255 and s[0] + 1 <= 239 and s[0] + 1 <= y < s[0] + 1 + height][:8]
            for oam_y, tile, attributes, x in reversed(on_line):  # the lowest OAM number ends on top
                row = y - (oam_y + 1)
                if attributes & 0x80:
                    row = height - 1 - row
                if height == 16:
                    number = (tile & 1) * 256 + (tile & 0xFE) + row // 8
                else:
                    number = ((ctrl >> 3) & 1) * 256 + tile
                line = tiles[number, row % 8]
                if attributes & 0x40:
                    line = line[::-1]
                for col in range(8):
                    if x + col < 256 and line[col]:
                        u[y, x + col], g[y, x + col] = line[col], attributes & 3
                        behind[y, x + col] = bool(attributes & 0x20)

    # A layer hidden at a pixel, by PPUMASK or its left clip, is transparent there.
    left = np.arange(256)[None, :] < 8
    background = bool(mask & 0x08) & (p != 0) & (~left | bool(mask & 0x02))
    front = (u != 0) & (~left | bool(mask & 0x04)) & (~background | ~behind)
    colour = np.full((240, 256), pal_ram[0])
    colour[background] = pal_ram[4 * q + p][background]
    colour[front] = pal_ram[0x10 + 4 * g + u][front]
    return colour


def checkered():
    rows, cols = np.indices((30, 32))
    return list(((rows ^ cols) & 3).ravel()) + [0xE4] * 64


def scroll_pages():
    pages = []
    for page in (0, 1):
        rows, cols = np.indices((30, 32))
        names = ((cols + 2 * rows + 5 * page) & 7).ravel()
        attributes = [(37 * i + 11 * page) & 0xFF for i in range(64)]
        pages.append(list(names) + attributes)
    return [pages[0], pages[1], pages[0], pages[1]]  # vertical mirroring


def assert_picture(nes, want):
    rgb = np.array(nes.colorLookup())[want & 0x3F]
    got = np.array(nes.getImg())
    wrong = np.argwhere((got != rgb).any(axis=2))
    assert len(wrong) == 0, f"{len(wrong)} pixels differ, first (y, x): {wrong[:5].tolist()}"
    # The picture is still: the next frame is the same.
    nes.runFrame()
    assert np.array_equal(np.array(nes.getImg()), got)


@pytest.mark.parametrize("name, pages, oam, pal, ctrl, mask, scroll", [
    ("ppu_scroll", scroll_pages, [], SCROLL_PALETTE, 0x01, 0x08, (13, 21)),
    ("ppu_sprites", lambda: [checkered()] * 4, SPRITES_8, SPRITE_PALETTE, 0x08, 0x1A, (0, 0)),
    ("ppu_tall", lambda: [checkered()] * 4, SPRITES_16, SPRITE_PALETTE, 0x20, 0x1E, (0, 0)),
    # Clears video memory from $0000 through PPUDATA: the CHR ROM graphics stay.
    ("ppu_chr_rom_writes", lambda: [checkered()] * 4, SPRITES_CHR_ROM, SPRITE_PALETTE, 0x08, 0x1E, (0, 0)),
])
def test_program_draws_the_expected_picture(roms, capsys, name, pages, oam, pal, ctrl, mask, scroll):
    path = roms / f"{name}.nes"
    nes = quiet_nes(path, capsys)
    for _ in range(8):
        nes.runFrame()
    assert_picture(nes, expected_picture(patterns(path), palette_ram(pal), pages(), oam, ctrl, mask, *scroll))


@pytest.mark.parametrize("mask", [
    0x10,  # background hidden and sprites clipped at the left
    0x14,  # background hidden: sprites behind it show, at the left too
    0x18,  # both layers clipped at the left
    0x1A,  # sprites clipped at the left: the background shows beneath them
    0x1C,  # background clipped at the left: sprites behind it show there
])
def test_sprite_priority_over_hidden_and_clipped_layers(roms, capsys, mask):
    path = roms / "ppu_priority.nes"
    nes = quiet_nes(path, capsys)
    for _ in range(6):
        nes.runFrame()
    nes.cpuMem()[0x2001] = mask  # the PPU reads PPUMASK from the CPU's memory
    nes.runFrame()
    want = expected_picture(patterns(path), palette_ram(PRIORITY_PALETTE), [checkered()] * 4, SPRITES_PRIORITY,
                            0x08, mask, 0, 0)
    assert len(np.unique(want)) >= 5  # the picture is not the backdrop alone
    assert_picture(nes, want)


def test_views_have_their_shapes_and_alias_the_machine(roms, capsys):
    nes = quiet_nes(roms / "ppu_scroll.nes", capsys)
    shapes = {"getImg": ((240, 256, 3), (768, 3, 1)), "ppuMem": ((16384,), (1,)), "OAM": ((256,), (1,)),
              "cpuMem": ((65536,), (1,)), "colorLookup": ((64, 3), (3, 1))}
    for method, (shape, strides) in shapes.items():
        view = getattr(nes, method)()
        assert view.dtype == np.uint8 and view.shape == shape and view.strides == strides, method
        assert view.flags.writeable, method

    first = nes.getImg()
    assert not first.any()  # nothing drawn before the first dot
    second = nes.getImg()
    assert np.shares_memory(first, second)
    for _ in range(3):
        nes.runFrame()
    assert first.any() and np.array_equal(first, second)

    # Palette writes through $2007 to $3F10 land on $3F00; the view shows storage unfolded.
    vram = nes.ppuMem()
    assert vram[0x3F00] == SCROLL_PALETTE[16] and vram[0x3F10] == 0
    assert vram[0x2400] == (0 + 5) & 7  # first tile of the right-hand nametable

    # Writing through a view changes the machine directly: the backdrop becomes $30.
    vram[0x3F00] = 0x30
    nes.runFrame()
    assert tuple(first[0, 0]) == (255, 255, 255)


def test_colour_table_view_is_a_writable_copy(roms, capsys):
    nes = quiet_nes(roms / "ppu_scroll.nes", capsys)
    table = nes.colorLookup()
    assert tuple(table[0x0D]) == (0, 0, 0) and tuple(table[0x30]) == (255, 255, 255)
    assert tuple(table[0x21]) == (83, 174, 255) and tuple(table[0x00]) == (96, 96, 96)
    saved = table.copy()
    try:
        table[0x21] = (1, 2, 3)
        assert tuple(nes.colorLookup()[0x21]) == (1, 2, 3)
        for _ in range(3):
            nes.runFrame()
        assert tuple(nes.getImg()[0, 0]) == (83, 174, 255)  # the renderer keeps its own table
    finally:
        table[:] = saved


def test_views_keep_their_console_alive(roms, capsys):
    nes = quiet_nes(roms / "ppu_sprites.nes", capsys)
    for _ in range(3):
        nes.runFrame()
    img, oam, vram = nes.getImg(), nes.OAM(), nes.ppuMem()
    before = img.copy()
    assert type(img.base).__name__ == "NES"
    del nes
    gc.collect()
    assert np.array_equal(img, before)
    assert oam[0] == 0 and oam[3] == 0 and oam[4] == 100
    vram[0x100] = 7  # still writable storage
    assert vram[0x100] == 7
