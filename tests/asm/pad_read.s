; Reads both pads after every strobe and stores what it read.
; $10-$19: ten reads of $4016; $20-$29: ten reads of $4017 (strobe 1 then 0 first).
; With $F0 non-zero the strobe is left at 1: $30-$33 hold four reads of $4016.
; $FF counts the passes.
; link: nrom.cfg
.include "nes.inc"
INES_HEADER 2, 1, 0, 0

.segment "CODE"
reset:
    sei
    ldx #$FF
    txs
loop:
    lda $F0
    bne held
    lda #1
    sta JOY1
    lda #0
    sta JOY1
    ldx #0
:   lda JOY1
    sta $10,x
    inx
    cpx #10
    bne :-
    ldx #0
:   lda JOY2
    sta $20,x
    inx
    cpx #10
    bne :-
    inc $FF
    jmp loop
held:
    lda #1
    sta JOY1
    ldx #0
:   lda JOY1
    sta $30,x
    inx
    cpx #4
    bne :-
    inc $FF
    jmp loop
nmi:
irq:
    rti

.segment "VECTORS"
    .word nmi, reset, irq
