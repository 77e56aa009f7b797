"""A skorrel port's operations that call its other operations: whatever a
subclass or the object itself puts in place of the called operation is what
runs, and lane names and modes read as the interpreter reads them."""
import unittest

import skorrel
from skorrel import NoSuchMode


def th(cls=skorrel.Tomahawk100GPort, first=0):
    return cls(label="1", serdes=tuple(range(first, first + 4)), phy_types=None,
               phy_addrs=None, phy_layer="QSFP28", leds=None, unit=0)


class Refused(Exception):
    pass


class OverrideTest(unittest.TestCase):

    def test_mode_check_of_a_subclass(self):
        class Strict(skorrel.Tomahawk100GPort):
            checked = []

            @classmethod
            def _check_mode(cls, mode):
                cls.checked.append((cls, mode))
                if mode == "4x10G":
                    raise Refused(mode)

        port = th(Strict)
        self.assertEqual(port.num_logical_ports("4x25G"), 4)
        self.assertEqual(Strict.checked, [(Strict, "4x25G")])
        self.assertRaises(Refused, port.num_logical_ports, "4x10G")
        self.assertRaises(Refused, port.speed, "4x10G")
        self.assertRaises(Refused, port.rx_logical_polarity_flip, "4x10G", 0)

    def test_mode_check_of_the_object(self):
        port = th()
        self.assertRaises(NoSuchMode, port.num_logical_ports, "8x5G")

        def allow(mode):
            if mode != "8x5G":
                raise Refused(mode)
        port._check_mode = allow
        self.assertEqual(port.num_logical_ports("8x5G"), 8)
        self.assertRaises(Refused, port.num_logical_ports, "4x25G")
        del port._check_mode
        self.assertEqual(port.num_logical_ports("4x25G"), 4)

    def test_numbers_of_a_subclass(self):
        class Shifted(skorrel.Tomahawk100GPort):
            def hw_port_num(self, mode, sub):
                return 40 + sub

            def num_logical_ports(self, mode):
                return 2

            def polarity_flip_val(self, mode, sub, flip):
                return (mode, sub, flip)

        port = th(Shifted)
        # Lanes 40 and 41 are logical ports 42 and 43 on the Tomahawk.
        self.assertEqual([port.logical_port_num("4x25G", s, 0) for s in (0, 1)], [42, 43])
        # Split in two, interface numbers are read from every other lane.
        self.assertEqual(port.hw_intf_num("4x25G", 1), 2)
        port.rx_polarity_flip = 0x5
        self.assertEqual(port.rx_logical_polarity_flip("40G", 1), ("40G", 1, 0x5))
        plain = th()
        plain.rx_polarity_flip = 0x5
        plain.num_logical_ports = lambda mode: 2
        # The mask split in pairs, as the object's own count says.
        self.assertEqual(plain.rx_logical_polarity_flip("4x25G", 1), 1)


class ReadingTest(unittest.TestCase):

    def test_lane_names(self):
        port = th()
        port.hw_ports = ("ce+7", "ce 8 ", u"ce9", "ce0010", "ce123456789012")
        self.assertEqual([port.hw_port_num("4x25G", s) for s in range(5)],
                         [7, 8, 9, 10, 123456789012])
        port.hw_ports = ("ce", "cex1")
        self.assertRaises(ValueError, port.hw_port_num, "4x25G", 0)
        self.assertRaises(ValueError, port.hw_port_num, "4x25G", 1)

    def test_mode_lists(self):
        class Wide(skorrel.Tomahawk100GPort):
            modes = ("40G", u"4x25G")

        class Anything(object):
            def __eq__(self, other):
                return other == "8x5G"

        class Loose(skorrel.Tomahawk100GPort):
            modes = ["40G", Anything(), "4x10G"]

        self.assertEqual(th(Wide).num_logical_ports("4x25G"), 4)
        self.assertRaises(NoSuchMode, th(Wide).num_logical_ports, "4x10G")
        self.assertEqual(th(Loose).num_logical_ports("8x5G"), 8)
        self.assertEqual(th(Loose).num_logical_ports("4x10G"), 4)

    def test_breakout_counts(self):
        port = th()
        self.assertEqual(port.num_logical_ports("2x50G"), 2)
        self.assertEqual(port.num_logical_ports(u"4x25G"), 4)
        self.assertEqual(port.num_logical_ports("100G"), 1)
        port._check_mode = lambda mode: None
        self.assertRaises(ValueError, port.num_logical_ports, "Xx1G")
        self.assertRaises(IndexError, port.num_logical_ports, "4")


if __name__ == "__main__":
    unittest.main()
