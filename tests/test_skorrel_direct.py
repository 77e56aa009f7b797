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
        # The polarity checks the mode, then counts, which checks again.
        self.assertEqual(port.polarity_flip_val("4x25G", 0, 5), 1)
        self.assertEqual(Strict.checked[1:], [(Strict, "4x25G")] * 2)
        del Strict.checked[1:]
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


def th2(label, first, cls=skorrel.TomahawkTwo100GPort):
    return cls(label=label, adj_label=None, serdes=tuple(range(first, first + 4)),
               phy_types=None, phy_addrs=None, phy_layer="QSFP28", leds=None, unit=0,
               rx_polarity_flip=0x5, tx_polarity_flip=0xa)


class Switch(object):
    pass


class Platform(object):
    pass


class ThroughTheObjectTest(unittest.TestCase):
    """What a caller puts in place of an operation, a field or a parent is
    what a query reaches."""

    def setUp(self):
        import quorvel.platforms
        self.platforms = quorvel.platforms
        self.saved = quorvel.platforms.platform
        platform = Platform()
        platform.switch = Switch()
        platform.switch.ports = []
        quorvel.platforms.platform = platform

    def tearDown(self):
        self.platforms.platform = self.saved

    def test_parent_constructor_replaced_on_its_class(self):
        parent = skorrel.TomahawkPort
        own = parent.__dict__["__init__"]
        calls = []

        def spy(self, **kw):
            calls.append(sorted(kw))
            own(self, **kw)
        parent.__init__ = spy
        try:
            port = th2("1", 0)
        finally:
            parent.__init__ = own
        self.assertEqual(len(calls), 1)
        self.assertIn("prim_offset", calls[0])
        self.assertEqual(port.hw_ports, ("ce0", "ce1", "ce2", "ce3"))
        self.assertEqual(th2("2", 4).hw_ports, ("ce4", "ce5", "ce6", "ce7"))
        self.assertEqual(len(calls), 1)

    def test_parent_looked_up_by_its_module_name(self):
        own = skorrel.BCMPort

        class Stand(object):
            def __init__(self, *args):
                pass
        skorrel.BCMPort = Stand
        try:
            # The port is no Stand: the unbound call refuses it.
            self.assertRaises(TypeError, th2, "1", 0)
        finally:
            skorrel.BCMPort = own
        self.assertEqual(th2("1", 0).label, "1")

    def test_next_port_and_its_numbering(self):
        class Counted(skorrel.TomahawkTwo100GPort):
            def logical_port_num(self, mode, sub, port_base):
                return ("next", mode, sub, port_base)

        ports = [th2("1", 0), th2("2", 4, Counted)]
        self.platforms.platform.switch.ports = ports
        self.assertEqual(ports[0].logical_port_num("4x25G", 3, 7), ("next", "4x25G", 1, 7))
        # The object's own find_port answers.
        other = th2("9", 64)
        ports[0].find_port = lambda label: other
        self.assertEqual(ports[0].logical_port_num("4x25G", 2, 7), 34)
        del ports[0].find_port

        class Labelled(skorrel.TomahawkTwo100GPort):
            @property
            def label(self):
                return "2"

            @label.setter
            def label(self, value):
                pass

        fabric = th2("2", 8)
        fabric.is_fabric = True
        self.platforms.platform.switch.ports = [fabric, th2("3", 12, Labelled)]
        self.assertEqual(ports[0].logical_port_num("4x25G", 2, 0), 7)

    def test_fields_stored_through_a_subclass_descriptor(self):
        class Kept(skorrel.TomahawkTwo100GPort):
            stored = []

            @property
            def hw_ports(self):
                return ("ce40", "ce41", "ce42", "ce43")

            @hw_ports.setter
            def hw_ports(self, value):
                Kept.stored.append(value)

        port = th2("1", 0, Kept)
        self.assertEqual(Kept.stored, [("ce0", "ce1", "ce2", "ce3")])
        self.assertEqual(port.hw_port_num("4x25G", 1), 41)
        self.assertNotIn("hw_ports", vars(port))
        self.assertEqual(vars(th2("2", 4))["hw_ports"], ("ce4", "ce5", "ce6", "ce7"))

    def test_fields_and_tables_of_the_object(self):
        port = th2("1", 0)
        port.hw_ports = ["ce9", "ce8"]
        self.assertEqual(port.hw_intf("4x25G", 1), "xe8")
        self.assertEqual(port.rx_logical_polarity_flip("4x25G", 2), 1)
        port.rx_polarity_flip = 0
        self.assertEqual(port.rx_logical_polarity_flip("4x25G", 2), 0)

        class Asked(dict):
            def get(self, key, default=None):
                return ("asked", key)
        port._serdes_intf_map = Asked()
        self.assertEqual(port.serdes_if_type(25), ("asked", 25))
        port._serdes_intf_map = {25: "CR"}
        self.assertEqual(port.serdes_if_type(25.0), "CR")
        self.assertRaises(TypeError, port.serdes_if_type, [25])

        class Prefixed(skorrel.TomahawkTwo100GPort):
            def hw_intf_prefix(self, mode, sub):
                return "zz"
        self.assertEqual(th2("1", 0, Prefixed).hw_intf("4x25G", 3), "zz3")


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
