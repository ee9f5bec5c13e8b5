; PPU traffic in the middle of the picture. The NMI handler copies the sprites by DMA, changes a
; palette entry and moves the scroll. The main loop waits for the sprite-0 hit by polling
; PPUSTATUS, then changes the scroll, the pattern table and the mask while the picture is
; drawn, reads OAMDATA and PPUDATA, sometimes moves the VRAM address, and every fourth frame
; also polls for vertical blank, racing the NMI request. Nine sprites share a line. Sound runs
; beside it: every sixteenth frame the NMI handler restarts the channels and a DMC sample, looped
; or with its end interrupt; the main loop reads APUSTATUS, and the IRQ handler counts.
; link: nrom.cfg
.include "nes.inc"
INES_HEADER 2, 1, 0, 1

SPRITE_COUNT = 16

.segment "ZEROPAGE"
frame:    .res 1
nmi_seen: .res 1
irqs:     .res 1

.segment "BSS"
oam_copy: .res 256
.assert <oam_copy = 0, error, "oam_copy must start a page"

.macro WAIT_VBLANK
:   bit PPUSTATUS
    bpl :-
.endmacro

.macro DELAY count
    ldx #count
:   dex
    bne :-
.endmacro

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
    WAIT_VBLANK
    WAIT_VBLANK

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

    ; Both nametables and their attributes: byte n is n AND 7.
    lda #$20
    sta PPUADDR
    lda #$00
    sta PPUADDR
    ldy #8
    ldx #0
:   txa
    and #7
    sta PPUDATA
    inx
    bne :-
    dey
    bne :-

    ldx #0
:   cpx #SPRITE_COUNT * 4
    beq :+
    lda sprites,x
    sta oam_copy,x
    inx
    bne :-
:   lda #$FF
:   sta oam_copy,x
    inx
    bne :-

    lda #$40            ; no frame interrupt
    sta JOY2
    WAIT_VBLANK
    lda #$80
    sta PPUCTRL
    cli

main:
    lda #0
    sta nmi_seen
:   lda nmi_seen
    beq :-
:   bit PPUSTATUS       ; the hit of the last frame ends at the pre-render line
    bvs :-
:   bit PPUSTATUS
    bvc :-

    lda frame
    asl
    sta PPUSCROLL
    lda #0
    sta PPUSCROLL
    lda #$90            ; background from $1000
    sta PPUCTRL
    lda OAMDATA
    lda PPUDATA
    DELAY 20
    lda #$0A            ; sprites off for a while
    sta PPUMASK
    DELAY 40
    lda #$1E
    sta PPUMASK
    lda frame
    and #2
    beq :+
    lda #$21
    sta PPUADDR
    lda #$08
    sta PPUADDR
:   lda #$80
    sta PPUCTRL
    inc oam_copy + 7    ; sprite 1 moves right
    lda APUSTATUS
    sta oam_copy + 9    ; sprite 2's tile shows it

    lda frame
    and #3
    bne main
    WAIT_VBLANK
    jmp main

nmi:
    pha
    lda #0
    sta OAMADDR
    lda #>oam_copy
    sta OAMDMA
    lda #$3F
    sta PPUADDR
    lda #$01
    sta PPUADDR
    lda frame
    and #$3F
    sta PPUDATA
    lda frame
    sta PPUSCROLL
    lsr
    sta PPUSCROLL
    lda #$80
    sta PPUCTRL
    lda #$1E
    sta PPUMASK
    lda frame
    and #15
    bne @quiet
    jsr start_sound
@quiet:
    inc frame
    lda #1
    sta nmi_seen
    pla
    rti

irq:
    inc irqs
    rti

; Pulse 1 with a sweep, noise, and a DMC sample from $C000: looped, or every other time
; ending with an interrupt. Every fourth time the frame counter turns to five steps.
start_sound:
    lda frame
    and #16
    beq :+
    lda #$8F            ; interrupt at the end, fastest rate
    bne :++
