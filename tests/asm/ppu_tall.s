; 8x16 sprites over a checkered background: the pattern table comes from tile bit 0,
; with flips, a sprite cut at the bottom, one behind the background and one at the right edge.
; link: nrom.cfg
.include "nes.inc"
INES_HEADER 2, 1, 0, 0

CTRL_VALUE   = $20
MASK_VALUE   = $1E
SCROLL_X     = 0
SCROLL_Y     = 0
SPRITE_COUNT = (sprites_end - sprites) / 4

.include "ppu_common.inc"

.segment "RODATA"
.include "ppu_palette.inc"
sprites:
    .byte  20, $03, $00,  20   ; tiles 2 and 3 of $1000
    .byte  20, $04, $80,  40   ; tiles 4 and 5 of $0000, flipped vertically
    .byte  20, $05, $C2,  60   ; tiles 4 and 5 of $1000, both flips
    .byte 226, $07, $01,  80   ; cut at the bottom of the picture
    .byte   0, $02, $20, 100   ; behind the background, from line 1
    .byte 100, $06, $41, 252   ; right edge, flipped horizontally
sprites_end:

.segment "CODE"
setup:
    jmp fill_checkered
