; MMC3 (mapper 4): bank select / bank data, mirroring, PRG RAM protection, and the
; scanline counter's interrupts counted per frame. 8 KiB PRG bank n starts with $70 + n;
; 1 KiB CHR bank n starts with $40 + n. Ends with rendering on and NMI off.
; link: board_8k_banks.cfg
.include "board_check.inc"
INES_HEADER 8, 4, 4, 0

SELECT  = $8000
DATA    = $8001
MIRROR  = $A000
RAMCTL  = $A001
LATCH   = $C000
RELOAD  = $C001
IRQ_OFF = $E000
IRQ_ON  = $E001

.macro BANK register, value
    lda #register
    sta SELECT
    lda #value
    sta DATA
.endmacro

.macro EXPECT_AT address, value
    lda address
    EXPECT value
.endmacro

.segment "ZEROPAGE"
index: .res 1

.segment "BANKS"
.repeat 15, n
    .byte $70 + n
    .res $1FFF, $FF
.endrep

.segment "MARK"
    .byte $7F

.segment "CODE"
reset:
    START_TEST
    EXPECT_AT $8000, 0      ; 1-4: power-on: last 16 KiB at $C000, nothing below
    EXPECT_AT $A000, 0
    EXPECT_AT $C000, $7E
    EXPECT_AT $E000, $7F

    BANK 6, 5               ; 5, 6
    EXPECT_AT $8000, $75
    BANK 7, $45             ; bits 6-7 ignored
    EXPECT_AT $A000, $75

    lda #$46                ; 7-9: PRG mode 1 swaps $8000 and $C000
    sta SELECT
    EXPECT_AT $8000, $7E
    EXPECT_AT $C000, $75
    lda #9
    sta DATA
    EXPECT_AT $C000, $79
    lda #$06                ; 10, 11: and back
    sta SELECT
    EXPECT_AT $8000, $79
    EXPECT_AT $C000, $7E
    BANK 6, $13             ; 12: 19 wraps to 3
    EXPECT_AT $8000, $73

    BANK 0, 7               ; 13, 14: 2 KiB CHR ignores bit 0
    PPU_PEEK $0000
    EXPECT $46
    PPU_PEEK $0400
    EXPECT $47
    BANK 2, 20              ; 15
    PPU_PEEK $1000
    EXPECT $40 + 20
    lda #$80                ; 16, 17: inversion swaps the halves
    sta SELECT
    PPU_PEEK $1000
    EXPECT $46
    PPU_PEEK $0000
    EXPECT $40 + 20
    BANK $85, 9             ; 18: register 5 inverted goes to $0C00
    PPU_PEEK $0C00
    EXPECT $49
    BANK $81, 30            ; 19, 20: register 1 inverted goes to $1800
    PPU_PEEK $1800
    EXPECT $40 + 30
    PPU_PEEK $1C00
    EXPECT $40 + 31

    lda #0                  ; 21: vertical
    sta MIRROR
    PPU_POKE $2800, $55
    PPU_PEEK $2000
    EXPECT $55
    lda #1                  ; 22: horizontal
    sta MIRROR
    PPU_POKE $2400, $66
    PPU_PEEK $2000
    EXPECT $66

    lda #$80                ; 23-25: PRG RAM write protection
    sta RAMCTL
    lda #$12
    sta $6000
    EXPECT_AT $6000, $12
    lda #$C0
    sta RAMCTL
    lda #$34
    sta $6000
    EXPECT_AT $6000, $12
    lda #$80
    sta RAMCTL
    lda #$34
    sta $6000
    EXPECT_AT $6000, $34

    lda #60                 ; interrupts: latch 60 gives four per rendered frame
    sta LATCH
    sta RELOAD
    sta IRQ_ON
:   bit PPUSTATUS
    bpl :-
    lda #$08
    sta PPUMASK
    lda #$80
    sta PPUCTRL
    cli
:   lda frame
    cmp #5
    bne :-
    lda #241                ; latch 241: one, on line 240, only if line 261 steps too
    sta LATCH
:   lda frame
    cmp #10
    bne :-
    sei
    lda #0
    sta PPUCTRL

    ldy #1                  ; 26-29: frames 1-4
:   lda FRAME_IRQS,y
    sty index
    EXPECT 4
    ldy index
    iny
    cpy #5
    bne :-
    ldy #6                  ; 30-33: frames 6-9
:   lda FRAME_IRQS,y
    sty index
    EXPECT 1
    ldy index
    iny
    cpy #10
    bne :-
    FINISH_TEST

nmi:
    pha
    txa
    pha
    ldx frame
    lda irq_count
    sta FRAME_IRQS,x
    lda #0
    sta irq_count
    sta RELOAD              ; the next step (line 261) reloads from the latch
    inc frame
    pla
    tax
    pla
    rti

irq:
    pha
    inc irq_count
    sta IRQ_OFF             ; acknowledge as games do
    sta IRQ_ON
    pla
    rti

.segment "VECTORS"
    .word nmi, reset, irq

.segment "CHARS"
.repeat 32, n
    .byte $40 + n
    .res $03FF, 0
.endrep
