; zumbrel demo: a small NES program that shows what the machine does.
;
; - A status bar that stays put over a playfield that scrolls sideways: sprite 0 sits on
;   the bar's bottom edge and its hit tells the program when to change the scroll.
; - 32 bouncing balls and a character that the pad moves (B runs).
; - A tune on all five sound channels; the kick drum is a DMC sample. Select solos the
;   channels one after another (lamps in the status bar show which play).
; - Battery-backed RAM counts the power-ons and the status bar shows the count.
;
; Memory a test or a script can read: the player is sprites 1-4 (top left first); battery
; RAM holds "ZUMB" at $6000 and the power-on count as four decimal digits at $6004-$6007.
;
; Build: ca65 demo.s && ld65 -C demo.cfg -o zumbrel-demo.nes demo.o

PPUCTRL    = $2000
PPUMASK    = $2001
PPUSTATUS  = $2002
OAMADDR    = $2003
PPUSCROLL  = $2005
PPUADDR    = $2006
PPUDATA    = $2007
SQ1_VOL    = $4000
SQ1_SWEEP  = $4001
SQ1_LO     = $4002
SQ1_HI     = $4003
SQ2_VOL    = $4004
SQ2_SWEEP  = $4005
SQ2_LO     = $4006
SQ2_HI     = $4007
TRI_LINEAR = $4008
TRI_LO     = $400A
TRI_HI     = $400B
NOISE_VOL  = $400C
NOISE_LO   = $400E
NOISE_HI   = $400F
DMC_FREQ   = $4010
DMC_RAW    = $4011
DMC_START  = $4012
DMC_LEN    = $4013
OAMDMA     = $4014
SND_CHN    = $4015
JOY1       = $4016
JOY2       = $4017

BUTTON_A      = $80
BUTTON_B      = $40
BUTTON_SELECT = $20
BUTTON_START  = $10
BUTTON_UP     = $08
BUTTON_DOWN   = $04
BUTTON_LEFT   = $02
BUTTON_RIGHT  = $01

CTRL_NMI  = $80         ; NMI on, both layers from pattern table 0, 8x8 sprites
MASK_SHOW = $1E         ; background and sprites, also in the leftmost 8 pixels

TITLE_ROW_ADDR = $2000 + 1 * 32
COUNT_ADDR     = TITLE_ROW_ADDR + 26    ; the four digits of the power-on count
LAMP_ADDR      = $2000 + 2 * 32 + 8     ; five lamps, one tile apart

BALL_COUNT  = 32
BALL_SPRITE = 5         ; the balls follow sprite 0 and the player's four sprites
BALL_MAX_X  = 248
BALL_MIN_Y  = 40
BALL_MAX_Y  = 208

PLAYER_MAX_X = 240
PLAYER_MIN_Y = 32
PLAYER_MAX_Y = 208

; Channel bits of $4015; a DMC kick sets its bit again to restart the sample.
CH_ALL = $1F
CH_DMC = $10

.segment "HEADER"
    .byte "NES", $1A
    .byte 2             ; 32 KiB PRG
    .byte 1             ; 8 KiB CHR
    .byte $03           ; NROM, vertical mirroring (two screens side by side), battery
    .byte $00
    .res 8, 0

