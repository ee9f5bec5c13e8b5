; Triangle: period 200 (1789773 / (32 x 201) = 278.3 Hz).
.include "apu_note.inc"
INES_HEADER 2, 1, 0, 0

.segment "CODE"
reset:
    NOTE_START
    lda #$04
    sta APUSTATUS
    lda #$FF            ; linear counter held at 127
    sta TRI_LINEAR
    lda #<200
    sta TRI_LO
    lda #>200
    sta TRI_HI
    PLAY_THEN_SILENCE
