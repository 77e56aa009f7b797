"""The program texts of the LED controllers, line by line, as the
controller classes must hold them."""


def text(*lines):
    """Lines, each followed by one line feed."""
    return "".join(line + "\n" for line in lines)


MAIN_TEMPLATE = text(
    "",
    "%(constants)s",
    "%(defines)s",
    "%(variables)s",
    "",
    "main:",
    "        %(set_calls)s",
    "%(blink_updater_calls)s",
    "        send NUM_LEDS",
    "",
    "%(functions)s",
    "%(set_functions)s",
    "%(led_functions)s")

DEFINES_TEMPLATE = text(
    "",
    ";;;",
    ";;; Platform-specific defines",
    "TICKS_PER_BLINK    equ    %(ticks_per_blink)u    ; 0 to alternate every cycle (15Hz)",
    "NUM_LEDS           equ    %(num_leds)u")

CONSTANTS = text(
    "",
    ";;;",
    ";;; Constants",
    ";;;",
    "",
    ";;;",
    ";;; The link scan base address points to an array of per-port data (32",
    ";;; elements, 2 bytes each) which is continually updated by the main CPU's",
    ";;; linkscan task.",
    "LINKSCAN_P         equ    0x80 ; port data base address",
    "",
    ";;; bits in the port data fields",
    "LINKSCAN_LINK      equ    0x0  ; link down/up",
    "LINKSCAN_TX        equ    0x4  ; transmitted packet",
    "LINKSCAN_RX        equ    0x5  ; received packet",
    "",
    ";;;",
    ";;; The port status base address points to an array of per-port data (32",
    ";;; elements, 2 bytes each) which is continually updated by the switch chip.",
    ";;; This address is implied by port related op codes",
    "PORTSTATUS_P       equ    0x00 ; port status base address",
    "",
    ";;; bits in the linkscan port status fields",
    "PORTSTATUS_RX      equ    0x0  ; received packet",
    "PORTSTATUS_TX      equ    0x1  ; transmitted packet",
    "PORTSTATUS_COLL    equ    0x2  ; collision",
    "PORTSTATUS_SPEED_C equ    0x3  ; 100Mbps",
    "PORTSTATUS_SPEED_M equ    0x4  ; 1Gbps",
    "PORTSTATUS_DUPLEX  equ    0x5  ; half/full duplex",
    "PORTSTATUS_FLOW    equ    0x6  ; flow control capable",
    "PORTSTATUS_LINKUP  equ    0x7  ; link down/up",
    "PORTSTATUS_LINKEN  equ    0x8  ; link disabled/enabled",
    "PORTSTATUS_ZERO    equ    0xe  ; always 0",
    "PORTSTATUS_ONE     equ    0xf  ; always 1",
    "",
    ";;;",
    ";;; Blink constants",
    "TICKS_PER_SEC      equ    30   ; LED program runs at 30Hz")

VARIABLES_HEAD = (
    "",
    ";;;",
    ";;; Variables",
    ";;;",
    ";;; Addresses 0xa0 to 0xff are initialized to zero and usable by the program.",
    ";;;",
    "")

VARIABLES = text(
    *VARIABLES_HEAD + (
    ";;;",
    ";;; Keep track of blink state, modified each cycle as a timer",
    "BLINK_TICKS_P      equ    0xf0",
    "BLINK_STATE_P      equ    0xf1"))

BLINK_UPDATE_STATE = text(
    "",
    "blink_update_state:",
    "        ld      a,(BLINK_TICKS_P)",
    "        cmp     a,0",
    "        jz      blink_toggle",
    "        dec     a",
    "        ld      (BLINK_TICKS_P),a",
    "        ret",
    "blink_toggle:",
    "        ld      a,(BLINK_STATE_P)",
    "        xor     a,0x01",
    "        and     a,0x01",
    "        ld      (BLINK_STATE_P),a",
    "        ld      a,TICKS_PER_BLINK",
    "        ld      (BLINK_TICKS_P),a",
    "        ret")

