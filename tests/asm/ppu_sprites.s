; 8x8 sprites from $1000 over a checkered background: at the four screen edges, flipped,
; behind the background, overlapping, and nine on one line. Sprites are clipped in the
; leftmost 8 pixels, the background is not.
; link: nrom.cfg
.include "nes.inc"
INES_HEADER 2, 1, 0, 0

CTRL_VALUE   = $08
MASK_VALUE   = $1A
SCROLL_X     = 0
SCROLL_Y     = 0
SPRITE_COUNT = (sprites_end - sprites) / 4

.include "ppu_common.inc"

.segment "RODATA"
.include "ppu_palette.inc"
sprites:
    .byte   0, 3, $00,   0   ; top-left corner: first drawn on line 1
    .byte 100, 4, $40, 252   ; right edge, flipped horizontally
    .byte 232, 5, $80, 100   ; bottom edge, flipped vertically
    .byte  50, 6, $C1,  50   ; both flips
    .byte  60, 6, $22,  60   ; behind the background
    .byte  62, 7, $03,  64   ; in front, overlapping the one before
    .byte 150, 1, $00, 255   ; a single column at x = 255
    .byte 120, 3, $01,   3   ; partly under the left clip
    .byte 239, 1, $00,  30   ; never drawn
    .byte 200, 1, $00,  10   ; nine on lines 201-208: the last is left out
    .byte 200, 2, $01,  30
    .byte 200, 3, $02,  50
    .byte 200, 4, $03,  70
    .byte 200, 5, $00,  90
    .byte 200, 6, $01, 110
    .byte 200, 7, $02, 130
    .byte 200, 1, $03, 150
    .byte 200, 2, $00, 170
sprites_end:

.segment "CODE"
setup:
    jmp fill_checkered
