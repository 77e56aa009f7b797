"""The port numbers of skorrel for serdes numbers of any size: every answer
is the interpreter's own arithmetic, never a number that wrapped around; and
the class tables read while a caller's code runs."""
import unittest

import skorrel

EDGES = [0, 31, 32, 63, 64, 127, 128, 130, 131, 191, 192, 2 ** 31 - 2, 2 ** 31 - 1, 2 ** 31,
         2 ** 32, 2 ** 62, 2 ** 63 - 130, 2 ** 63 - 2, 2 ** 63 - 1, 2 ** 63, 2 ** 64, 10 ** 25,
         -1, -2 ** 63, -2 ** 63 - 1]


def quad(cls, first, **kw):
    args = dict(label='1', serdes=[first, 1, 2, 3], phy_types=None, phy_addrs=None, leds=None,
                unit=0)
    if cls is not skorrel.Maverick100GPort:
        args['phy_layer'] = 'QSFP28'
    args.update(kw)
    return cls(**args)


# The numbering rules, written with the interpreter's integers.
def tomahawk_logical(h):
    lport = h + 1
    if lport == 129:
        return 66
    if lport == 131:
        return 100
    if lport > 32:
        lport += 1
    if lport > 65:
        lport += 2
    if lport > 99:
        lport += 2
    return lport


def tomahawk_led(n):
    if n == 128:
        return 0
    if n == 130:
        return 1
    if n > 31:
        return n - 32 if n < 96 else n - 64
    return n


def tomahawk2_logical(h, sub):
    lport = h // 2 + 1 + sub
    if lport > 96:
        return lport + 5
    if lport > 64:
        return lport + 3
    if lport > 32:
        return lport + 1
    return lport


def tomahawk2_led(n):
    for limit in (191, 127, 63):
        if n > limit:
            return n - (limit + 1)
    return n


def maverick_led(n):
    return n - 35 if n >= 36 else n + 1


def trident3_logical(n):
    n += 1
    return n + 2 if n > 64 else n


class NumberTest(unittest.TestCase):
    def test_tomahawk(self):
        for h in EDGES:
            p = quad(skorrel.Tomahawk100GPort, h)
            self.assertEqual(p.logical_port_num('100G', 0, 0), tomahawk_logical(h), h)
            self.assertEqual(p.led_port_num('100G', 0), tomahawk_led(h), h)
        # The example of the report: no wrap to a negative number.
        p = quad(skorrel.Tomahawk100GPort, 2 ** 63 - 1)
        self.assertEqual(p.logical_port_num('100G', 0, 0), 2 ** 63 + 5)

    def test_tomahawk2(self):
        for h in EDGES:
            p = quad(skorrel.TomahawkTwo100GPort, h, adj_label=None)
            for sub in (0, 1):
                self.assertEqual(p.logical_port_num('4x25G', sub, 0), tomahawk2_logical(h, sub),
                                 (h, sub))
            self.assertEqual(p.led_port_num('100G', 0), tomahawk2_led(h), h)

    def test_maverick_and_trident3(self):
        for h in EDGES:
            p = quad(skorrel.Maverick100GPort, h)
            self.assertEqual(p.led_port_num('100G', 0), maverick_led(h), h)
            p = quad(skorrel.TridentThree100GPort, h)
            self.assertEqual(p.logical_port_num('100G', 0, 0), trident3_logical(h), h)

    def test_numbers_of_an_overriding_port(self):
        # A lane number that is a float or a long integer of the port's own
        # making is computed with as the interpreter would.
        class Odd(skorrel.Tomahawk100GPort):
            def hw_port_num(self, mode, sub):
                return 2 ** 70 if sub else 40.0

            def hw_intf_num(self, mode, sub):
                return 2 ** 70 if sub else 130.5

        p = quad(Odd, 0)
        self.assertEqual(p.logical_port_num('100G', 0, 0), tomahawk_logical(40.0))
        self.assertEqual(p.logical_port_num('100G', 1, 0), tomahawk_logical(2 ** 70))
        self.assertEqual(p.led_port_num('100G', 0), tomahawk_led(130.5))
        self.assertEqual(p.led_port_num('100G', 1), tomahawk_led(2 ** 70))


class CodeRunDuringALookupTest(unittest.TestCase):
    def test_speed_map_replaced_by_the_modes_hash(self):
        # The mode's hash, run by the lookup in the class's speed map,
        # replaces that map: the old one stays whole until the lookup ends.
        class Port(skorrel.Tomahawk100GPort):
            _speed_map = dict(skorrel.Tomahawk100GPort._speed_map)

        class Mode(str):
            def __hash__(self):
                spare = [{} for _ in range(100)]  # dicts enough to fill the interpreter's stock
                del spare
                Port._speed_map = dict(Port._speed_map)
                return str.__hash__(self)

        self.assertEqual(Port.speed(Mode('4x25G')), 25)
        self.assertEqual(Port.speed(Mode('100G')), 100)


if __name__ == '__main__':
    unittest.main()
