; Color Dreams (mapper 11): bits 0-1 of a write to $8000-$FFFF choose the 32 KiB PRG bank,
; bits 4-7 the 8 KiB CHR bank; the byte is ANDed with the ROM byte at the address.
; link: board_32k_banks.cfg
.include "board_32k.inc"
INES_HEADER 8, 4, 11, 0
CHR_BANKS 8

.segment "CODE"
reset:
    START_TEST
    lda $8000               ; 1, 2: power-on banks
    EXPECT $B0
    PPU_PEEK $0000
    EXPECT $C0
    lda #$12                ; 3, 4
    sta PLAIN
    lda $8000
    EXPECT $B2
    PPU_PEEK $0000
    EXPECT $C2
    lda #$50                ; 5: CHR bank 5 of 4 wraps to 1
    sta PLAIN
    PPU_PEEK $1000
    EXPECT $C3
    lda #0
    sta PLAIN
    lda #$FF                ; 6, 7: $FF AND the ROM's $21
    sta CONFLICT_21
    lda $8000
    EXPECT $B1
    PPU_PEEK $0000
    EXPECT $C4
    FINISH_TEST

nmi:
irq:
    rti
