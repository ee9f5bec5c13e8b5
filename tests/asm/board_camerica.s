; Camerica / Codemasters (mapper 71): the low four bits of a write to $C000-$FFFF choose the
; 16 KiB bank at $8000, the last one stays at $C000; bit 4 of a write to $9000-$9FFF gives
; one-screen mirroring (Fire Hawk's board). Bank n starts with the byte $A0 + n.
; link: board_16k_banks.cfg
.include "board_check.inc"
INES_HEADER 8, 0, 71, 1

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
    lda $8000               ; 1, 2: power-on banks
    EXPECT $A0
    lda $C000
    EXPECT $A7
    lda #$13                ; 3: upper bits are not wired
    sta $C000
    lda $8000
    EXPECT $A3
    lda #5                  ; 4: $8000-$BFFF choose no bank
    sta $8000
    sta $A000
    lda $8000
    EXPECT $A3
    PPU_POKE $2000, $5A     ; 5: the header's vertical mirroring until $9000 is written
    PPU_POKE $2400, $A5
    PPU_PEEK $2800
    EXPECT $5A
    lda #$10                ; 6, 7: one screen, the second nametable
    sta $9000
    PPU_PEEK $2000
    EXPECT $A5
    PPU_PEEK $2800
    EXPECT $A5
    lda #$00                ; 8, 9: the first
    sta $9FFF
    PPU_PEEK $2400
    EXPECT $5A
    PPU_PEEK $2C00
    EXPECT $5A
    lda $8000               ; 10: mirroring writes choose no bank
    EXPECT $A3
    FINISH_TEST

nmi:
irq:
    rti

.segment "VECTORS"
    .word nmi, reset, irq
