; CNROM (mapper 3): a write to $8000-$FFFF selects the 8 KiB CHR bank, the value modulo
; the bank count. CHR bank n starts with $C0 + n and ends with $D0 + n.
; link: board_cnrom.cfg
.include "board_check.inc"
INES_HEADER 2, 4, 3, 0

.macro SELECT_AND_CHECK value, bank
    lda #value
    sta $8000
    PPU_PEEK $0000
    EXPECT $C0 + bank
    PPU_PEEK $1FFF
    EXPECT $D0 + bank
.endmacro

.segment "CODE"
reset:
    START_TEST
    PPU_PEEK $0000          ; 1, 2: bank 0 after power-on
    EXPECT $C0
    PPU_PEEK $1FFF
    EXPECT $D0
    SELECT_AND_CHECK 2, 2   ; 3, 4
    SELECT_AND_CHECK 6, 2   ; 5, 6: 6 mod 4
    SELECT_AND_CHECK $FF, 3 ; 7, 8: the value is unsigned
    lda #1                  ; 9, 10: PRG RAM writes do not switch
    sta $6000
    PPU_PEEK $0000
    EXPECT $C3
    lda $6000
    EXPECT 1
    SELECT_AND_CHECK 0, 0   ; 11, 12
    FINISH_TEST

nmi:
irq:
    rti

.segment "VECTORS"
    .word nmi, reset, irq

.segment "CHARS"
.repeat 4, n
    .byte $C0 + n
    .res $1FFE, 0
    .byte $D0 + n
.endrep
