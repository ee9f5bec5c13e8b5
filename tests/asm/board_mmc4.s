; MMC4 (mapper 10): the 16 KiB PRG bank at $8000 from $A000-$AFFF, the last one fixed at
; $C000, PRG RAM at $6000; CHR and latch checks in board_latches.inc. 16 KiB PRG bank n
; starts with $A0 + n.
; link: board_16k_banks.cfg
.include "board_check.inc"
INES_HEADER 8, 4, 10, 0

.segment "BANKS"
.repeat 7, n
    .byte $A0 + n
    .res $3FFF, $FF
.endrep

.segment "MARK"
    .byte $A7

.include "board_latches.inc"

.segment "CODE"
reset:
    START_TEST
    lda $C000               ; 1: the last bank fixed
    EXPECT $A7
    lda #$13                ; 2: upper bits are not wired
    sta $A000
    lda $8000
    EXPECT $A3
    lda #$42                ; 3: PRG RAM
    sta $6000
    lda $6000
    EXPECT $42
    LATCH_CHECKS            ; 4-14
    FINISH_TEST

nmi:
irq:
    rti

.segment "VECTORS"
    .word nmi, reset, irq
