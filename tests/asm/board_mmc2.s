; MMC2 (mapper 9): the 8 KiB PRG bank at $8000 from $A000-$AFFF, the last three banks
; fixed; CHR and latch checks in board_latches.inc. 8 KiB PRG bank n starts with $A0 + n.
; link: board_8k_banks.cfg
.include "board_check.inc"
INES_HEADER 8, 4, 9, 0

.segment "BANKS"
.repeat 15, n
    .byte $A0 + n
    .res $1FFF, $FF
.endrep

.segment "MARK"
    .byte $AF

.include "board_latches.inc"

.segment "CODE"
reset:
    START_TEST
    lda $A000               ; 1, 2: the last three banks fixed
    EXPECT $AD
    lda $C000
    EXPECT $AE
    lda #$13                ; 3: upper bits are not wired
    sta $A000
    lda $8000
    EXPECT $A3
    lda #5                  ; 4: $AFFF is the same register
    sta $AFFF
    lda $8000
    EXPECT $A5
    lda $A000               ; 5
    EXPECT $AD
    LATCH_CHECKS            ; 6-16
    FINISH_TEST

nmi:
irq:
    rti

.segment "VECTORS"
    .word nmi, reset, irq
