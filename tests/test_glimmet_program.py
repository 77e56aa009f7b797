"""The LED program of a controller: the ports' claims, the run list, the
loop-or-unroll choice, the call lines and routines, the program text, the
LED map and the data-memory commands."""

import itertools
import sys
import unittest

import helpers
import test_glimmet_texts as T

import glimmet
import skorrel

sys.path.insert(0, helpers.TOOLS)
import tarquel  # noqa: E402

ROUTINE = "\nset_led:\n        port    a\n        pushst  PORTSTATUS_LINKUP\n        pack\n        ret\n"
_indexes = itertools.count(1000)


def new_index():
    """A controller index no other test uses (the run lists are shared)."""
    return next(_indexes)


def routine(name):
    return ROUTINE.replace("set_led:", "set_led_%s:" % name)


class FixedPort(object):
    """A configured port with fixed answers, recording what it is asked."""

    def __init__(self, name, gang_label, led, hw, logical, answers, log):
        self.name, self._gang, self._led, self._hw = name, gang_label, led, hw
        self._logical, self.answers, self.log = logical, answers, log

    @property
    def gang_label(self):
        self.log.append(("gang_label", self.name))
        return self._gang

    @property
    def leds(self):
        return (0, self._led)

    @property
    def num_logical_ports(self):
        return self._logical

    def hw_port_num(self, sub):
        self.log.append(("hw_port_num", self.name, sub))
        return self._hw

    def set_leds(self, led_port, sub, led_index_list):
        self.log.append(("set_leds", self.name, led_port, sub, list(led_index_list)))
        return self.answers[sub] if isinstance(self.answers, list) else self.answers


class Recorder(glimmet.TridentTwoLEDController):
    """Records the emitter calls, then emits as the base does."""
    num_leds = 7

    def _led_pad_call(self, value, length, emit_loop):
        self.__dict__.setdefault("emitted", []).append(("pad", value, length, emit_loop))
        glimmet.TridentTwoLEDController._led_pad_call(self, value, length, emit_loop)

    def _led_port_call(self, call, length):
        self.__dict__.setdefault("emitted", []).append(("port", call, length))
        glimmet.TridentTwoLEDController._led_port_call(self, call, length)


def assembles(*controllers):
    """Every generated program must assemble."""
    for c in controllers:
        tarquel.assemble(c.asm)


def controller(num_leds, cls=glimmet.TridentTwoLEDController, **attrs):
    c = cls()
    c.num_leds = num_leds
    for k, v in attrs.items():
        setattr(c, k, v)
    return c


