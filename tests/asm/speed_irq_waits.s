; Waiting for interrupts in a jump to itself, or in a branch to itself, while the MMC3 counts
; lines: its interrupt ends each wait a few lines on, every 3 to 10 lines as the frame
; number goes, and the handler works for a time that changes with every call, so the waits
; begin at many points of the line. The NMI swaps the two waits from frame to frame and may
; arrive while the handler runs, holding the next interrupt back. Each interrupt changes the
; colour emphasis, so the picture shows where it came.
; link: board_8k_banks.cfg
.include "nes.inc"
INES_HEADER 8, 4, 4, 0

LATCH   = $C000
RELOAD  = $C001
IRQ_OFF = $E000
IRQ_ON  = $E001

.segment "ZEROPAGE"
frame: .res 1
calls: .res 1
mask:  .res 1

.segment "BANKS"
.repeat 15
    .res $2000, $FF
.endrep

.segment "MARK"
    .byte $7F           ; the fixed bank's mark, as in the board tests

.segment "CODE"
reset:
    sei
    cld
    ldx #$FF
    txs
    lda #0
    sta PPUCTRL
    sta PPUMASK
    sta frame
    sta calls
    sta IRQ_OFF
    bit PPUSTATUS
:   bit PPUSTATUS
    bpl :-
:   bit PPUSTATUS
    bpl :-
    lda #3
    sta LATCH
    sta RELOAD
    sta IRQ_ON
    lda #$08            ; background shown: the board counts lines
    sta mask
    sta PPUMASK
    lda #$80
    sta PPUCTRL
    cli
wait_jmp:
    jmp wait_jmp
wait_branch:
    bvc wait_branch
.assert >wait_jmp = >wait_branch, error, "the waits share a page"

nmi:
    pha
    txa
    pha
    inc frame
    lda frame
    and #7
    clc
    adc #3
    sta LATCH
    sta RELOAD
    lda #$08
    sta mask
    sta PPUMASK
    tsx                 ; the return address is at $0104,x (low) and $0105,x
    lda $0105,x
    cmp #>wait_jmp
    bne done
    lda $0104,x
    cmp #<wait_jmp
    beq to_branch
    cmp #<wait_branch
    bne done
    lda #<wait_jmp
    sta $0104,x
    jmp done
to_branch:
    lda #<wait_branch
    sta $0104,x
    lda $0103,x         ; the flags come back with V clear
    and #$BF
    sta $0103,x
done:
    pla
    tax
    pla
    rti

irq:
    pha
    txa
    pha
    sta IRQ_OFF         ; acknowledge
    sta IRQ_ON
    inc calls
    lda calls
    and #$1F
    tax
    inx
:   dex
    bne :-
    lda mask
    clc
    adc #$20            ; the next emphasis, background still shown
    ora #$08
    sta mask
    sta PPUMASK
    pla
    tax
    pla
    rti

.segment "VECTORS"
    .word nmi, reset, irq

.segment "CHARS"
    .res 8, $AA         ; tile 0, which fills the screen, shows stripes
    .res $7FF8, 0
