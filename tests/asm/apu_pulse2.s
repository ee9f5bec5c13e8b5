; Pulse 2: period 400 (1789773 / (16 x 401) = 278.9 Hz), half duty, volume 12.
.include "apu_note.inc"
INES_HEADER 2, 1, 0, 0

.segment "CODE"
reset:
    NOTE_START
    lda #$02
    sta APUSTATUS
    lda #$BC            ; half duty, length halted, constant volume 12
    sta SQ2_VOL
    lda #$08
    sta SQ2_SWEEP
    lda #<400
    sta SQ2_LO
    lda #>400
    sta SQ2_HI
    PLAY_THEN_SILENCE