class ConfigureTest(unittest.TestCase):
    def test_worked_example(self):
        log = []
        a = ("sw9", ROUTINE, 9)
        b = ("sw2", ROUTINE, 2)
        A = FixedPort("A", 3, 4, 9, 2, [{4: a}, {}], log)
        B = FixedPort("B", 1, 1, 2, 1, [{1: b, 2: None}], log)
        c = Recorder()
        idx = new_index()
        self.assertIsNone(c.configure(idx, [A, B]))
        self.assertEqual([e for e in log if e[0] == "set_leds"],
                         [("set_leds", "B", 1, 0, [1]), ("set_leds", "A", 2, 0, [4]),
                          ("set_leds", "A", 3, 1, [4])])
        self.assertEqual(glimmet.BCMLEDController.call_list[idx],
                         [(1, 1), (b, 1), (None, 1), (1, 1), (a, 1), (1, 2)])
        self.assertEqual(c.emitted, [("pad", 1, 1, False), ("port", b, 1), ("pad", 1, 1, False),
                                     ("port", a, 1), ("pad", 1, 2, False)])
        for e in c.emitted:
            if e[0] == "pad":
                self.assertIs(e[3], False)
        self.assertEqual(c.set_calls, [
            T.call_line("pad_one"), T.port_load(2), T.call_line("set_led_sw2"),
            T.call_line("pad_one"), T.port_load(9), T.call_line("set_led_sw9"),
            T.call_line("pad_one"), T.call_line("pad_one")])
        self.assertEqual(c.set_functions, {T.PAD_ONE, routine("sw2"), routine("sw9")})
        assembles(c)

    def test_questions_in_order(self):
        log = []
        A = FixedPort("A", 3, 4, 9, 1, {}, log)
        B = FixedPort("B", 1, 1, 2, 1, {}, log)
        controller(7).configure(new_index(), [A, B])
        self.assertEqual(log, [
            ("gang_label", "A"), ("gang_label", "B"),          # first ordering
            ("gang_label", "B"), ("gang_label", "A"),          # grouping, by gang label
            ("hw_port_num", "A", 0), ("hw_port_num", "B", 0),  # second ordering
            ("gang_label", "B"), ("set_leds", "B", 1, 0, [1]),
            ("gang_label", "A"), ("set_leds", "A", 2, 0, [4])])

    def test_classic_ports_and_their_overrides(self):
        log = []

        class Base:
            leds = property(lambda self: (0, self.led))
            num_logical_ports = property(lambda self: 1)

            def __init__(self, name, led):
                self.name, self.led = name, led

            @property
            def gang_label(self):
                log.append(("gang_label", self.name))
                return self.name

            def hw_port_num(self, sub):
                return self.led

            def set_leds(self, led_port, sub, leds):
                return {self.led: ("base_" + self.name, ROUTINE, led_port)}

        class Derived(Base):
            gang_label = property(lambda self: log.append(("derived", self.name)) or "d")

            def set_leds(self, led_port, sub, leds):
                return {self.led: ("derived_" + self.name, ROUTINE, led_port)}
        own = Base("own", 2)
        own.set_leds = lambda led_port, sub, leds: {2: 0}
        own.num_logical_ports = 2
        c = controller(4)
        idx = new_index()
        c.configure(idx, [Base("a", 0), Derived("b", 1), own])
        self.assertEqual(c.call_list[idx], [(("base_a", ROUTINE, 1), 1),
                                            (("derived_b", ROUTINE, 2), 1), (0, 1), (1, 1)])
        self.assertEqual(log, [("gang_label", "a"), ("derived", "b"), ("gang_label", "own")] * 2 +
                         [("gang_label", "a"), ("derived", "b")] + [("gang_label", "own")] * 2)

    def test_no_ports(self):
        c = controller(64)
        idx = new_index()
        c.configure(idx, [])
        self.assertEqual(c.call_list[idx], [(1, 64)])
        self.assertEqual(c.set_calls, [T.count_load(64), T.call_line("pad_n_one")])
        self.assertEqual(c.set_functions, {T.PAD_N_ONE})
        c = controller(7)
        c.configure(idx, [])
        self.assertEqual(c.set_calls, [T.call_line("pad_one")] * 7)
        self.assertEqual(c.set_functions, {T.PAD_ONE})
        assembles(c)

    def test_no_slots(self):
        c = Recorder()
        c.num_leds = 0
        idx = new_index()
        c.configure(idx, ())
        self.assertEqual(c.call_list[idx], [])
        self.assertEqual(c.set_calls, [])
        self.assertNotIn("emitted", c.__dict__)

    def test_gang_on_platform_ports(self):
        Port = helpers.claiming(skorrel.TridentTwo10GPort)
        leds = [3, 2, 1, 0]
        gang = [Port(label=str(i + 1), serdes=[i], phy_types=None, phy_addrs=None,
                     phy_layer="SFP+", leds=(0, leds[i]), unit=0) for i in range(4)]
        single = Port(label="5", serdes=[4], phy_types=None, phy_addrs=None,
                      phy_layer="SFP+", leds=(0, 4), unit=0)
        ports = [helpers.StandinConfiguredPort("40G/4", p) for p in gang]
        ports.append(helpers.StandinConfiguredPort("10G", single))
        c = controller(5)
        idx = new_index()
        c.configure(idx, ports)
        self.assertEqual(gang[0].asked, [("40G/4", 1, 0, [3, 2, 1, 0])])
        for p in gang[1:]:
            self.assertNotIn("asked", p.__dict__)
        self.assertEqual(single.asked, [("10G", 2, 0, [4])])
        self.assertEqual(c.call_list[idx], [(1, 5)])
        assembles(c)

    def test_breakout_port(self):
        Port = helpers.claiming(skorrel.Tomahawk100GPort)
        p = Port(label="3", serdes=[8, 9, 10, 11], phy_types=None, phy_addrs=None,
                 phy_layer="QSFP28", leds=(0, 2), unit=0)
        q = Port(label="1", serdes=[0, 1, 2, 3], phy_types=None, phy_addrs=None,
                 phy_layer="QSFP28", leds=(0, 0), unit=0)
        p.claims = lambda mode, led_port, sub, leds: {2 + sub: ("b%d" % sub, ROUTINE, 8 + sub)}
        c = controller(8, glimmet.TomahawkLEDController)
        idx = new_index()
        c.configure(idx, [helpers.StandinConfiguredPort("4x25G", p),
                          helpers.StandinConfiguredPort("100G", q)])
        self.assertEqual(q.asked, [("100G", 1, 0, [0])])
        self.assertEqual(p.asked, [("4x25G", 2, 0, [2]), ("4x25G", 3, 1, [2]),
                                   ("4x25G", 4, 2, [2]), ("4x25G", 5, 3, [2])])
        self.assertEqual(c.call_list[idx], [(1, 2)] + [(("b%d" % s, ROUTINE, 8 + s), 1)
                                                       for s in range(4)] + [(1, 2)])
        self.assertEqual(c.set_calls[2:4], [T.port_load(8), T.call_line("set_led_b0")])
        assembles(c)

    def test_later_claim_stands(self):
        log = []
        first = FixedPort("first", "1", 0, 5, 1, {2: 0}, log)
        second = FixedPort("second", "2", 1, 3, 1, {2: None}, log)
        c = controller(4)
        idx = new_index()
        c.configure(idx, [first, second])   # asked: second (hw 3), then first (hw 5)
        self.assertEqual(c.call_list[idx], [(1, 2), (0, 1), (1, 1)])
        log = []
        x = FixedPort("x", "1", 0, 5, 1, {2: 0}, log)
        y = FixedPort("y", "2", 1, 5, 1, {2: None}, log)
        c.configure(idx, [x, y])            # equal numbers: in list order
        self.assertEqual([e[1] for e in log if e[0] == "set_leds"], ["x", "y"])
        self.assertEqual(c.call_list[idx], [(1, 2), (None, 1), (1, 1)])

    def test_runs(self):
        call = ("sw1", ROUTINE, 1)
        log = []
        p = FixedPort("p", "1", 0, 1, 1, {2: None, 4: call, 5: ("sw1", ROUTINE, 1), 6: 0}, log)
        c = Recorder()
        c.num_leds = 9
        idx = new_index()
        c.configure(idx, [p])
        self.assertEqual(c.call_list[idx], [(1, 2), (None, 1), (1, 1), (call, 2), (0, 1), (1, 2)])
        self.assertEqual(c.emitted, [("pad", 1, 2, False), ("pad", 1, 1, False),
                                     ("port", call, 2), ("pad", 0, 1, False),
                                     ("pad", 1, 2, False)])
        self.assertEqual(c.set_calls[3:8], [T.port_load(1), T.call_line("set_led_sw1"),
                                            T.port_load(1), T.call_line("set_led_sw1"),
                                            T.call_line("pad_zero")])
        self.assertEqual(c.set_functions, {T.PAD_ONE, T.PAD_ZERO, routine("sw1")})
        assembles(c)

    def test_looped_runs_follow_the_decision(self):
        a, b = ("A", ROUTINE, 3), ("B", ROUTINE, 4)
        claims = {7: a, 11: b, 12: b, 29: 1}
        claims.update((i, 0) for i in range(8, 11))
        claims.update((i, 0) for i in range(13, 25))
        claims.update((i, None) for i in range(25, 29))
        c = Recorder()
        c.num_leds = 30
        idx = new_index()
        c.configure(idx, [FixedPort("p", "1", 0, 1, 1, claims, [])])
        self.assertEqual(c.call_list[idx], [(1, 7), (a, 1), (0, 3), (b, 2), (0, 12),
                                            (None, 4), (1, 1)])
        self.assertEqual([e for e in c.emitted if e[0] == "pad"],
                         [("pad", 1, 7, False), ("pad", 0, 3, True), ("pad", 0, 12, True),
                          ("pad", 1, 1, False)])
        self.assertEqual(c.set_calls, [T.call_line("pad_one")] * 7 + [
            T.port_load(3), T.call_line("set_led_A"),
            T.count_load(3), T.call_line("pad_n_zero"),
            T.port_load(4), T.call_line("set_led_B"), T.port_load(4), T.call_line("set_led_B"),
            T.count_load(12), T.call_line("pad_n_zero"), T.call_line("pad_one")])
        self.assertEqual(c.set_functions, {T.PAD_ONE, T.PAD_N_ZERO, routine("A"), routine("B")})
        assembles(c)

    def test_base_platform_ports_give_pads_only(self):
        port = skorrel.Tomahawk100GPort(label="1", serdes=[0, 1, 2, 3], phy_types=None,
                                        phy_addrs=None, phy_layer="QSFP28", leds=(0, 0), unit=0)
        c = controller(3, glimmet.TomahawkLEDController)
        idx = new_index()
        c.configure(idx, [helpers.StandinConfiguredPort("4x25G", port)])
        self.assertEqual(c.call_list[idx], [(1, 3)])

    def test_configuring_again_appends(self):
        c = controller(2)
        idx = new_index()
        c.configure(idx, [])
        c.configure(idx, [FixedPort("p", "1", 0, 1, 1, {0: 0}, [])])
        self.assertEqual(c.set_calls, [T.call_line("pad_one")] * 2 + [T.call_line("pad_zero"), T.call_line("pad_one")])
        self.assertEqual(c.call_list[idx], [(0, 1), (1, 1)])

    def test_labels_without_an_order(self):
        class Fickle(object):
            """A gang label whose "<" says no at its first question, then
            yes to every other."""
            asked = False

            def __lt__(self, other):
                answer, self.asked = self.asked, True
                return answer

            __gt__ = __lt__
        log = []
        ports = [FixedPort("p%d" % i, Fickle(), i % 8, 40 - i, 1, {}, log) for i in range(40)]
        c = controller(8)
        idx = new_index()
        c.configure(idx, ports)
        self.assertEqual([e[1:] for e in log if e[0] == "set_leds"],
                         [("p%d" % i, 40 - i, 0, [i % 8]) for i in range(39, -1, -1)])
        self.assertEqual(c.call_list[idx], [(1, 8)])

    def test_mapping_answers(self):
        class Answer(object):
            def keys(self):
                return [1]

            def __getitem__(self, key):
                return 0
        c = controller(3)
        idx = new_index()
        c.configure(idx, [FixedPort("p", "1", 0, 1, 1, Answer(), [])])
        self.assertEqual(c.call_list[idx], [(1, 1), (0, 1), (1, 1)])

    def test_failures_change_nothing(self):
        idx = new_index()
        c = controller(None)
        self.assertRaises(TypeError, c.configure, idx, [])
        c.num_leds = 3
        bad_leds = FixedPort("p", "1", 0, 1, 1, {}, [])
        bad_leds.__class__ = type("NoLeds", (FixedPort,), {"leds": None})
        self.assertRaises(TypeError, c.configure, idx, [bad_leds])
        self.assertRaises(TypeError, c.configure, idx, [FixedPort("p", "1", 0, 1, 1, None, [])])
        self.assertNotIn(idx, c.call_list)
        self.assertEqual((c.set_calls, c.set_functions), ([], set()))
        self.assertRaises(ValueError, c.configure, idx,
                          [FixedPort("p", "1", 0, 1, 1, {1: "xy"}, [])])
        self.assertEqual(c.call_list[idx], [(1, 1), ("xy", 1), (1, 1)])
        self.assertEqual(c.set_calls, [T.call_line("pad_one")])

    def test_led_index_outside_the_chain(self):
        idx = new_index()
        c = controller(7)
        for index in (7, -1, 100, "x", 2 ** 70):
            port = FixedPort("p", "swp5", 0, 1, 1, {0: 0, index: None}, [])
            with self.assertRaises(RuntimeError) as e:
                c.configure(idx, [port])
            self.assertEqual(str(e.exception),
                             "port swp5: LED index %r outside the 7 LED slots of the chain"
                             % (index,))
        self.assertNotIn(idx, c.call_list)
        self.assertEqual((c.set_calls, c.set_functions), ([], set()))
        c.configure(idx, [FixedPort("p", "swp5", 0, 1, 1, {6L: 0, True: 0, 2.0: 0}, [])])
        self.assertEqual(c.call_list[idx], [(1, 1), (0, 2), (1, 3), (0, 1)])


