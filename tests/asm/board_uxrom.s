; UxROM (mapper 2): the low four bits of any write to $8000-$FFFF choose the 16 KiB bank
; at $8000; the last bank stays at $C000. Bank n starts with the byte $A0 + n.
; link: board_16k_banks.cfg
.include "board_check.inc"
INES_HEADER 8, 0, 2, 0

.segment "BANKS"
.repeat 7, n
    .byte $A0 + n
    .res $3FFF, $FF
.endrep

.segment "MARK"
    .byte $A7

.segment "CODE"
reset:
    START_TEST
    lda $8000               ; 1: bank 0 after power-on
    EXPECT $A0
    lda $C000               ; 2: the last bank at $C000
    EXPECT $A7
    lda #$13                ; 3: upper bits are not wired
    sta $C123
    lda $8000
    EXPECT $A3
    lda #$F5                ; 4
    sta $8000
    lda $8000
    EXPECT $A5
    lda #$0F                ; 5: bank 15 of 8 wraps to 7, the fixed one
    sta $FFFF
    lda $8000
    EXPECT $A7
    lda #2                  ; 6: PRG RAM and expansion space do not reach the board
    sta $6000
    sta $4020
    lda $8000
    EXPECT $A7
    lda $C000               ; 7
    EXPECT $A7
    lda #1                  ; 8: and back to a low bank
    sta $9000
    lda $8000
    EXPECT $A1
    lda $6000               ; 9: the PRG RAM byte was stored
    EXPECT 2
    FINISH_TEST

nmi:
irq:
    rti

.segment "VECTORS"
    .word nmi, reset, irq