.segment "ZEROPAGE"
nmi_count:   .res 1
buttons:     .res 1     ; held now: A, B, Select, Start, Up, Down, Left, Right from bit 7 down
pressed:     .res 1     ; went down this frame
scroll_x:    .res 1
scroll_page: .res 1     ; which of the two screens is at the left edge
player_x:    .res 1
player_y:    .res 1
player_flip: .res 1     ; $40 when facing left (the sprites' mirror bit)
walk_timer:  .res 1
speed:       .res 1
sound_mask:  .res 1     ; channels that play, as in $4015
solo:        .res 1     ; index into solo_masks
music_timer: .res 1
music_step:  .res 1
seed:        .res 2
ptr:         .res 2
channels:    .res 1     ; scratch of play_music
nmi_bits:    .res 1     ; scratch of the NMI handler

.segment "OAM"
oam: .res 256

.segment "BSS"
ball_x:  .res BALL_COUNT
ball_y:  .res BALL_COUNT
ball_dx: .res BALL_COUNT
ball_dy: .res BALL_COUNT

.segment "SAVE"
save_signature: .res 4
power_ons:      .res 4

.segment "CODE"

reset:
    sei
    cld
    ldx #$FF
    txs
    inx
    stx PPUCTRL
    stx PPUMASK
    stx DMC_FREQ        ; no DMC interrupt
    lda #$40
    sta JOY2            ; no frame-counter interrupt
    bit PPUSTATUS
:   bit PPUSTATUS       ; the PPU is ready after two vertical blanks
    bpl :-
    txa
@clear_ram:
    sta $0000,x
    sta $0100,x
    sta $0200,x
    sta $0300,x
    sta $0400,x
    sta $0500,x
    sta $0600,x
    sta $0700,x
    inx
    bne @clear_ram
:   bit PPUSTATUS
    bpl :-

    jsr count_power_on
    jsr load_palette
    lda #$20
    jsr draw_screen
    lda #$24
    jsr draw_screen
    jsr show_power_ons
    jsr init_sprites
    jsr init_sound

:   bit PPUSTATUS
    bpl :-
    lda #>oam
    sta OAMDMA
    lda #0
    sta PPUSCROLL
    sta PPUSCROLL
    lda #CTRL_NMI
    sta PPUCTRL
    lda #MASK_SHOW
    sta PPUMASK

main_loop:
    jsr wait_frame
    jsr split_screen
    jsr read_pad
    jsr pick_channels
    jsr move_player
    jsr move_balls
    jsr draw_player
    jsr draw_balls
    jsr play_music
    inc scroll_x
    bne main_loop
    lda scroll_page
    eor #1
    sta scroll_page
    jmp main_loop

nmi:
    pha
    txa
    pha
    lda #0
    sta OAMADDR
    lda #>oam
    sta OAMDMA
    jsr draw_lamps
    lda #0              ; the status bar is never scrolled
    sta PPUSCROLL
    sta PPUSCROLL
    lda #CTRL_NMI
    sta PPUCTRL
    inc nmi_count
    pla
    tax
    pla
irq:
    rti

wait_frame:
    lda nmi_count
:   cmp nmi_count
    beq :-
    rts

; Waits until the beam has drawn the status bar, then scrolls the rest of the picture.
split_screen:
:   bit PPUSTATUS       ; last frame's hit is cleared at the end of vertical blank
    bvs :-
    ldy #8              ; give up after about 160 lines, should the hit never come
@poll:
    ldx #0
:   bit PPUSTATUS
    bvs @hit
    dex
    bne :-
    dey
    bne @poll
@hit:
    lda scroll_x
    sta PPUSCROLL
    lda #0
    sta PPUSCROLL
    lda scroll_page
    ora #CTRL_NMI
    sta PPUCTRL
    rts

read_pad:
    lda buttons
    eor #$FF
    sta pressed         ; buttons up last frame
    lda #1
    sta JOY1
    lda #0
    sta JOY1
    ldx #8
:   lda JOY1
    lsr a
    rol buttons
    dex
    bne :-
    lda buttons
    and pressed
    sta pressed
    rts

; Select: all channels, then each channel alone.
pick_channels:
    lda pressed
    and #BUTTON_SELECT
    beq @done
    ldx solo
    inx
    cpx #6
    bcc :+
    ldx #0
:   stx solo
    lda solo_masks,x
    sta sound_mask
    and #$0F            ; silences the channels left out; a kick restarts the DMC
    sta SND_CHN
@done:
    rts

move_player:
    ldx #1
    lda buttons
    and #BUTTON_B
    beq :+
    inx
:   stx speed
    lda buttons
    and #BUTTON_RIGHT
    beq @left
    lda #0
    sta player_flip
    lda player_x
    clc
    adc speed
    cmp #PLAYER_MAX_X
    bcc :+
    lda #PLAYER_MAX_X
:   sta player_x
@left:
    lda buttons
    and #BUTTON_LEFT
    beq @up
    lda #$40
    sta player_flip
    lda player_x
    sec
    sbc speed
    bcs :+
    lda #0
:   sta player_x
@up:
    lda buttons
    and #BUTTON_UP
    beq @down
    lda player_y
    sec
    sbc speed
    cmp #PLAYER_MIN_Y
    bcs :+
    lda #PLAYER_MIN_Y
:   sta player_y
@down:
    lda buttons
    and #BUTTON_DOWN
    beq @walk
    lda player_y
    clc
    adc speed
    cmp #PLAYER_MAX_Y
    bcc :+
    lda #PLAYER_MAX_Y
:   sta player_y
@walk:
    lda buttons
    and #BUTTON_UP | BUTTON_DOWN | BUTTON_LEFT | BUTTON_RIGHT
    beq :+
    inc walk_timer
:   rts

; Each ball moves by its speed and turns back at the playfield's edges.
move_balls:
    ldx #BALL_COUNT - 1
@ball:
    lda ball_x,x
    clc
    adc ball_dx,x
    cmp #BALL_MAX_X     ; past the right edge, or below 0 and wrapped
    bcs @turn_x
    sta ball_x,x
    jmp @move_y
@turn_x:
    lda #0
    sec
    sbc ball_dx,x
    sta ball_dx,x
@move_y:
    lda ball_y,x
    clc
    adc ball_dy,x
    cmp #BALL_MIN_Y
    bcc @turn_y
    cmp #BALL_MAX_Y
    bcs @turn_y
    sta ball_y,x
    jmp @next
@turn_y:
    lda #0
    sec
    sbc ball_dy,x
    sta ball_dy,x
@next:
    dex
    bpl @ball
    rts

; The player is sprites 1-4: top left, top right, bottom left, bottom right. Facing left,
; the columns swap and every tile is mirrored.
draw_player:
    lda player_y
    sta oam + 4
    sta oam + 8
    clc
    adc #8
    sta oam + 12
    sta oam + 16
    lda player_x
    sta oam + 7
    sta oam + 15
    clc
    adc #8
    sta oam + 11
    sta oam + 19
    lda player_flip
    ora #1              ; sprite palette 1
    sta oam + 6
    sta oam + 10
    sta oam + 14
    sta oam + 18
    lda walk_timer      ; a step every eight frames of walking
    and #8
    lsr a
    clc
    adc #T_PLAYER
    tax
    lda player_flip
    bne @facing_left
    stx oam + 5
    inx
    stx oam + 9
    inx
    stx oam + 13
    inx
    stx oam + 17
    rts
@facing_left:
    stx oam + 9
    inx
    stx oam + 5
    inx
    stx oam + 17
    inx
    stx oam + 13
    rts

draw_balls:
    ldx #0
    ldy #BALL_SPRITE * 4
@ball:
    lda ball_y,x
    sta oam,y
    lda #T_BALL
    sta oam + 1,y
    lda ball_palettes,x
    sta oam + 2,y
    lda ball_x,x
    sta oam + 3,y
    iny
    iny
    iny
    iny
    inx
    cpx #BALL_COUNT
    bne @ball
    rts

; Lamps for the five channels, pulse 1 first. Runs in vertical blank.
draw_lamps:
    lda #>LAMP_ADDR
    sta PPUADDR
    lda #<LAMP_ADDR
    sta PPUADDR
    lda sound_mask
    sta nmi_bits
    ldx #5
@lamp:
    lsr nmi_bits
    lda #T_LAMP_OFF
    bcc :+
    lda #T_LAMP_ON
:   sta PPUDATA
    lda #T_BLANK
    sta PPUDATA
    dex
    bne @lamp
    rts

; Battery RAM keeps the number of power-ons; a missing signature means it was never set.
count_power_on:
    ldx #3
:   lda save_signature,x
    cmp signature,x
    bne @fresh
    dex
    bpl :-
    bmi @count
@fresh:
    ldx #3
:   lda signature,x
    sta save_signature,x
    lda #0
    sta power_ons,x
    dex
    bpl :-
@count:
    ldx #3              ; add one, last digit first
@digit:
    inc power_ons,x
    lda power_ons,x
    cmp #10
    bcc @done
    lda #0
    sta power_ons,x
    dex
    bpl @digit
@done:
    rts

show_power_ons:
    lda #>COUNT_ADDR
    sta PPUADDR
    lda #<COUNT_ADDR
    sta PPUADDR
    ldx #0
:   lda power_ons,x
    clc
    adc #'0'
    sta PPUDATA
    inx
    cpx #4
    bne :-
    rts

load_palette:
    lda #$3F
    sta PPUADDR
    lda #$00
    sta PPUADDR
    ldx #0
:   lda palette,x
    sta PPUDATA
    inx
    cpx #32
    bne :-
    rts

; Fills the screen whose address high byte is in A: 30 rows of tiles, then attributes.
draw_screen:
    sta PPUADDR
    lda #0
    sta PPUADDR
    ldx #0
@row:
    lda screen_rows_lo,x
    sta ptr
    lda screen_rows_hi,x
    sta ptr + 1
    ldy #0
:   lda (ptr),y
    sta PPUDATA
    iny
    cpy #32
    bne :-
    inx
    cpx #30
    bne @row
    ldx #0
@attributes:
    lda attribute_rows,x
    ldy #8
:   sta PPUDATA
    dey
    bne :-
    inx
    cpx #8
    bne @attributes
    rts

; Sprite 0 on the status bar's edge, the rest hidden until drawn; balls start at random.
init_sprites:
    lda #$FF
    ldx #0
:   sta oam,x
    inx
    bne :-
    lda #23             ; its opaque row lands on line 31, the edge's last line
    sta oam + 0
    lda #T_MARKER
    sta oam + 1
    lda #$20            ; behind the background
    sta oam + 2
    lda #16
    sta oam + 3
    lda #120
    sta player_x
    lda #176
    sta player_y
    lda #$A7
    sta seed
    lda #$1C
    sta seed + 1
    ldx #BALL_COUNT - 1
@ball:
    jsr random
    cmp #BALL_MAX_X
    bcc :+
    sbc #BALL_MAX_X
:   sta ball_x,x
    jsr random
    and #$7F
    clc
    adc #BALL_MIN_Y + 8
    sta ball_y,x
    jsr random
    and #3
    tay
    lda ball_speeds,y
    sta ball_dx,x
    jsr random
    and #3
    tay
    lda ball_speeds,y
    sta ball_dy,x
    dex
    bpl @ball
    rts

; Eight steps of a 16-bit Galois shift register; the new low byte is returned in A.
random:
    ldy #8
    lda seed
:   asl a
    rol seed + 1
    bcc :+
    eor #$39
:   dey
    bne :--
    sta seed
    rts

init_sound:
    lda #CH_ALL
    sta sound_mask
    lda #$0F
    sta SND_CHN
    lda #$08            ; sweep units off
    sta SQ1_SWEEP
    sta SQ2_SWEEP
    lda #64             ; the kick swings around the middle level
    sta DMC_RAW
    lda #$0A            ; 12.6 kHz of bits
    sta DMC_FREQ
    lda #<((kick - $C000) / 64)
    sta DMC_START
    lda #(KICK_LENGTH - 1) / 16
    sta DMC_LEN
    lda #1
    sta music_timer
    rts

; Plays the next step of the song every FRAMES_PER_STEP frames, skipping channels that
; are switched off.
play_music:
    dec music_timer
    bne @done
    lda #FRAMES_PER_STEP
    sta music_timer
    lda music_step
    asl a
    asl a
    tax
    lda sound_mask
    sta channels
    lsr channels
    bcc :+
    lda song + 0,x
    jsr play_pulse1
:   lsr channels
    bcc :+
    lda song + 1,x
    jsr play_pulse2
:   lsr channels
    bcc :+
    lda song + 2,x
    jsr play_triangle
:   lda song + 3,x
    jsr play_drum
    inc music_step
    lda music_step
    cmp #SONG_STEPS
    bne @done
    lda #0
    sta music_step
@done:
    rts

; Each player takes a note number in A (0: nothing) and keeps X.
play_pulse1:
    beq @rest
    tay
    lda #$84            ; half duty, the volume falls over about 0.3 s
    sta SQ1_VOL
    lda periods_lo,y
    sta SQ1_LO
    lda periods_hi,y
    ora #$08
    sta SQ1_HI
@rest:
    rts

play_pulse2:
    beq @rest
    tay
    lda #$56            ; quarter duty, quiet and constant, cut after 20 half frames
    sta SQ2_VOL
    lda periods_lo,y
    sta SQ2_LO
    lda periods_hi,y
    ora #$10
    sta SQ2_HI
@rest:
    rts

play_triangle:
    beq @rest
    tay
    lda #$28            ; sounds for 40 quarter frames
    sta TRI_LINEAR
    lda periods_lo,y
    sta TRI_LO
    lda periods_hi,y
    ora #$08
    sta TRI_HI
@rest:
    rts

play_drum:
    cmp #KICK
    beq @kick
    cmp #SNARE
    beq @snare
    cmp #HAT
    bne @done
    lda sound_mask
    and #$08
    beq @done
    lda #$16            ; hi-hat: quiet, high and short
    sta NOISE_VOL
    lda #$02
    sta NOISE_LO
    lda #$00
    sta NOISE_HI
    rts
@snare:
    lda sound_mask
    and #$08
    beq @done
    lda #$03            ; snare: loud and falling
    sta NOISE_VOL
    lda #$07
    sta NOISE_LO
    lda #$08
    sta NOISE_HI
    rts
@kick:
    lda sound_mask
    and #CH_DMC
    beq @done
    lda sound_mask      ; setting the DMC bit again restarts the sample
    sta SND_CHN
@done:
    rts

.segment "RODATA"

signature: .byte "ZUMB"
solo_masks: .byte CH_ALL, $01, $02, $04, $08, $10
ball_speeds: .byte $FE, $FF, $01, $02
ball_palettes:
    .repeat BALL_COUNT, i
        .byte (i .mod 3) + (i .mod 3 > 0)   ; sprite palettes 0, 2 and 3; 1 is the player's
    .endrepeat

palette:
    .byte $0F, $30, $2A, $06    ; status bar: text, lamp on and edge, lamp off
    .byte $0F, $21, $30, $10    ; sky and clouds
    .byte $0F, $21, $2A, $1A    ; hills
    .byte $0F, $2A, $17, $07    ; ground: grass, earth, joints
    .byte $0F, $16, $30, $06    ; red balls
    .byte $0F, $28, $30, $0F    ; the player
    .byte $0F, $12, $30, $02    ; blue balls
    .byte $0F, $14, $30, $04    ; purple balls

.include "tiles.inc"
.segment "RODATA"
.include "song.inc"

periods_lo: .lobytes PERIODS
periods_hi: .hibytes PERIODS

; Tile rows of both screens. The scenery repeats every 32 columns, so the two screens are
; the same and the scroll wraps without a seam.
.macro TEXT_ROW text
    .assert .strlen(text) = 32, error, "a text row has 32 characters"
    .byte text
.endmacro

SK = T_SKY
CTL = T_CLOUD
CTR = T_CLOUD + 1
CBL = T_CLOUD + 2
CBR = T_CLOUD + 3
HL = T_HILL_LEFT
HR = T_HILL_RIGHT
HF = T_HILL

row_blank:  .res 32, T_BLANK
row_title:  TEXT_ROW "  ZUMBREL DEMO      PLAYS 0000  "
row_sound:  TEXT_ROW "  SOUND           SELECT SOLOS  "
row_edge:   .res 32, T_EDGE
row_sky:    .res 32, T_SKY
row_cloud_a_top:
    .byte SK,SK,SK,SK,CTL,CTR,CTL,CTR, SK,SK,SK,SK,SK,SK,SK,SK, SK,SK,SK,SK,SK,SK,SK,SK, SK,SK,SK,SK,SK,SK,SK,SK
row_cloud_a_bottom:
    .byte SK,SK,SK,SK,CBL,CBR,CBL,CBR, SK,SK,SK,SK,SK,SK,SK,SK, SK,SK,SK,SK,SK,SK,SK,SK, SK,SK,SK,SK,SK,SK,SK,SK
row_cloud_b_top:
    .byte SK,SK,SK,SK,SK,SK,SK,SK, SK,SK,SK,SK,SK,SK,SK,SK, SK,SK,SK,SK,SK,SK,CTL,CTR, SK,SK,SK,SK,SK,SK,SK,SK
row_cloud_b_bottom:
    .byte SK,SK,SK,SK,SK,SK,SK,SK, SK,SK,SK,SK,SK,SK,SK,SK, SK,SK,SK,SK,SK,SK,CBL,CBR, SK,SK,SK,SK,SK,SK,SK,SK
row_hill_0:
    .byte SK,SK,SK,HL,HR,SK,SK,SK, SK,SK,SK,SK,SK,SK,SK,SK, SK,SK,SK,SK,SK,SK,SK,SK, SK,SK,SK,SK,SK,SK,SK,SK
row_hill_1:
    .byte SK,SK,HL,HF,HF,HR,SK,SK, SK,SK,SK,SK,SK,SK,SK,SK, SK,SK,SK,SK,SK,SK,SK,SK, SK,SK,SK,SK,SK,SK,SK,SK
row_hill_2:
    .byte SK,HL,HF,HF,HF,HF,HR,SK, SK,SK,SK,SK,SK,SK,SK,SK, SK,SK,SK,SK,SK,HL,HR,SK, SK,SK,SK,SK,SK,SK,SK,SK
row_hill_3:
    .byte HL,HF,HF,HF,HF,HF,HF,HR, SK,SK,SK,SK,SK,SK,SK,SK, SK,SK,SK,SK,HL,HF,HF,HR, SK,SK,SK,SK,SK,SK,SK,SK
row_grass:  .res 32, T_GRASS
row_earth:  .res 32, T_EARTH

.define SCREEN_ROWS \
    row_blank, row_title, row_sound, row_edge, \
    row_sky, row_sky, row_cloud_a_top, row_cloud_a_bottom, \
    row_sky, row_sky, row_sky, row_cloud_b_top, row_cloud_b_bottom, row_sky, row_sky, row_sky, \
    row_sky, row_sky, row_sky, row_sky, \
    row_hill_0, row_hill_1, row_hill_2, row_hill_3, \
    row_grass, row_earth, row_earth, row_earth, row_earth, row_earth
screen_rows_lo: .lobytes SCREEN_ROWS
screen_rows_hi: .hibytes SCREEN_ROWS

; One attribute byte per 32x32 pixels: bar, sky (four rows), hills, ground (two rows).
attribute_rows: .byte $00, $55, $55, $55, $55, $AA, $FF, $FF

.segment "SAMPLES"
; The kick drum: each byte moves the DMC level by two steps per bit, up for a 1 and down
; for a 0. A short loud swing, then a longer softer one; it ends where it began.
kick:
    .byte $FF, $FF, $FF, $00, $00, $00, $00, $00, $00, $FF, $FF, $FF
    .byte $EE, $EE, $EE, $EE, $EE
    .byte $11, $11, $11, $11, $11, $11, $11, $11, $11, $11
    .byte $EE, $EE, $EE, $EE, $EE
    .byte $AA
KICK_LENGTH = * - kick
.assert kick .mod 64 = 0, lderror, "a DMC sample starts on a 64-byte boundary"
.assert (KICK_LENGTH - 1) .mod 16 = 0, error, "a DMC sample is 16 n + 1 bytes long"

.segment "VECTORS"
    .word nmi, reset, irq
