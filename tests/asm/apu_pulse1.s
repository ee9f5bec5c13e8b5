; Pulse 1: period 253 (1789773 / (16 x 254) = 440.4 Hz), half duty, volume 15.
.include "apu_note.inc"
INES_HEADER 2, 1, 0, 0

.segment "CODE"
reset:
    NOTE_START
    lda #$01
    sta APUSTATUS
    lda #$BF            ; half duty, length halted, constant volume 15
    sta SQ1_VOL
    lda #$08            ; sweep off
    sta SQ1_SWEEP
    lda #<253
    sta SQ1_LO
    lda #>253
    sta SQ1_HI
    PLAY_THEN_SILENCE
