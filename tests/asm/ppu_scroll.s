; Background scrolled by (13, 21) from the right-hand nametable with vertical mirroring, so the
; picture wraps into the left-hand one; the leftmost 8 pixels of background are clipped.
; link: nrom.cfg
.include "nes.inc"
INES_HEADER 2, 1, 0, 1

CTRL_VALUE   = $01
MASK_VALUE   = $08
SCROLL_X     = 13
SCROLL_Y     = 21
SPRITE_COUNT = 0

.include "ppu_common.inc"

.segment "RODATA"
palette:
    .byte $21,$01,$12,$23, $0F,$05,$16,$27, $0F,$09,$1A,$2B, $0F,$0C,$1C,$3C
    .byte $21,$14,$24,$34, $0F,$06,$17,$28, $0F,$0A,$19,$29, $0F,$02,$11,$21
sprites:
attribute_start:
    .byte 0, 11

.segment "CODE"
; Nametable page p (0: $2000, 1: $2400): tile (column + 2 row + 5 p) AND 7;
; attribute byte i: (37 i + 11 p) AND $FF.
setup:
    lda #0
    sta page
@page:
    lda page
    asl
    asl
    ora #$20
    sta PPUADDR
    lda #0
    sta PPUADDR
    lda page
    asl
    asl
    adc page           ; carry is clear: page is 0 or 1
    sta row_start
    lda #30
    sta rows_left
@row:
    lda row_start
    ldy #32
@col:
    tax
    and #7
    sta PPUDATA
    inx
    txa
    dey
    bne @col
    lda row_start
    clc
    adc #2
    sta row_start
    dec rows_left
    bne @row
    ldx page
    lda attribute_start,x
    ldy #64
@attr:
    sta PPUDATA
    clc
    adc #37
    dey
    bne @attr
    inc page
    lda page
    cmp #2
    bne @page
    rts