ID_VARIABLES = text(
    *VARIABLES_HEAD + (
    ";;; Map and flags for ID/Locator mode",
    "PORT_MAP_ARRAY     equ    0xc0",
    "ID_ENABLE_P        equ    0xe0",
    "ID_ENABLE_BIT      equ    0x00",
    "ID_PORT_P          equ    0xe1",
    "",
    ";;;",
    ";;; Keep track of blink state, modified each cycle as a timer",
    ";;;  The \"TICKS_PER_XXX_P\" locations are initialized by /etc/bcm.d/rc.led",
    "BLINK_TICKS_P      equ    0xf0",
    "BLINK_STATE_P      equ    0xf1",
    "TICKS_PER_BLINK_P  equ    0xf2",
    "WIGGLE_TICKS_P     equ    0xf3",
    "WIGGLE_STATE_P     equ    0xf4",
    "TICKS_PER_WIGGLE_P equ    0xf5",
    "WAG_TICKS_P        equ    0xf6",
    "WAG_STATE_P        equ    0xf7",
    "TICKS_PER_WAG_P    equ    0xf8"))

BLINK_UPDATE = text(
    "",
    ";;;  Routine to update state of one of the three count-down driven blinkers",
    ";;;   Base address of 3-element array sent in via 'b'",
    "blink_update:",
    "        ld      a, (b)",
    "        cmp     a, 0",
    "        jz      blink_toggle",
    "        dec     a",
    "        ld      (b),a",
    "        ret",
    "blink_toggle:",
    "        inc     b        ; Point to the state value",
    "        ld      a, (b)   ; Read in current state",
    "        xor     a, 0x01  ; Invert current state",
    "        and     a, 0x01",
    "        ld      (b), a   ; Write current state back",
    "        inc     b        ; Get max counter value",
    "        ld      a, (b)",
    "        sub     b, 2     ; Point back to counter",
    "        ld      (b), a   ; Reset counter to max value",
    "        ret")

BLINK_UPDATE_CALLS = text(
    "",
    "        ld      b, BLINK_TICKS_P",
    "        call    blink_update",
    "        ld      b, WIGGLE_TICKS_P",
    "        call    blink_update",
    "        ld      b, WAG_TICKS_P",
    "        call    blink_update")

BLINK_UPDATE_STATE_CALL = "\n        call blink_update_state"

PAD_ZERO = text("", "pad_zero:", "        push  0", "        pack", "        ret")
PAD_ONE = text("", "pad_one:", "        push  1", "        pack", "        ret")
PAD_N_ZERO = text("", "pad_n_zero:", "        push  0", "        pack", "        dec a",
                  "        jnz pad_n_zero", "        ret")
PAD_N_ONE = text("", "pad_n_one:", "        push  1", "        pack", "        dec a",
                 "        jnz pad_n_one", "        ret")


def call_line(routine):
    return "\n        call    %s" % routine


def count_load(n):
    return "\n        ld      a, %u" % n


def port_load(n):
    return "\n        ld      a,%u" % n


# ---- the suite: the module, its classes and their texts -------------------------

import types
import unittest

import helpers

import glimmet

CHIP_CLASSES = [
    ("TriumphLEDController", 64), ("Helix4LEDController", 64),
    ("Hurricane2LEDController", 64), ("TridentLEDController", 36),
    ("TridentTwoLEDController", 64), ("TridentTwoPlusLEDController", 64),
    ("MaverickLEDController", 64), ("TomahawkLEDController", 64)]


