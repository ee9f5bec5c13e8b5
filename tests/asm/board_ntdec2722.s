; NTDEC 2722 (mapper 40): fixed 8 KiB banks 6, 4, 5, 7 at $6000, $8000, $A000, $E000, a
; bank chosen by writes to $E000-$FFFF at $C000, and a timer that interrupts every 4096
; CPU cycles: $8000-$9FFF stops and rearms it, $A000-$BFFF starts it. 8 KiB bank n
; starts with $B0 + n.
; link: board_8k_banks.cfg
.include "board_check.inc"
INES_HEADER 4, 1, 40, 0

STOP   = $8000
START  = $A000
SELECT = $E000

.segment "ZEROPAGE"
sum: .res 1
bad: .res 1

.segment "BANKS"
.repeat 7, n
    .byte $B0 + n
    .res $1FFF, $FF
.endrep

.segment "MARK"
    .byte $B7

.segment "CODE"
reset:
    START_TEST
    lda $6000               ; 1-5: power-on layout
    EXPECT $B6
    lda $8000
    EXPECT $B4
    lda $A000
    EXPECT $B5
    lda $E000
    EXPECT $B7
    lda $C000
    EXPECT 0

    lda #2                  ; 6-9
    sta SELECT
    lda $C000
    EXPECT $B2
    lda #9                  ; bank 9 of 8 wraps to 1
    sta $FFFF
    lda $C000
    EXPECT $B1
    lda #5                  ; $C000-$DFFF is not a register
    sta $C000
    sta $DFFF
    lda $C000
    EXPECT $B1
    lda #$FF
    sta SELECT
    lda $C000
    EXPECT $B7

    cli                     ; take the interrupt pending since power-on
    sta STOP                ; 10: a stopped timer is silent
    lda #0
    sta irq_count
    jsr wait_3880
    jsr wait_3880
    lda irq_count
    EXPECT 0
    sta START               ; 11, 12: 4096 cycles after the start, not before
    jsr wait_3880
    lda irq_count
    EXPECT 0
    jsr wait_400
    lda irq_count
    EXPECT 1

:   bit PPUSTATUS           ; per frame: 89342 dots are 7.27 periods of 12288
    bpl :-
    lda #$80
    sta PPUCTRL
:   lda frame
    cmp #10
    bne :-
    sei
    lda #0
    sta PPUCTRL
    sta sum
    sta bad
    ldy #1                  ; frames 1-8
:   lda FRAME_IRQS,y
    clc
    adc sum
    sta sum
    lda FRAME_IRQS,y
    cmp #7
    beq :+
    cmp #8
    beq :+
    inc bad
:   iny
    cpy #9
    bne :--
    lda bad                 ; 13: every frame 7 or 8
    EXPECT 0
    lda sum                 ; 14: 8 x 7.27 periods
    EXPECT_IN 58, 59
    FINISH_TEST

; About 3880 cycles with the jsr and rts: well short of 4096.
.proc wait_3880
    ldy #3
outer:
    ldx #0
inner:
    dex
    bne inner
    dey
    bne outer
    nop
    nop
    rts
.endproc

; About 400 cycles: with the wait above, past 4096 and far from 8192.
.proc wait_400
    ldx #78
:   dex
    bne :-
    rts
.endproc

nmi:
    pha
    txa
    pha
    ldx frame
    lda irq_count
    sta FRAME_IRQS,x
    lda #0
    sta irq_count
    inc frame
    pla
    tax
    pla
    rti

irq:
    inc irq_count
    rti

.segment "VECTORS"
    .word nmi, reset, irq

.segment "CHARS"
    .res $2000, 0