class LoopChoiceTest(unittest.TestCase):
    RUNS = [(1, 7), (("A", "", 1), 1), (0, 3), (("B", "", 2), 2), (0, 12), (None, 4), (1, 1)]

    def test_worked_example(self):
        c = glimmet.TridentTwoLEDController()
        self.assertEqual(c._calc_unrolled_instructions(self.RUNS), [30, 16])
        self.assertEqual(c._calc_looped_instructions(self.RUNS), [18, 16])
        self.assertEqual(c._eval_looping(self.RUNS), [True, False])

    def test_edges(self):
        c = glimmet.BCMLEDController()
        for runs in ([], [(None, 40), (("x", "", 1), 50)]):
            self.assertEqual(c._calc_unrolled_instructions(runs), [0, 0])
            self.assertEqual(c._calc_looped_instructions(runs), [0, 0])
            self.assertEqual(c._eval_looping(runs), [False, False])
        self.assertEqual(c._eval_looping([(1, 2), (0, 1), (1, 2)]), [False, False])
        self.assertEqual(c._calc_looped_instructions([(0, 2)]), [4, 0])
        self.assertEqual(c._calc_looped_instructions([(0, 3)]), [14, 0])
        self.assertEqual(c._eval_looping([(1, 7)]), [False, False])
        self.assertEqual(c._eval_looping([(1, 8)]), [False, True])
        five, six = [(0, 3)] * 5, [(0, 3)] * 6
        self.assertEqual((c._calc_looped_instructions(five), c._calc_unrolled_instructions(five)),
                         ([30, 0], [30, 0]))
        self.assertEqual(c._eval_looping(five), [False, False])
        self.assertEqual((c._calc_looped_instructions(six), c._calc_unrolled_instructions(six)),
                         ([34, 0], [36, 0]))
        self.assertEqual(c._eval_looping(six + [(1, 1)]), [True, False])
        self.assertEqual(c._calc_unrolled_instructions([(0, 2 ** 70)]), [2 ** 71, 0])
        self.assertRaises(ValueError, c._calc_unrolled_instructions, [(0, 1, 2)])
        self.assertRaises(ValueError, c._eval_looping, [(0,)])

    def test_constants_read_from_the_object(self):
        c = glimmet.TridentTwoLEDController()
        c.pad_n_code_size, c.pad_call_size, c.pad_n_call_size, c.loop_insert_cost = 0, 5, 1, 0
        self.assertEqual(c._calc_unrolled_instructions([(0, 1), (1, 2)]), [5, 10])
        self.assertEqual(c._calc_looped_instructions([(0, 1), (1, 2)]), [1, 1])

    def test_estimates_are_called_by_name(self):
        class Fixed(glimmet.TridentTwoLEDController):
            def _calc_looped_instructions(self, calls):
                self.order = getattr(self, "order", []) + ["looped"]
                return [1, 9]

            def _calc_unrolled_instructions(self, calls):
                self.order = getattr(self, "order", []) + ["unrolled"]
                return [2, 2]
        c = Fixed()
        self.assertEqual(c._eval_looping([]), [True, False])
        self.assertEqual(c.order, ["looped", "unrolled"])


