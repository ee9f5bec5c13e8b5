; The MMC3's interrupt while the program moves it: each handler turns rendering off (the
; board stops counting lines) and acknowledges, waits from a few dots to several lines, then
; turns rendering back on and loads a new latch (1 to 8) with a reload, on every other call in
; the other order, so the next interrupt comes sooner or later than the counter alone says.
; Between interrupts the program waits in a jump or a branch to itself, as in the waits test.
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
    lda #0
    sta PPUMASK         ; rendering off: no lines counted
    sta IRQ_OFF         ; acknowledge
    sta IRQ_ON
    inc calls
    lda calls
    and #$3F
    asl a
    tax
    inx
:   dex
    bne :-
    lda calls
    lsr a
    bcc latch_first
    jsr show
    jsr load_latch
    jmp irq_done
latch_first:
    jsr load_latch
    jsr show
irq_done:
    pla
    tax
    pla
    rti

show:
    lda mask
    clc
    adc #$20            ; the next emphasis, background shown again
    ora #$08
    sta mask
    sta PPUMASK
    rts

load_latch:
    lda calls
    and #7
    clc
    adc #1
    sta LATCH
    sta RELOAD
    rts

.segment "VECTORS"
    .word nmi, reset, irq

.segment "CHARS"
    .res 8, $AA         ; tile 0, which fills the screen, shows stripes
    .res $7FF8, 0
