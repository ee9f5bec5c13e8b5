; AxROM (mapper 7): bits 0-3 of a write to $8000-$FFFF choose the 32 KiB bank, bit 4 the one
; nametable all four addresses show. No bus conflicts. The header's horizontal mirroring is
; not wired.
; link: board_32k_banks.cfg
.include "board_32k.inc"
INES_HEADER 8, 0, 7, 0

.segment "CODE"
reset:
    START_TEST
    lda $8000               ; 1: bank 0 after power-on
    EXPECT $B0
    lda #2                  ; 2
    sta PLAIN
    lda $8000
    EXPECT $B2
    lda #$05                ; 3: bank 5 of 4 wraps to 1
    sta PLAIN
    lda $8000
    EXPECT $B1
    lda #0
    sta PLAIN
    lda #3                  ; 4: no bus conflict: the ROM's $01 does not mask the 3
    sta CONFLICT_01
    lda $8000
    EXPECT $B3
    PPU_POKE $2000, $11     ; 5, 6: one screen everywhere
    PPU_PEEK $2400
    EXPECT $11
    PPU_PEEK $2C00
    EXPECT $11
    lda #$10                ; 7: the other nametable (bank 0 again)
    sta PLAIN
    PPU_PEEK $2000
    EXPECT $00
    PPU_POKE $2400, $22     ; 8
    PPU_PEEK $2800
    EXPECT $22
    lda $8000               ; 9
    EXPECT $B0
    lda #$03                ; 10, 11: back to the first; both kept their bytes
    sta PLAIN
    PPU_PEEK $2C00
    EXPECT $11
    lda #$13
    sta PLAIN
    PPU_PEEK $2000
    EXPECT $22
    FINISH_TEST

nmi:
irq:
    rti
