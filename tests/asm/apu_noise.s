; Noise in its short mode at period index 8 (202 CPU cycles per shift): the 93-step
; sequence repeats at 1789773 / (93 x 202) = 95.3 Hz. The mode is set first, so the
; shift register leaves its start value 1 only in that mode's cycle.
.include "apu_note.inc"
INES_HEADER 2, 1, 0, 0

.segment "CODE"
reset:
    lda #$88            ; short mode, period index 8
    sta NOISE_LO
    NOTE_START
    lda #$08
    sta APUSTATUS
    lda #$3F            ; length halted, constant volume 15
    sta NOISE_VOL
    lda #$00
    sta NOISE_HI
    PLAY_THEN_SILENCE
