; The DMC interrupt armed again and again while the program counts in a loop whose every
; round changes a register (never a wait that could be skipped): each interrupt must come at
; its own cycle, though nothing but the APU could tell the CPU it is due. The handler keeps
; where the count stood, so an interrupt taken late leaves another count behind.
.include "nes.inc"
INES_HEADER 2, 1, 0, 0

DMC_FREQ = $4010
DMC_LEN  = $4013

.segment "ZEROPAGE"
seen:  .res 1
calls: .res 1

.segment "CODE"
reset:
    sei
    cld
    ldx #$FF
    txs
    lda #$40
    sta JOY2            ; $4017: no frame interrupt
    lda #0
    sta PPUCTRL
    sta calls
    sta DMC_LEN         ; one-byte samples
    lda #$8F            ; interrupt on, no loop, the fastest rate
    sta DMC_FREQ
    cli
arm:
    lda #$10
    sta APUSTATUS       ; starts a sample: its interrupt follows the fetch of its one byte
    ldy calls
count:
    inx
    cpy calls
    beq count           ; until the handler has run
    jmp arm

irq:
    stx seen
    inc calls
nmi:
    rti

.segment "VECTORS"
    .word nmi, reset, irq