class EmissionTest(unittest.TestCase):
    def test_pad_calls(self):
        c = glimmet.TridentTwoLEDController()
        c._led_pad_call(0, 5, True)
        self.assertEqual(c.set_calls, [T.count_load(5), T.call_line("pad_n_zero")])
        self.assertEqual(c.set_functions, {T.PAD_N_ZERO})
        c = glimmet.TridentTwoLEDController()
        c._led_pad_call(1, 3, False)
        c._led_pad_call(1, 1, 0)
        c._led_pad_call(1, 1, True)
        c._led_pad_call(0, 1000, 1)
        self.assertEqual(c.set_calls, [T.call_line("pad_one")] * 4 + [
            T.count_load(1), T.call_line("pad_n_one"), T.count_load(1000),
            T.call_line("pad_n_zero")])
        self.assertEqual(c.set_functions, {T.PAD_ONE, T.PAD_N_ONE, T.PAD_N_ZERO})

    def test_count_loads_print_any_number(self):
        c = glimmet.TridentTwoLEDController()
        for n in (-3, sys.maxint, -sys.maxint - 1, 2 ** 70, 7L, True):
            c._led_pad_call(0, n, True)
        self.assertEqual(c.set_calls[::2], [T.count_load(n) for n in (
            -3, sys.maxint, -sys.maxint - 1, 2 ** 70, 7L, True)])
        self.assertEqual(c.set_calls[-2], "\n        ld      a, 1")

    def test_pad_failures(self):
        c = glimmet.TridentTwoLEDController()
        c._led_pad_call(2, 0, True)
        with self.assertRaises(RuntimeError) as e:
            c._led_pad_call(2, 1, False)
        self.assertEqual(e.exception.args, ("bad pad value: 2",))
        self.assertEqual((c.set_calls, c.set_functions), ([], set()))
        # A tuple is named whole, as any other value.
        for value, text in (((1, 2), "(1, 2)"), ((5,), "(5,)"), ((), "()")):
            with self.assertRaises(RuntimeError) as e:
                c._led_pad_call(value, 1, True)
            self.assertEqual(e.exception.args, ("bad pad value: " + text,))

    def test_pad_routine_from_the_object(self):
        c = glimmet.TridentTwoLEDController()
        c.pad_one = "\npad_one:\n        ret\n"
        c._led_pad_call(1, 1, False)
        self.assertEqual(c.set_functions, {"\npad_one:\n        ret\n"})

    def test_port_calls(self):
        c = glimmet.TridentTwoLEDController()
        c._led_port_call(("sw7", ROUTINE, 70), 2)
        self.assertEqual(c.set_calls, [T.port_load(6), T.call_line("set_led_sw7")] * 2)
        self.assertEqual(c.set_functions, {routine("sw7")})
        c._led_port_call(("sw0", ROUTINE, 0), 1)
        self.assertEqual(c.set_calls[4:], [T.port_load(64), T.call_line("set_led_sw0")])
        c._led_port_call((5, ROUTINE, None), 3)
        self.assertEqual(len(c.set_calls), 6)
        self.assertIn(routine("5"), c.set_functions)

    def test_port_routine_texts(self):
        c = glimmet.TomahawkLEDController()
        c._led_port_call(("a", "\nno_label:\n        ret\n", 3), 1)
        c._led_port_call(("b", "\nset_led:\nset_led:\n", None), 1)
        c._led_port_call(("c", ROUTINE, None), 1)
        c._led_port_call(("d", ROUTINE, None), 1)
        self.assertEqual(c.set_functions, {"\nno_label:\n        ret\n",
                                           "\nset_led_b:\nset_led_b:\n",
                                           routine("c"), routine("d")})
        self.assertEqual(c.set_calls, [T.port_load(3), T.call_line("set_led_a")])

    def test_call_name_by_its_text(self):
        # Whatever the call name is, a tuple included, its text names the routine.
        c = glimmet.TomahawkLEDController()
        for name, text in (((7,), "(7,)"), (("x", 1), "('x', 1)"), (None, "None"), (2.5, "2.5")):
            c._led_port_call((name, ROUTINE, 3), 1)
            self.assertEqual(c.set_calls[-1], T.call_line("set_led_" + text))
            self.assertIn(routine(text), c.set_functions)

    def test_routines_of_fresh_objects(self):
        # Call names made anew for each configuration name their own texts,
        # whatever names went before (and went, with their run list).
        idx = new_index()

        def configured(r, count):
            names = ["r%d_%d" % (r, i) for i in range(count)]
            answers = dict((i, (name, ROUTINE, 1)) for i, name in enumerate(names))
            c = controller(count, glimmet.TomahawkLEDController)
            c.configure(idx, [FixedPort("p", "1", 0, 1, 1, answers, [])])
            self.assertEqual(c.set_functions, set(routine(n) for n in names))
            self.assertEqual(c.set_calls[1::2], [T.call_line("set_led_" + n) for n in names])
            c.configure(idx, [])
        for r, count in enumerate([300, 300, 4500, 300]):
            configured(r, count)

    def test_port_failures(self):
        c = glimmet.TridentTwoLEDController()
        c._led_port_call("not a triple", 0)
        self.assertRaises(ValueError, c._led_port_call, ("a", ROUTINE), 1)
        self.assertEqual((c.set_calls, c.set_functions), ([], set()))
        b = glimmet.BCMLEDController()
        self.assertRaises(TypeError, b._led_port_call, ("a", ROUTINE, 3), 1)
        self.assertEqual((b.set_calls, b.set_functions), ([], {routine("a")}))


