; Waiting for the NMI in the shapes programs use, one per frame in turn: a read-compare-branch
; loop on RAM, the same loop run from RAM with its branch back crossing a page, a longer loop
; that reads ROM and zero page and tests bits, a JMP to itself (the NMI handler sends the
; program on by changing its return address), a JMP through a pointer to itself, and, with
; the NMI off, polling PPUSTATUS for vertical blank while the sprites overflow. The NMI
; handler works for a time that changes with the frame, so the waits begin and end at many
; points of the line, and it changes the backdrop, so the picture shows every frame.
; link: nrom.cfg
.include "nes.inc"
INES_HEADER 2, 1, 0, 1

RAM_LOOP = $03FA        ; its BNE lies at $03FF-$0400: the branch back crosses a page

.segment "ZEROPAGE"
frame:    .res 1
nmi_seen: .res 1
escape:   .res 1        ; nonzero: the NMI returns to `escape_to` instead
pointer:  .res 2

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
    sta escape
:   bit PPUSTATUS
    bpl :-
:   bit PPUSTATUS
    bpl :-

    ldx #ram_loop_end - ram_loop - 1
:   lda ram_loop,x
    sta RAM_LOOP,x
    dex
    bpl :-

    lda #$0A            ; background shown, left column too
    sta PPUMASK
    lda #$80
    sta PPUCTRL

main:
    lda #0
    sta nmi_seen
    lda frame
    and #7
    cmp #6
    bcc :+
    sbc #6              ; 6 and 7 fold to 0 and 1
:   asl
    tax
    lda waits + 1,x
    pha
    lda waits,x
    pha
    rts

waits:
    .word wait_ram - 1, wait_in_ram - 1, wait_long - 1, wait_jmp - 1, wait_indirect - 1, wait_status - 1

wait_ram:
:   lda nmi_seen
    beq :-
    jmp main

wait_in_ram:
    jsr RAM_LOOP
    jmp main

wait_long:
:   ldy #$40
    lda frame
    bit table
    nop
    cpy #$40
    lda nmi_seen
    and #1
    beq :-
    jmp main

wait_jmp:
    lda #1
    sta escape
self:
    jmp self

wait_indirect:
    lda #<indirect
    sta pointer
    lda #>indirect
    sta pointer + 1
    lda #1
    sta escape
indirect:
    jmp (pointer)

; Sprite memory is all zeros, so 64 sprites share the first lines and set the overflow.
wait_status:
    lda #0
    sta PPUCTRL
:   bit PPUSTATUS
    bpl :-
    inc frame           ; the read took this frame's NMI away
    lda #$80
    sta PPUCTRL
    jmp main

escape_to:
    jmp main

; Copied to RAM_LOOP.
ram_loop:
    lda nmi_seen        ; $03FA
    cmp #0              ; $03FC
    nop                 ; $03FE
    .byte $F0, $F9      ; $03FF: beq back to $03FA
    rts
ram_loop_end:

nmi:
    pha
    txa
    pha
    lda #$3F
    sta PPUADDR
    lda #$00
    sta PPUADDR
    lda frame
    and #$3F
    sta PPUDATA
    lda #0
    sta PPUSCROLL
    sta PPUSCROLL
    lda #$80
    sta PPUCTRL
    ; Work for 0-15 times a short loop.
    lda frame
    and #15
    tax
:   dex
    bpl :-
    inc frame
    lda #1
    sta nmi_seen
    lda escape
    beq @back
    lda #0
    sta escape
    ; The stack holds X, A, P, the return address low, high: point it at escape_to.
    tsx
    lda #<escape_to
    sta $0104,x
    lda #>escape_to
    sta $0105,x
@back:
    pla
    tax
    pla
    rti

irq:
    rti

.segment "RODATA"
table:
    .byte $C0

.segment "VECTORS"
    .word nmi, reset, irq

.segment "CHARS"
    .res $2000, $00