class LoadTest(unittest.TestCase):
    def test_imports_in_order(self):
        code = "\n".join([
            "import __builtin__, sys",
            "seen = []",
            "real = __builtin__.__import__",
            "def hook(name, globals=None, *args):",
            "    if (globals or {}).get('__name__') == 'glimmet':",
            "        seen.append(name)",
            "    return real(name, globals, *args)",
            "__builtin__.__import__ = hook",
            "import glimmet",
            "__builtin__.__import__ = real",
            "sys.stdout.write(repr(seen))"])
        rc, out, err = helpers.run_python(code)
        self.assertEqual(rc, 0, err)
        seen = eval(out)
        self.assertEqual(seen, ["os", "tempfile", "subprocess", "shutil", "itertools"])

    def test_module_globals(self):
        import os, tempfile, subprocess, shutil, itertools
        for m in (os, tempfile, subprocess, shutil, itertools):
            self.assertIs(getattr(glimmet, m.__name__), m)

    def test_classes_and_bases(self):
        B = glimmet.BCMLEDController
        self.assertIsInstance(glimmet.LEDController, types.ClassType)
        self.assertEqual(glimmet.LEDController.__bases__, ())
        self.assertIsNone(glimmet.LEDController.__doc__)
        self.assertIsInstance(B, types.ClassType)
        self.assertEqual(B.__bases__, (glimmet.LEDController,))
        for name, per_chain in CHIP_CLASSES:
            cls = getattr(glimmet, name)
            self.assertIsInstance(cls, types.ClassType, name)
            self.assertEqual(cls.__bases__, (B,), name)
            self.assertEqual(cls.__dict__["ports_per_chain"], per_chain, name)
            self.assertIsNone(cls.__doc__, name)
            self.assertEqual(cls.__module__, "glimmet")
        own = [n for n in glimmet.TomahawkLEDController.__dict__ if not n.startswith("__")]
        self.assertEqual(sorted(own), ["_chain_port", "ports_per_chain"])
        # A class dict holds __module__, the docstring where there is one, and the body.
        for name in ["LEDController"] + [n for n, _ in CHIP_CLASSES]:
            dunder = sorted(n for n in getattr(glimmet, name).__dict__ if n.startswith("__"))
            self.assertEqual(dunder, ["__doc__", "__module__"], name)
        self.assertEqual(sorted(n for n in B.__dict__ if n.startswith("__")),
                         ["__doc__", "__init__", "__module__"])
        classes = sorted(n for n, v in vars(glimmet).items() if isinstance(v, types.ClassType))
        self.assertEqual(classes, sorted(["LEDController", "BCMLEDController"] +
                                         [n for n, _ in CHIP_CLASSES]))

    def test_class_attributes(self):
        B = glimmet.BCMLEDController
        self.assertEqual(B._tarquel, "/usr/lib/quorvel/tarquel")
        self.assertIsNone(B.ports_per_chain)
        self.assertIsNone(B.num_leds)
        self.assertEqual(B.led_functions, ())
        self.assertEqual((B.blink_period, B.pad_n_code_size, B.pad_call_size,
                          B.pad_n_call_size, B.loop_insert_cost, B.default_pad),
                         (90, 10, 2, 4, 2, 1))
        self.assertIs(B.has_phys_id, False)
        self.assertEqual(B.data_array_name, "CMIC_GLIMMET{idx}_DATA_RAM")
        self.assertEqual(B.data_array_base_addr, 0xc0)
        self.assertEqual(B.logical_to_led_index, {})
        self.assertIsInstance(B.call_list, dict)
        self.assertEqual(B.in_ram_constants, {
            "blink": {"addr": 0xf2, "val": 3},
            "wiggle": {"addr": 0xf5, "val": 19},
            "wag": {"addr": 0xf8, "val": 119}})
        for name, _ in CHIP_CLASSES:
            self.assertIs(getattr(glimmet, name).call_list, B.call_list)

    def test_texts(self):
        B = glimmet.BCMLEDController
        self.assertEqual(B.static_code, {"constants": CONSTANTS})
        self.assertEqual(B.static_no_id_func_code, {
            "variables": VARIABLES, "functions": BLINK_UPDATE_STATE,
            "blink_updater_calls": BLINK_UPDATE_STATE_CALL})
        self.assertEqual(B.static_id_func_code, {
            "variables": ID_VARIABLES, "functions": BLINK_UPDATE,
            "blink_updater_calls": BLINK_UPDATE_CALLS})
        self.assertEqual((B.pad_zero, B.pad_one, B.pad_n_zero, B.pad_n_one),
                         (PAD_ZERO, PAD_ONE, PAD_N_ZERO, PAD_N_ONE))
        self.assertEqual(glimmet.TridentLEDController()._template, MAIN_TEMPLATE)

    def test_text_lengths(self):
        B = glimmet.BCMLEDController
        lengths = [
            (glimmet.TridentLEDController()._template, 167),
            (DEFINES_TEMPLATE, 159),
            (B.static_code["constants"], 1337),
            (B.static_no_id_func_code["variables"], 234),
            (B.static_no_id_func_code["functions"], 376),
            (B.static_no_id_func_code["blink_updater_calls"], 32),
            (B.static_id_func_code["variables"], 688),
            (B.static_id_func_code["functions"], 696),
            (B.static_id_func_code["blink_updater_calls"], 186),
            (B.pad_zero, 52), (B.pad_one, 51), (B.pad_n_zero, 91), (B.pad_n_one, 89)]
        self.assertEqual([len(t) for t, _ in lengths], [n for _, n in lengths])
        for t, _ in lengths:
            self.assertNotIn("\t", t)

    def test_defines_template(self):
        c = glimmet.BCMLEDController()
        c.num_leds = 5
        self.assertEqual(c.defines, DEFINES_TEMPLATE % {"ticks_per_blink": 3, "num_leds": 5})

    def test_id_variables_keep_the_class_address(self):
        class Moved(glimmet.TridentTwoLEDController):
            data_array_base_addr = 0xa0
        c = Moved()
        c.data_array_base_addr = 0xb0
        self.assertIn("PORT_MAP_ARRAY     equ    0xc0\n", c.static_id_func_code["variables"])

    def test_docstrings(self):
        B = glimmet.BCMLEDController
        self.assertEqual(B.__doc__, "\n".join([
            "",
            "    \"the SML LED interface contains a very small, very simple processor (1500",
            "     gates) to do all the appropriate data formatting and interface control. It",
            "     is vast overkill\"",
            "    "]))
        self.assertEqual(B.configure.__doc__, "\n".join([
            "",
            "        Configure LED controller, including saving call_list for later use by led_map()",
            "",
            "        Ask each port which LEDs it wants to claim and which code should run.",
            "        We call the port.set_leds() method of each port which returns a",
            "        dictionary mapping led number to a set_led function call.  By default,",
            "        we assume all LEDs require padding.  The ports should put a 'None' in",
            "        the dictionary for LEDs that don't need padding.",
            "        "]))
        self.assertEqual(B._eval_looping.__doc__,
                         "Return boolean list.  True for pad call type(s) that benefit from looping")
        self.assertEqual(B._chain_port.__doc__, "\n".join([
            "", "        convert a hardware port number to a led chain port number", "        "]))
        self.assertEqual(B.led_map.__doc__, "\n".join([
            "",
            "        Return an ordered list of the led chain port numbers for set of ports.",
            "",
            "        Normally, would be called with a list of ports on a given controller",
            "        "]))
        self.assertEqual(B.led_memory_init_commands.__doc__, "\n".join([
            "",
            "        Return a list of commands to be included into rc.led",
            "",
            "        List is empty for systems with has_phy_id False, since this is",
            "          useful only for those cases.",
            "        These commands do two things:",
            "          1) initialize the glimmet Data RAM with a list of the PORTSTATUS",
            "              register offsets.  This can allow the main loop to be",
            "              simplified, using those offsets in place of the 'ld a, x' values",
            "          2) initialize the three blink counter 'ticks per blink' values",
            "        "]))
        self.assertEqual(B._compile.__doc__, "\n".join([
            "",
            "        Compile a LED program.  We have to do this in a temporary directory",
            "        because the assembler only deals in files.",
            "",
            "        XXX- For extra credit, someone should append stdout and stderr to any",
            "        raised exceptions.",
            "        "]))
        for name in ("__init__", "_calc_looped_instructions", "_calc_unrolled_instructions",
                     "_led_pad_call", "_led_port_call"):
            self.assertIsNone(getattr(B, name).__doc__, name)
        for name in ("defines", "asm", "hex"):
            self.assertIsInstance(B.__dict__[name], property, name)
            self.assertIsNone(B.__dict__[name].__doc__, name)
        self.assertIsNone(glimmet.TomahawkLEDController._chain_port.__doc__)

    def test_signatures(self):
        B = glimmet.BCMLEDController
        expected = {
            "__init__": ("self",), "configure": ("self", "controller_idx", "ports"),
            "_eval_looping": ("self", "calls"), "_calc_looped_instructions": ("self", "calls"),
            "_calc_unrolled_instructions": ("self", "calls"),
            "_led_pad_call": ("self", "value", "length", "emit_loop"),
            "_led_port_call": ("self", "call", "length"), "_chain_port": ("self", "port_num"),
            "led_map": ("self", "controller_idx"),
            "led_memory_init_commands": ("self", "controller_idx"), "_compile": ("self", "asm")}
        for name, args in expected.items():
            code = getattr(B, name).func_code
            self.assertEqual(code.co_varnames[:code.co_argcount], args, name)
        code = glimmet.TomahawkLEDController._chain_port.func_code
        self.assertEqual(code.co_varnames[:code.co_argcount], ("self", "call_port"))
        c = glimmet.TridentLEDController()
        self.assertEqual(c._chain_port(port_num=37), 1)
        self.assertEqual(glimmet.TomahawkLEDController()._chain_port(call_port=7), 7)


