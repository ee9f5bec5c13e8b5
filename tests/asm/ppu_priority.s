; Sprites in front of and behind a checkered background, in the leftmost 8 pixels and in the
; middle. The tests change PPUMASK through the CPU memory view to clip or hide each layer.
; link: nrom.cfg
.include "nes.inc"
INES_HEADER 2, 1, 0, 0

CTRL_VALUE   = $08
MASK_VALUE   = $14
SCROLL_X     = 0
SCROLL_Y     = 0
SPRITE_COUNT = (sprites_end - sprites) / 4

.include "ppu_common.inc"

.segment "RODATA"
palette:
    .byte $2D,$01,$12,$23, $2D,$05,$16,$27, $2D,$09,$1A,$2B, $2D,$0C,$1C,$3C
    .byte $2D,$14,$24,$34, $2D,$06,$17,$28, $2D,$0A,$19,$29, $2D,$02,$11,$30
sprites:
    .byte   2, 1, $00,   1   ; in front, left edge, over transparent background
    .byte  40, 1, $00,   0   ; in front, left edge, over opaque background
    .byte  40, 5, $01,   4   ; in front, across the edge of the left clip
    .byte  56, 1, $20,   0   ; behind, left edge, over opaque background
    .byte  56, 5, $22,   4   ; behind, across the edge of the left clip
    .byte 100, 4, $20, 100   ; behind, over opaque and transparent tiles
    .byte 100, 7, $23, 124
    .byte 140, 6, $02,  60   ; in front, over opaque and transparent tiles
sprites_end:

.segment "CODE"
setup:
    jmp fill_checkered