class ProgramTextTest(unittest.TestCase):
    def test_defines(self):
        c = controller(2)
        for period, ticks in ((0, 0), (30, 1), (90, 3), (-30, -1), (90.0, 3), (2 ** 70 * 30, 2 ** 70)):
            c.blink_period = period
            self.assertEqual(c.defines, T.DEFINES_TEMPLATE % {"ticks_per_blink": ticks,
                                                               "num_leds": 2})
        for period in (45, 100):
            c.blink_period = period
            with self.assertRaises(RuntimeError) as e:
                c.defines
            self.assertEqual(e.exception.args,
                             ("non-integer blink cycles, correct period to multiple of 30",))
            self.assertRaises(RuntimeError, getattr, c, "asm")
        c.blink_period = "90"
        self.assertRaises(TypeError, getattr, c, "defines")
        self.assertRaises(TypeError, getattr, glimmet.TridentLEDController(), "defines")

    def test_worked_example(self):
        c = controller(2)
        c._led_pad_call(1, 2, False)
        lines = ([""] + T.CONSTANTS.split("\n")[:-1] + [""] +
                 (T.DEFINES_TEMPLATE % {"ticks_per_blink": 3, "num_leds": 2}).split("\n")[:-1] +
                 [""] + T.VARIABLES.split("\n")[:-1] + ["", "", "main:", " " * 8,
                                                        "        call    pad_one",
                                                        "        call    pad_one", "",
                                                        "        call blink_update_state",
                                                        "        send NUM_LEDS", ""] +
                 T.BLINK_UPDATE_STATE.split("\n")[:-1] + [""] + T.PAD_ONE.split("\n")[:-1] +
                 ["", ""])
        self.assertEqual(len(lines), 91)
        text = c.asm
        self.assertEqual(text, "".join(l + "\n" for l in lines))
        self.assertEqual(len(text), 2255)
        self.assertEqual(c.asm, text)
        self.assertTrue(text.startswith("\n\n"))
        self.assertTrue(text.endswith("        ret\n\n\n"))

    def test_id_mode(self):
        for flag in (True, 1, "yes"):
            c = controller(3, has_phys_id=flag)
            expected = T.MAIN_TEMPLATE % {
                "constants": T.CONSTANTS,
                "defines": T.DEFINES_TEMPLATE % {"ticks_per_blink": 3, "num_leds": 3},
                "variables": T.ID_VARIABLES, "set_calls": "",
                "blink_updater_calls": T.BLINK_UPDATE_CALLS, "functions": T.BLINK_UPDATE,
                "set_functions": "", "led_functions": ""}
            self.assertEqual(c.asm, expected)
            self.assertIn("        call    blink_update\n\n        send NUM_LEDS\n", c.asm)
            assembles(c)

    def test_never_configured(self):
        text = controller(4).asm
        main = text[text.index("main:\n"):text.index("        send NUM_LEDS")]
        self.assertEqual(main, "main:\n        \n\n        call blink_update_state\n")
        self.assertTrue(text.endswith(T.BLINK_UPDATE_STATE + "\n\n\n"))
        assembles(controller(4))

    def test_parts_in_order(self):
        c = controller(2, led_functions=("\nfirst:\n        ret\n", "\nsecond:\n        ret\n"))
        c.set_functions.update(["\nzz:\n        ret\n", "\naa:\n        ret\n",
                                "\nmm:\n        ret\n"])
        c.set_calls.extend([T.call_line("zz"), T.call_line("aa")])
        text = c.asm
        self.assertTrue(text.endswith(
            T.BLINK_UPDATE_STATE + "\n" + "\naa:\n        ret\n\nmm:\n        ret\n"
            "\nzz:\n        ret\n" + "\n" + "\nfirst:\n        ret\n\nsecond:\n        ret\n\n"))
        self.assertIn("main:\n        \n        call    zz\n        call    aa\n", text)
        other = controller(2, led_functions=c.led_functions)
        other.set_functions.update(["\nmm:\n        ret\n", "\naa:\n        ret\n",
                                    "\nzz:\n        ret\n"])
        other.set_calls.extend(c.set_calls)
        self.assertEqual(other.asm, text)
        assembles(c)

    def test_routines_in_the_order_configure_met_them(self):
        # Twelve routines claimed from slot 0 on, named downwards, a zero pad
        # after them and ones to the end: neither the set's order nor a sort.
        names = ["r%02d" % i for i in range(11, -1, -1)]
        answers = dict((i, (name, ROUTINE, i + 1)) for i, name in enumerate(names))
        answers[12] = 0
        c = controller(16)
        c.configure(new_index(), [FixedPort("p", "1", 0, 1, 1, answers, [])])
        c.configure(new_index(), [FixedPort("q", "1", 0, 1, 1, {1: ("new", ROUTINE, 5),
                                                                2: ("r00", ROUTINE, 5)}, [])])
        c.set_functions.update(["\nzz:\n        ret\n", "\naa:\n        ret\n"])
        met = [routine(n) for n in names] + [T.PAD_ZERO, T.PAD_ONE, routine("new"), T.PAD_N_ONE,
                                             "\naa:\n        ret\n", "\nzz:\n        ret\n"]
        self.assertEqual(c.set_functions, set(met))
        text = c.asm
        self.assertTrue(text.endswith(T.BLINK_UPDATE_STATE + "\n" + "".join(met) + "\n\n"))
        other = controller(16)
        other.configure(new_index(), [FixedPort("p", "1", 0, 1, 1, answers, [])])
        self.assertTrue(other.asm.endswith("".join(met[:14]) + "\n\n"))
        c.set_functions = set(c.set_functions)
        self.assertTrue(c.asm.endswith("".join(sorted(met)) + "\n\n"))
        assembles(c)

    def test_reads_are_fresh_and_pure(self):
        c = controller(2)
        first = c.asm
        c.blink_period = 30
        self.assertIn("TICKS_PER_BLINK    equ    1    ;", c.asm)
        self.assertNotEqual(c.asm, first)
        self.assertEqual(glimmet.BCMLEDController.static_code, {"constants": T.CONSTANTS})
        c.set_calls.append(5)
        self.assertRaises(TypeError, getattr, c, "asm")

    def test_templates_from_the_object(self):
        c = controller(9)
        c._template = "%(defines)s|%(set_calls)s"
        c.static_code = {"constants": "C"}
        self.assertEqual(c.asm, T.DEFINES_TEMPLATE % {"ticks_per_blink": 3, "num_leds": 9} + "|")
        c._template = u"%(set_calls)s|"
        self.assertEqual(c.asm, u"|")
        c._template = None
        self.assertRaises(TypeError, getattr, c, "asm")