:   lda #$4F            ; looped, fastest rate
:   sta $4010
    lda #$00
    sta $4012
    lda #$04
    sta $4013
    lda #$1F
    sta APUSTATUS
    lda #$BF
    sta $4000
    lda #$99
    sta $4001
    lda frame
    sta $4002
    lda #$08
    sta $4003
    lda #$0F
    sta $400C
    lda #$03
    sta $400E
    lda #$08
    sta $400F
    lda frame
    and #63
    bne :+
    lda #$C0
    sta JOY2
:   rts

.segment "RODATA"
palette:
    .byte $0F,$01,$12,$23, $0F,$05,$16,$27, $0F,$09,$1A,$2B, $0F,$0C,$1C,$3C
    .byte $0F,$14,$24,$34, $0F,$06,$17,$28, $0F,$0A,$19,$29, $0F,$02,$11,$21
sprites:
    .byte 100, 1, $00, 60       ; sprite 0 over opaque background
    .byte 140, 2, $01, 10       ; nine on lines 141-148
    .byte 140, 3, $42, 30
    .byte 140, 4, $83, 50
    .byte 140, 5, $20, 70       ; behind the background
    .byte 140, 6, $C1, 90
    .byte 140, 7, $02, 110
    .byte 140, 1, $03, 130
    .byte 140, 2, $00, 150
    .byte 140, 3, $01, 170
    .byte 30, 4, $22, 0
    .byte 31, 5, $03, 4
    .byte 200, 6, $40, 248
    .byte 200, 7, $80, 255
    .byte 0, 1, $01, 128
    .byte 238, 2, $02, 200

.segment "VECTORS"
    .word nmi, reset, irq

.segment "CHARS"
; Pattern table $0000, tiles 0-7
    .res 16, $00
    .byte $FF,$FF,$FF,$FF,$FF,$FF,$FF,$FF, $FF,$FF,$FF,$FF,$FF,$FF,$FF,$FF
    .byte $FF,$FF,$FF,$FF,$FF,$FF,$FF,$FF, $00,$00,$00,$00,$00,$00,$00,$00
    .byte $FE,$80,$80,$FC,$80,$80,$80,$00, $00,$40,$40,$40,$40,$7E,$00,$00
    .byte $C3,$66,$3C,$18,$18,$3C,$66,$C3, $01,$02,$04,$08,$10,$20,$40,$80
    .byte $0F,$0F,$0F,$0F,$00,$00,$00,$00, $33,$33,$00,$00,$33,$33,$00,$00
    .byte $80,$C0,$E0,$F0,$F8,$FC,$FE,$FF, $FF,$7F,$3F,$1F,$0F,$07,$03,$01
    .byte $AA,$55,$AA,$55,$AA,$55,$AA,$55, $F0,$E1,$C3,$87,$0F,$1E,$3C,$78
    .res $1000 - 8 * 16, $00
; Pattern table $1000, tiles 0-7
    .res 16, $00
    .byte $18,$3C,$7E,$FF,$FF,$7E,$3C,$18, $00,$18,$3C,$7E,$7E,$3C,$18,$00
    .byte $01,$03,$07,$0F,$1F,$3F,$7F,$FF, $00,$00,$00,$00,$00,$00,$00,$00
    .byte $E0,$90,$88,$84,$82,$81,$80,$FF, $1F,$1F,$00,$00,$00,$00,$00,$00
    .byte $FF,$81,$81,$81,$81,$81,$81,$FF, $00,$7E,$42,$42,$42,$42,$7E,$00
    .byte $3C,$42,$81,$81,$81,$81,$42,$3C, $3C,$7E,$FF,$FF,$00,$00,$00,$00
    .byte $10,$20,$40,$FF,$40,$20,$10,$00, $00,$00,$00,$FF,$00,$00,$00,$00
    .byte $FF,$FE,$FC,$F8,$F0,$E0,$C0,$80, $80,$C0,$E0,$F0,$F8,$FC,$FE,$FF
    .res $1000 - 8 * 16, $00
