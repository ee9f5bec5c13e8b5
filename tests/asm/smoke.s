; Smallest program: counts frames in $00 from the NMI and loops.
; link: nrom.cfg
.include "nes.inc"
INES_HEADER 2, 1, 0, 0

.segment "CODE"
reset:
    sei
    ldx #$FF
    txs
    lda #$80
    sta PPUCTRL
loop:
    inc $01
    jmp loop
nmi:
    inc $00
    rti
irq:
    rti

.segment "VECTORS"
    .word nmi, reset, irq
