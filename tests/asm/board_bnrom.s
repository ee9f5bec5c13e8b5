; BNROM (mapper 34 with CHR RAM): a write to $8000-$FFFF chooses the 32 KiB bank, ANDed
; with the ROM byte at the address written (bus conflicts); $7FFD-$7FFF are plain PRG RAM.
; link: board_32k_banks.cfg
.include "board_32k.inc"
INES_HEADER 8, 0, 34, 1

.segment "CODE"
reset:
    START_TEST
    lda $8000               ; 1: bank 0 after power-on
    EXPECT $B0
    lda #2                  ; 2
    sta PLAIN
    lda $8000
    EXPECT $B2
    lda #7                  ; 3: bank 7 of 4 wraps to 3
    sta PLAIN
    lda $8000
    EXPECT $B3
    lda #0
    sta PLAIN
    lda #3                  ; 4: 3 AND the ROM's $01
    sta CONFLICT_01
    lda $8000
    EXPECT $B1
    lda #2                  ; 5: the NINA-001 registers are not there
    sta $7FFD
    lda $8000
    EXPECT $B1
    lda $7FFD               ; 6: but PRG RAM is
    EXPECT 2
    PPU_POKE $0010, $77     ; 7: CHR RAM
    PPU_PEEK $0010
    EXPECT $77
    FINISH_TEST

nmi:
irq:
    rti
