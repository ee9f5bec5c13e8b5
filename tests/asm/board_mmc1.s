; MMC1 (mapper 1): five serial writes load the register chosen by the fifth write's
; address. 16 KiB PRG bank n starts with $90 + n; 4 KiB CHR bank n starts with $E0 + n.
; link: board_16k_banks.cfg
.include "board_check.inc"
INES_HEADER 8, 4, 1, 0

CONTROL = $8000
CHR0    = $A000
CHR1    = $C000
PRG     = $E000

; Loads A into the register at `address`, bit 0 first.
.macro SERIAL address
    .local next
    ldx #5
next:
    sta address
    lsr a
    dex
    bne next
.endmacro

.macro LOAD address, value
    lda #value
    SERIAL address
.endmacro

.import __RAMCODE_LOAD__, __RAMCODE_RUN__, __RAMCODE_SIZE__

.segment "ZEROPAGE"
mode2_low:  .res 1
mode2_high: .res 1

.segment "BANKS"
.repeat 7, n
    .byte $90 + n
    .res $3FFF, $FF
.endrep

.segment "MARK"
    .byte $97

.segment "CODE"
reset:
    START_TEST
    ldx #0                  ; the mode-2 test runs from RAM: it maps $C000 away
:   lda __RAMCODE_LOAD__,x
    sta __RAMCODE_RUN__,x
    inx
    cpx #<__RAMCODE_SIZE__
    bne :-

    lda $8000               ; 1, 2: power-on banks
    EXPECT $90
    lda $C000
    EXPECT $97
    lda #$80                ; reset the shift register: PRG mode 3
    sta CONTROL
    LOAD PRG, 2             ; 3
    lda $8000
    EXPECT $92
    LOAD PRG, $13           ; 4: all five bits count, bank 19 wraps to 3
    lda $8000
    EXPECT $93
    lda $C000               ; 5
    EXPECT $97

    lda #1                  ; 6: a reset write discards the bits before it
    sta PRG
    sta PRG
    lda #$80
    sta PRG
    LOAD PRG, 1
    lda $8000
    EXPECT $91

    lda #1                  ; 7: writes spread over the registers, the fifth to PRG
    sta CONTROL
    sta CONTROL
    lda #0
    sta CHR1
    sta CHR0
    sta PRG                 ; loads 3 into PRG
    lda $8000
    EXPECT $93

    LOAD CONTROL, $00       ; 8, 9: 32 KiB mode ignores bit 0 of the bank
    LOAD PRG, 7
    lda $8000
    EXPECT $96
    lda $C000
    EXPECT $97

    jsr mode2               ; 10, 11, 12: first bank fixed, $C000 switched
    lda mode2_low
    EXPECT $90
    lda mode2_high
    EXPECT $94
    lda $C000
    EXPECT $97

    LOAD CONTROL, $0C       ; 13, 14, 15: 8 KiB CHR; CHR bank 1 does nothing
    LOAD CHR0, 3
    PPU_PEEK $0000
    EXPECT $E2
    PPU_PEEK $1000
    EXPECT $E3
    LOAD CHR1, 5
    PPU_PEEK $1000
    EXPECT $E3

    LOAD CONTROL, $1C       ; 16-19: two 4 KiB windows
    LOAD CHR0, 5
    PPU_PEEK $0000
    EXPECT $E5
    PPU_PEEK $1000
    EXPECT $E3
    LOAD CHR1, 6
    PPU_PEEK $1000
    EXPECT $E6
    LOAD CHR1, 9            ; 4 KiB bank 9 of 8 wraps to 1
    PPU_PEEK $1000
    EXPECT $E1

    LOAD CONTROL, $0F       ; 20-23: horizontal, then vertical: both nametables keep
    PPU_POKE $2000, $11     ; their contents
    PPU_POKE $2800, $22
    LOAD CONTROL, $0E
    PPU_PEEK $2000
    EXPECT $11
    PPU_PEEK $2400
    EXPECT $22
    PPU_PEEK $2C00
    EXPECT $22
    PPU_POKE $2800, $33     ; vertical: $2800 is the first nametable
    PPU_PEEK $2000
    EXPECT $33
    LOAD CONTROL, $0F       ; 24, 25: and back to horizontal
    PPU_PEEK $2800
    EXPECT $22
    PPU_PEEK $2400
    EXPECT $33
    LOAD CONTROL, $0C       ; 26: one screen
    PPU_POKE $2C00, $44
    PPU_PEEK $2000
    EXPECT $44
    FINISH_TEST

nmi:
irq:
    rti

.segment "RAMCODE"
.proc mode2
    LOAD CONTROL, $08
    LOAD PRG, 4
    lda $8000
    sta mode2_low
    lda $C000
    sta mode2_high
    LOAD CONTROL, $0C       ; mode 3 brings the last bank back to $C000
    rts
.endproc

.segment "VECTORS"
    .word nmi, reset, irq

.segment "CHARS"
.repeat 8, n
    .byte $E0 + n
    .res $0FFF, 0
.endrep
