; Waiting for interrupts in a jump to itself, or in a branch to itself, while the MMC3 counts
; lines: its interrupt ends each wait a few lines on, every 3 to 10 lines as the frame
; number goes, and the handler works for a time that changes with every call, so the waits
; begin at many points of the line. The NMI swaps the two waits from frame to frame and may
; arrive while the handler runs, holding the next interrupt back. Each interrupt changes the
; colour emphasis, so the picture shows where it came.
; link: board_8k_banks.cfg
.include "mmc3_waits.inc"

.segment "CODE"
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
