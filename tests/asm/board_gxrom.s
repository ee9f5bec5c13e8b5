; GxROM (mapper 66): bits 4-5 of a write to $8000-$FFFF choose the 32 KiB PRG bank, bits
; 0-1 the 8 KiB CHR bank; the byte is ANDed with the ROM byte at the address (bus conflicts).
; link: board_32k_banks.cfg
.include "board_32k.inc"
INES_HEADER 8, 4, 66, 0
CHR_BANKS 8

.segment "CODE"
reset:
    START_TEST
    lda $8000               ; 1, 2: power-on banks
    EXPECT $B0
    PPU_PEEK $1000
    EXPECT $C1
    lda #$21                ; 3-5
    sta PLAIN
    lda $8000
    EXPECT $B2
    PPU_PEEK $0000
    EXPECT $C2
    PPU_PEEK $1000
    EXPECT $C3
    lda #0
    sta PLAIN
    lda #$FF                ; 6, 7: $FF AND the ROM's $12
    sta CONFLICT_12
    lda $8000
    EXPECT $B1
    PPU_PEEK $0000
    EXPECT $C4
    lda #$F3                ; 8: bits 6-7 are not wired
    sta PLAIN
    PPU_PEEK $0000
    EXPECT $C6
    lda $8000               ; 9
    EXPECT $B3
    FINISH_TEST

nmi:
irq:
    rti