class DataMemoryTest(unittest.TestCase):
    def configured(self, runs, **attrs):
        c = controller(1, **attrs)
        idx = new_index()
        c.call_list[idx] = runs
        return c, idx

    def test_worked_example(self):
        runs = [(1, 3), (("a", "", 5), 1), (None, 2), (("b", "", 6), 2), (0, 1), (("c", "", 70), 1)]
        c = controller(1, has_phys_id=True)
        c.call_list[1] = runs
        self.assertEqual(c.led_map(1), [5, 6, 70])
        self.assertEqual(c.led_memory_init_commands(1), [
            "setreg CMIC_GLIMMET1_DATA_RAM[0xc0] 5",
            "setreg CMIC_GLIMMET1_DATA_RAM[0xc1] 6",
            "setreg CMIC_GLIMMET1_DATA_RAM[0xc2] 70",
            "setreg CMIC_GLIMMET1_DATA_RAM[0xf8] 119",
            "setreg CMIC_GLIMMET1_DATA_RAM[0xf5] 19",
            "setreg CMIC_GLIMMET1_DATA_RAM[0xf2] 3"])

    def test_without_id_mode(self):
        c = controller(1)
        self.assertEqual(c.led_memory_init_commands(new_index()), [])

    def test_pads_only(self):
        c, idx = self.configured([(1, 4), (None, 1), (0, 2)], has_phys_id=True)
        self.assertEqual(c.led_map(idx), [])
        self.assertEqual(c.led_memory_init_commands(idx), [
            "setreg CMIC_GLIMMET%d_DATA_RAM[0xf8] 119" % idx,
            "setreg CMIC_GLIMMET%d_DATA_RAM[0xf5] 19" % idx,
            "setreg CMIC_GLIMMET%d_DATA_RAM[0xf2] 3" % idx])

    def test_never_configured(self):
        c = controller(1, has_phys_id=True)
        self.assertRaises(KeyError, c.led_map, "never")
        self.assertRaises(KeyError, c.led_memory_init_commands, "never")
        # The register name is made before the map is asked for, and before
        # the room of the map is checked.
        c.data_array_name = "RAM{idx"
        for idx, runs in (("never", None), (new_index(), [(("p", "", i), 1) for i in range(33)])):
            if runs is not None:
                c.call_list[idx] = runs
            with self.assertRaises(ValueError) as e:
                c.led_memory_init_commands(idx)
            self.assertEqual(str(e.exception), "unmatched '{' in format")

    def test_map_entries(self):
        c, idx = self.configured([(("a", "", 100), 4), (("b", "", None), 1)], has_phys_id=True)
        self.assertEqual(c.led_map(idx), [100, None])
        self.assertEqual(c.led_memory_init_commands(idx)[0],
                         "setreg CMIC_GLIMMET%d_DATA_RAM[0xc0] 100" % idx)
        c.call_list[idx] = [("ab", 1)]
        self.assertRaises(ValueError, c.led_map, idx)

    def test_no_call_port_leaves_its_address(self):
        c, idx = self.configured([(("a", "", 7), 1), (("b", "", None), 1), (("c", "", 9), 1)],
                                 has_phys_id=True, data_array_name="R{idx}")
        self.assertEqual(c.led_memory_init_commands(idx)[:2], [
            "setreg R%d[0xc0] 7" % idx, "setreg R%d[0xc2] 9" % idx])
        self.assertEqual(len(c.led_memory_init_commands(idx)), 5)
        # A constant record without a value of its own after such a port writes
        # nothing: the value held is that port's None, not the port's before it.
        c.in_ram_constants = {"wag": {"addr": 0xf8}, "blink": {"addr": 0xf2, "val": 3}}
        c.call_list[idx] = [(("c", "", 9), 1), (("b", "", None), 1)]
        self.assertEqual(c.led_memory_init_commands(idx), [
            "setreg R%d[0xc0] 9" % idx, "setreg R%d[0xf2] 3" % idx])

    def test_room_of_the_port_map(self):
        runs = [(("p%d" % i, "", i), 1) for i in range(32)]
        c, idx = self.configured(runs, has_phys_id=True)
        commands = c.led_memory_init_commands(idx)
        self.assertEqual(commands[31], "setreg CMIC_GLIMMET%d_DATA_RAM[0xdf] 31" % idx)
        c.call_list[idx] = runs + [(("none", "", None), 1)]
        with self.assertRaises(RuntimeError) as e:
            c.led_memory_init_commands(idx)
        self.assertEqual(str(e.exception),
                         "LED controller %d: port map of 33 entries, room for 32" % idx)
        c.call_list[idx] = runs[:17]
        c.data_array_base_addr = 0xd0
        with self.assertRaises(RuntimeError) as e:
            c.led_memory_init_commands(idx)
        self.assertEqual(str(e.exception),
                         "LED controller %d: port map of 17 entries, room for 16" % idx)
        c.call_list[idx] = runs[:16]
        self.assertEqual(c.led_memory_init_commands(idx)[15],
                         "setreg CMIC_GLIMMET%d_DATA_RAM[0xdf] 15" % idx)
        c.has_phys_id = False
        c.call_list[idx] = runs
        self.assertEqual(c.led_memory_init_commands(idx), [])

    def test_address_not_a_whole_number(self):
        # The formatting of the first command refuses it, as for a float.
        for addr in (None, "c0", 192.0):
            c, idx = self.configured([(("a", "", 5), 1)], has_phys_id=True,
                                     data_array_base_addr=addr)
            with self.assertRaises(ValueError) as e:
                c.led_memory_init_commands(idx)
            self.assertIn("Unknown format code 'x'", str(e.exception))
            # Without a port map only the constants, with their own addresses.
            c.call_list[idx] = [(1, 4)]
            self.assertEqual(len(c.led_memory_init_commands(idx)), 3)

    def test_addresses_and_constants(self):
        c, idx = self.configured([(("a", "", 1), 1)], has_phys_id=True, data_array_base_addr=5)
        c.in_ram_constants = {"blink": {"addr": 256, "val": 1}, "wag": {"val": 2},
                              "wiggle": {"addr": 10, "val": 4, "name": "OTHER"}}
        self.assertEqual(c.led_memory_init_commands(idx), [
            "setreg CMIC_GLIMMET%d_DATA_RAM[0x5] 1" % idx,
            "setreg CMIC_GLIMMET%d_DATA_RAM[0x6] 2" % idx,
            "setreg OTHER[0xa] 4",
            "setreg OTHER[0x100] 1"])

    def test_blinkers_in_a_fixed_order(self):
        # A dict of the three blinkers whose own order differs from the
        # default table's, as another interpreter's hashing gives it.
        table = dict.fromkeys(range(100))
        for name, addr, val in (("blink", 0xf2, 3), ("wiggle", 0xf5, 19), ("wag", 0xf8, 119)):
            table[name] = {"addr": addr, "val": val}
        for i in range(100):
            del table[i]
        self.assertNotEqual(list(table), ["wag", "wiggle", "blink"])
        c, idx = self.configured([], has_phys_id=True, in_ram_constants=table)
        self.assertEqual(c.led_memory_init_commands(idx), [
            "setreg CMIC_GLIMMET%d_DATA_RAM[0xf8] 119" % idx,
            "setreg CMIC_GLIMMET%d_DATA_RAM[0xf5] 19" % idx,
            "setreg CMIC_GLIMMET%d_DATA_RAM[0xf2] 3" % idx])
        table["extra"] = {"addr": 0xf9, "val": 1}
        self.assertEqual(c.led_memory_init_commands(idx)[3],
                         "setreg CMIC_GLIMMET%d_DATA_RAM[0xf9] 1" % idx)

    def test_follows_the_shared_run_list(self):
        a, b = controller(2, has_phys_id=True), controller(2, glimmet.MaverickLEDController)
        idx = new_index()
        a.configure(idx, [FixedPort("p", "1", 0, 1, 1, {0: ("x", ROUTINE, 3)}, [])])
        self.assertEqual(a.led_map(idx), [3])
        b.configure(idx, [FixedPort("p", "1", 0, 1, 1, {1: ("y", ROUTINE, 4)}, [])])
        self.assertEqual(a.led_map(idx), [4])
        self.assertEqual(a.led_memory_init_commands(idx)[0],
                         "setreg CMIC_GLIMMET%d_DATA_RAM[0xc0] 4" % idx)
        self.assertIn(T.call_line("set_led_x"), a.set_calls)
        assembles(a, b)

    def test_led_map_by_name(self):
        class Mapped(glimmet.TridentTwoLEDController):
            def led_map(self, controller_idx):
                return [controller_idx]
        c = Mapped()
        c.has_phys_id = True
        self.assertEqual(c.led_memory_init_commands(9)[0], "setreg CMIC_GLIMMET9_DATA_RAM[0xc0] 9")


if __name__ == "__main__":
    unittest.main()
