; A battery cartridge: at every power-on it copies the counter at $6000 to $10 and
; stores the counter plus one back at $6000.
; link: nrom.cfg
.include "nes.inc"
INES_HEADER 2, 1, 0, $02

.segment "CODE"
reset:
    sei
    ldx #$FF
    txs
    lda $6000
    sta $10
    clc
    adc #1
    sta $6000
    lda #$A5
    sta $11
loop:
    jmp loop
nmi:
irq:
    rti

.segment "VECTORS"
    .word nmi, reset, irq
