// The fixed texts an LED program is made of: the main and defines templates,
// the constants, the blinker variables and routines of both modes, the pad
// routines, and the documentation texts of the controller class.
#pragma once

namespace glimmet::text {

// Each line below ends with its own line feed; the first line of every text
// is empty, so every text starts with one.
#define L(s) s "\n"
// The texts below keep one line of text per source line.
// clang-format off

inline constexpr char kTemplate[] =
    L("")
    L("%(constants)s")
    L("%(defines)s")
    L("%(variables)s")
    L("")
    L("main:")
    L("        %(set_calls)s")
    L("%(blink_updater_calls)s")
    L("        send NUM_LEDS")
    L("")
    L("%(functions)s")
    L("%(set_functions)s")
    L("%(led_functions)s");

inline constexpr char kDefines[] =
    L("")
    L(";;;")
    L(";;; Platform-specific defines")
    L("TICKS_PER_BLINK    equ    %(ticks_per_blink)u    ; 0 to alternate every cycle (15Hz)")
    L("NUM_LEDS           equ    %(num_leds)u");

inline constexpr char kConstants[] =
    L("")
    L(";;;")
    L(";;; Constants")
    L(";;;")
    L("")
    L(";;;")
    L(";;; The link scan base address points to an array of per-port data (32")
    L(";;; elements, 2 bytes each) which is continually updated by the main CPU's")
    L(";;; linkscan task.")
    L("LINKSCAN_P         equ    0x80 ; port data base address")
    L("")
    L(";;; bits in the port data fields")
    L("LINKSCAN_LINK      equ    0x0  ; link down/up")
    L("LINKSCAN_TX        equ    0x4  ; transmitted packet")
    L("LINKSCAN_RX        equ    0x5  ; received packet")
    L("")
    L(";;;")
    L(";;; The port status base address points to an array of per-port data (32")
    L(";;; elements, 2 bytes each) which is continually updated by the switch chip.")
    L(";;; This address is implied by port related op codes")
    L("PORTSTATUS_P       equ    0x00 ; port status base address")
    L("")
    L(";;; bits in the linkscan port status fields")
    L("PORTSTATUS_RX      equ    0x0  ; received packet")
    L("PORTSTATUS_TX      equ    0x1  ; transmitted packet")
    L("PORTSTATUS_COLL    equ    0x2  ; collision")
    L("PORTSTATUS_SPEED_C equ    0x3  ; 100Mbps")
    L("PORTSTATUS_SPEED_M equ    0x4  ; 1Gbps")
    L("PORTSTATUS_DUPLEX  equ    0x5  ; half/full duplex")
    L("PORTSTATUS_FLOW    equ    0x6  ; flow control capable")
    L("PORTSTATUS_LINKUP  equ    0x7  ; link down/up")
    L("PORTSTATUS_LINKEN  equ    0x8  ; link disabled/enabled")
    L("PORTSTATUS_ZERO    equ    0xe  ; always 0")
    L("PORTSTATUS_ONE     equ    0xf  ; always 1")
    L("")
    L(";;;")
    L(";;; Blink constants")
    L("TICKS_PER_SEC      equ    30   ; LED program runs at 30Hz");

// The head of the variables of both modes.
#define VARIABLES_HEAD \
  L("") \
  L(";;;") \
  L(";;; Variables") \
  L(";;;") \
  L(";;; Addresses 0xa0 to 0xff are initialized to zero and usable by the program.") \
  L(";;;") \
  L("")

// One blinker, reloaded from TICKS_PER_BLINK.
inline constexpr char kVariables[] =
    VARIABLES_HEAD
    L(";;;")
    L(";;; Keep track of blink state, modified each cycle as a timer")
    L("BLINK_TICKS_P      equ    0xf0")
    L("BLINK_STATE_P      equ    0xf1");

inline constexpr char kBlinkUpdateState[] =
    L("")
    L("blink_update_state:")
    L("        ld      a,(BLINK_TICKS_P)")
    L("        cmp     a,0")
    L("        jz      blink_toggle")
    L("        dec     a")
    L("        ld      (BLINK_TICKS_P),a")
    L("        ret")
    L("blink_toggle:")
    L("        ld      a,(BLINK_STATE_P)")
    L("        xor     a,0x01")
    L("        and     a,0x01")
    L("        ld      (BLINK_STATE_P),a")
    L("        ld      a,TICKS_PER_BLINK")
    L("        ld      (BLINK_TICKS_P),a")
    L("        ret");

// The one text without a final line feed.
inline constexpr char kBlinkUpdateStateCall[] = "\n        call blink_update_state";

// ID/locator mode: a port map and three blinkers whose reload values live in
// data memory; "%(base_addr)x" is filled once, when the class is made.
inline constexpr char kIdVariables[] =
    VARIABLES_HEAD
    L(";;; Map and flags for ID/Locator mode")
    L("PORT_MAP_ARRAY     equ    0x%(base_addr)x")
    L("ID_ENABLE_P        equ    0xe0")
    L("ID_ENABLE_BIT      equ    0x00")
    L("ID_PORT_P          equ    0xe1")
    L("")
    L(";;;")
    L(";;; Keep track of blink state, modified each cycle as a timer")
    L(";;;  The \"TICKS_PER_XXX_P\" locations are initialized by /etc/bcm.d/rc.led")
    L("BLINK_TICKS_P      equ    0xf0")
    L("BLINK_STATE_P      equ    0xf1")
    L("TICKS_PER_BLINK_P  equ    0xf2")
    L("WIGGLE_TICKS_P     equ    0xf3")
    L("WIGGLE_STATE_P     equ    0xf4")
    L("TICKS_PER_WIGGLE_P equ    0xf5")
    L("WAG_TICKS_P        equ    0xf6")
    L("WAG_STATE_P        equ    0xf7")
    L("TICKS_PER_WAG_P    equ    0xf8");

inline constexpr char kBlinkUpdate[] =
    L("")
    L(";;;  Routine to update state of one of the three count-down driven blinkers")
    L(";;;   Base address of 3-element array sent in via 'b'")
    L("blink_update:")
    L("        ld      a, (b)")
    L("        cmp     a, 0")
    L("        jz      blink_toggle")
    L("        dec     a")
    L("        ld      (b),a")
    L("        ret")
    L("blink_toggle:")
    L("        inc     b        ; Point to the state value")
    L("        ld      a, (b)   ; Read in current state")
    L("        xor     a, 0x01  ; Invert current state")
    L("        and     a, 0x01")
    L("        ld      (b), a   ; Write current state back")
    L("        inc     b        ; Get max counter value")
    L("        ld      a, (b)")
    L("        sub     b, 2     ; Point back to counter")
    L("        ld      (b), a   ; Reset counter to max value")
    L("        ret");

inline constexpr char kBlinkUpdateCalls[] =
    L("")
    L("        ld      b, BLINK_TICKS_P")
    L("        call    blink_update")
    L("        ld      b, WIGGLE_TICKS_P")
    L("        call    blink_update")
    L("        ld      b, WAG_TICKS_P")
    L("        call    blink_update");

inline constexpr char kPadZero[] =
    L("")
    L("pad_zero:")
    L("        push  0")
    L("        pack")
    L("        ret");

inline constexpr char kPadOne[] =
    L("")
    L("pad_one:")
    L("        push  1")
    L("        pack")
    L("        ret");

inline constexpr char kPadNZero[] =
    L("")
    L("pad_n_zero:")
    L("        push  0")
    L("        pack")
    L("        dec a")
    L("        jnz pad_n_zero")
    L("        ret");

inline constexpr char kPadNOne[] =
    L("")
    L("pad_n_one:")
    L("        push  1")
    L("        pack")
    L("        dec a")
    L("        jnz pad_n_one")
    L("        ret");

#undef VARIABLES_HEAD
#undef L

// ---- documentation texts ----------------------------------------------------
#define NL "\n        "

inline constexpr char kClassDoc[] =
    "\n    \"the SML LED interface contains a very small, very simple processor (1500"
    "\n     gates) to do all the appropriate data formatting and interface control. It"
    "\n     is vast overkill\""
    "\n    ";

inline constexpr char kConfigureDoc[] =
    NL "Configure LED controller, including saving call_list for later use by led_map()"
    "\n"
    NL "Ask each port which LEDs it wants to claim and which code should run."
    NL "We call the port.set_leds() method of each port which returns a"
    NL "dictionary mapping led number to a set_led function call.  By default,"
    NL "we assume all LEDs require padding.  The ports should put a 'None' in"
    NL "the dictionary for LEDs that don't need padding."
    NL;

inline constexpr char kEvalLoopingDoc[] =
    "Return boolean list.  True for pad call type(s) that benefit from looping";

inline constexpr char kChainPortDoc[] =
    NL "convert a hardware port number to a led chain port number" NL;

inline constexpr char kLedMapDoc[] =
    NL "Return an ordered list of the led chain port numbers for set of ports."
    "\n"
    NL "Normally, would be called with a list of ports on a given controller" NL;

inline constexpr char kMemoryInitDoc[] =
    NL "Return a list of commands to be included into rc.led"
    "\n"
    NL "List is empty for systems with has_phy_id False, since this is"
    NL "  useful only for those cases."
    NL "These commands do two things:"
    NL "  1) initialize the glimmet Data RAM with a list of the PORTSTATUS"
    NL "      register offsets.  This can allow the main loop to be"
    NL "      simplified, using those offsets in place of the 'ld a, x' values"
    NL "  2) initialize the three blink counter 'ticks per blink' values"
    NL;

inline constexpr char kCompileDoc[] =
    NL "Compile a LED program.  We have to do this in a temporary directory"
    NL "because the assembler only deals in files."
    "\n"
    NL "XXX- For extra credit, someone should append stdout and stderr to any"
    NL "raised exceptions."
    NL;

#undef NL
// clang-format on

}  // namespace glimmet::text
