; NINA-001 (mapper 34 with CHR ROM): $7FFD chooses the 32 KiB PRG bank, $7FFE and $7FFF the
; 4 KiB CHR banks at $0000 and $1000; the registers are PRG RAM as well. Writes to
; $8000-$FFFF do nothing.
; link: board_32k_banks.cfg
.include "board_32k.inc"
INES_HEADER 8, 4, 34, 0
CHR_BANKS 8

.segment "CODE"
reset:
    START_TEST
    lda $8000               ; 1-3: power-on banks
    EXPECT $B0
    PPU_PEEK $0000
    EXPECT $C0
    PPU_PEEK $1000
    EXPECT $C1
    lda #5                  ; 4, 5: both CHR windows
    sta $7FFE
    lda #2
    sta $7FFF
    PPU_PEEK $0000
    EXPECT $C5
    PPU_PEEK $1000
    EXPECT $C2
    lda #1                  ; 6, 7: the PRG bank, kept in PRG RAM too
    sta $7FFD
    lda $8000
    EXPECT $B1
    lda $7FFD
    EXPECT 1
    lda #0                  ; 8: cartridge space has no register
    sta PLAIN
    lda $8000
    EXPECT $B1
    FINISH_TEST

nmi:
irq:
    rti
