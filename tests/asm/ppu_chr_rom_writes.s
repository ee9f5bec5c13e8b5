; A cartridge with CHR ROM whose start-up clears video memory through PPUDATA from $0000,
; pattern tables included, before it fills the nametable: the graphics must survive.
; link: nrom.cfg
.include "nes.inc"
INES_HEADER 2, 1, 0, 0

CTRL_VALUE   = $08
MASK_VALUE   = $1E
SCROLL_X     = 0
SCROLL_Y     = 0
SPRITE_COUNT = (sprites_end - sprites) / 4

.include "ppu_common.inc"

.segment "RODATA"
.include "ppu_palette.inc"
sprites:
    .byte  30, 1, $00,  40
    .byte  80, 4, $41, 120
    .byte 150, 7, $02, 200
sprites_end:

.segment "CODE"
setup:
    lda #$00
    sta PPUADDR
    sta PPUADDR
    ldy #$30                    ; $0000-$2FFF
    tax
:   sta PPUDATA
    inx
    bne :-
    dey
    bne :-
    jmp fill_checkered
