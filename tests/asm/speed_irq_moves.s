; The MMC3's interrupt while the program moves it: each handler turns rendering off (the
; board stops counting lines) and acknowledges, waits from a few dots to several lines, then
; turns rendering back on and loads a new latch (1 to 8) with a reload, on every other call in
; the other order, so the next interrupt comes sooner or later than the counter alone says.
; Between interrupts the program waits in a jump or a branch to itself, as in the waits test.
; link: board_8k_banks.cfg
.include "mmc3_waits.inc"

.segment "CODE"
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