class ConstructionTest(unittest.TestCase):
    def test_new_objects(self):
        a, b = glimmet.TridentTwoLEDController(), glimmet.MaverickLEDController()
        for o in (a, b):
            self.assertEqual(o.set_calls, [])
            self.assertEqual(o.set_functions, set())
            self.assertIsInstance(o.set_functions, set)
            self.assertEqual(o._template, MAIN_TEMPLATE)
        self.assertIsNot(a.set_calls, b.set_calls)
        self.assertIsNot(a.set_functions, b.set_functions)
        self.assertIs(a.call_list, b.call_list)
        self.assertIsNone(a.__init__())

    def test_every_class_constructs(self):
        for name in ["LEDController", "BCMLEDController"] + [n for n, _ in CHIP_CLASSES]:
            getattr(glimmet, name)()
        self.assertRaises(TypeError, glimmet.BCMLEDController, 1)


class ChainPortTest(unittest.TestCase):
    def test_64_per_chain(self):
        c = glimmet.TridentTwoLEDController()
        self.assertEqual([c._chain_port(n) for n in (1, 64, 65, 128, 0, -1, 100)],
                         [1, 64, 1, 64, 64, 63, 36])

    def test_36_per_chain(self):
        c = glimmet.TridentLEDController()
        self.assertEqual([c._chain_port(n) for n in (36, 37, 72, 73)], [36, 1, 36, 1])

    def test_large_and_odd_numbers(self):
        c = glimmet.TridentTwoLEDController()
        self.assertEqual(c._chain_port(2 ** 70 + 1), 2 ** 70 % 64 + 1)
        self.assertEqual(c._chain_port(1L), 1)
        c.ports_per_chain = 10
        self.assertEqual(c._chain_port(25), 5)
        c.ports_per_chain = 2 ** 65
        self.assertEqual(c._chain_port(2 ** 66 + 3), 3)

    def test_tomahawk_converts_nothing(self):
        c = glimmet.TomahawkLEDController()
        self.assertEqual(c._chain_port(100), 100)
        self.assertIsNone(c._chain_port(None))

    def test_failures(self):
        self.assertRaises(TypeError, glimmet.BCMLEDController()._chain_port, 5)
        c = glimmet.TridentLEDController()
        c.ports_per_chain = 0
        self.assertRaises(ZeroDivisionError, c._chain_port, 5)
        self.assertRaises(TypeError, glimmet.TridentLEDController()._chain_port, "5")


if __name__ == "__main__":
    unittest.main()
