; A looping DMC sample, without its interrupt, played from RAM: no $4012 write, so the sample
; starts at $0000, where the program keeps rewriting the bytes it plays in a loop whose every
; round changes a register. Each fetch must read the byte the CPU left there at that cycle.
.include "nes.inc"
INES_HEADER 2, 1, 0, 0

DMC_FREQ = $4010
DMC_LEN  = $4013

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
    lda #$4F            ; loop, no interrupt, the fastest rate
    sta DMC_FREQ
    lda #1
    sta DMC_LEN         ; 17 bytes: $0000-$0010
    lda #$10
    sta APUSTATUS
play:
    inx
    txa
    eor $05
    sta $00,x           ; every zero-page byte in turn, the played ones among them
    sta $03
    jmp play

irq:
nmi:
    rti

.segment "VECTORS"
    .word nmi, reset, irq
