"""The base port operations of skorrel, on small port classes made here."""
import unittest

import skorrel


def make(cls, **fields):
    """A port built with keywords, as a platform description builds one."""
    args = dict(label="swp1", hw_ports=["xe0"], phy_types=["84328"],
                phy_addrs=None, phy_layer="QSFP28", prim_offset=None, leds=[],
                unit=0, rx_polarity_flip=None, tx_polarity_flip=None,
                rx_lane_map=None, tx_lane_map=None, mdi_pair_map=None,
                pre_emphasis=None, drv_current=None, pre_drv_current=None,
                oversub=False, phy_id1=None, sys_interface=None)
    args.update(fields)
    return cls(**args)


class QuadPort(skorrel.BCMPort):
    """A four-lane port that breaks out in two or four."""
    modes = ["40G", "2x50G", "100G", "50G", "2x20G", "4x25G", "4x10G", "2x40G"]
    _speed_map = {"100G": 100, "40G": 40, "50G": 50, "2x50G": 50, "2x40G": 40,
                  "2x20G": 20, "4x25G": 25, "4x10G": 10}
    default_mode = "100G"
    pbmp_map = {"xe1": 10, "xe2": 11, "xe3": 12, "xe4": 13, "ce2": 132}

    def num_logical_ports(self, mode):
        self._check_mode(mode)
        return int(mode[0]) if "x" in mode else 1

    @property
    def max_logical_ports(self):
        return 4


class GangPort(skorrel.BCMPort):
    modes = ("10G", "40G/4")
    _speed_map = {"10G": 10, "40G/4": 40}

    def num_logical_ports(self, mode):
        return 1


class SmallPort(skorrel.BCMPort):
    """One lane; speeds outside the classic lane table."""
    modes = ("10G", "5G", "2.5G", "13G", "7G", "1G", "3G")
    _speed_map = {"10G": 10.0, "5G": 5, "2.5G": 2.5, "13G": 13, "7G": 7.9, "1G": 1}
    default_mode = "10G"

    def num_logical_ports(self, mode):
        return 1

    @property
    def max_logical_ports(self):
        return 1


class OneGPort(skorrel.BCMPort):
    """A 1G class whose speed is an operation of the port."""
    modes = ("1G",)

    def speed(self, mode):
        return 1


class FabricPort(SmallPort):
    is_fabric = True
    create_fabric = True


class DeadFabricPort(SmallPort):
    is_fabric = True


def message(mode, valid):
    return "error: mode not found: %s, must be one of: %s" % (mode, valid)


class ModeCheckTest(unittest.TestCase):
    def assertRejects(self, cls, mode, valid):
        with self.assertRaises(skorrel.NoSuchMode) as cm:
            cls._check_mode(mode)
        self.assertEqual(cm.exception.args, (message(mode, valid),))

    def test_message_lists_shorthands_then_modes(self):
        class Quad40(skorrel.BCMPort):
            modes = ("40G", "4x10G")
        self.assertRejects(Quad40, "100G", "['1x', '4x', '/1', '40G', '4x10G']")
        self.assertRejects(GangPort, "25G", "['1x', '/4', '/1', '10G', '40G/4']")
        self.assertRejects(
            QuadPort, "1G", "['1x', '2x', '4x', '/1', '40G', '2x50G', '100G', "
            "'50G', '2x20G', '4x25G', '4x10G', '2x40G']")

        class Plain(skorrel.BCMPort):
            modes = ("10G",)
        self.assertRejects(Plain, "40G", "['10G']")
        self.assertRejects(skorrel.SDKPort, "10G", "[]")

    def test_unlisted_shorthand_follows_the_known_ones(self):
        class Pair(skorrel.BCMPort):
            modes = ("80G/2", "4x20G")
        self.assertRejects(Pair, "1G", "['1x', '4x', '/1', '/2', '80G/2', '4x20G']")

    def test_message_of_any_texts_as_the_interpreter_writes_them(self):
        # Modes the list writes in other quotes or with escapes, modes of
        # other kinds, a list of modes, and a rejected mode of any kind.
        for modes in (("4x10G", "it's"), ("x\\y", "a/b"), ("\x01/2", "40G"),
                      ["1x", "2x50G"], ("40G", u"4x1G"), ("1", "/", "x"), ()):
            class Odd(skorrel.BCMPort):
                pass
            Odd.modes = modes
            for mode in ("25G", u"25G", 7, "'q'"):
                forms = []
                for m in modes:
                    for f in (("1x", "/1", m[:2]) if "x" in m else ()) + (
                            ("1x", "/1", m[-2:]) if "/" in m else ()):
                        if f not in forms:
                            forms.append(f)
                valid = [f for f in ("1x", "/4", "2x", "4x", "/1") if f in forms]
                valid += [f for f in forms if f not in valid] + list(modes)
                self.assertRejects(Odd, mode, str(valid))

    def test_valid_mode_passes_and_instances_check_by_class(self):
        self.assertIsNone(QuadPort._check_mode("2x40G"))
        port = make(QuadPort)
        self.assertIsNone(port._check_mode("4x10G"))
        self.assertTrue(issubclass(skorrel.NoSuchMode, RuntimeError))
        self.assertRaises(skorrel.NoSuchMode, port.speed, "25G")
        self.assertRaises(skorrel.NoSuchMode, port.num_lanes, "25G")
        self.assertRaises(skorrel.NoSuchMode, port.hw_intf_num, "25G", 0)

    def test_speed_uses_the_class_check(self):
        class Lenient(QuadPort):
            @classmethod
            def _check_mode(cls, mode):
                return None
        self.assertRaises(KeyError, Lenient.speed, "1G")

        class Missing(skorrel.BCMPort):
            modes = ("10G", "25G")
            _speed_map = {"10G": 10}
        with self.assertRaises(KeyError) as cm:
            Missing.speed("25G")
        self.assertEqual(cm.exception.args, ("25G",))
        self.assertEqual(QuadPort.speed("2x50G"), 50)
        self.assertEqual(make(SmallPort).speed("2.5G"), 2.5)


class CompleteModeTest(unittest.TestCase):
    expected = {
        "SFP+": ["10G", "2x5G", "4x2G", "10G", "20G/2", "40G/4"],
        "SFP28": ["25G", "2x12G", "4x6G", "25G", "50G/2", "100G/4"],
        "QSFP+": ["40G", "2x20G", "4x10G", "40G", "80G/2", "160G/4"],
        "QSFP28": ["100G", "2x50G", "4x25G", "100G", "200G/2", "400G/4"],
    }

    def test_every_shorthand_for_every_cage(self):
        asker = make(QuadPort, phy_layer="10GBaseT")
        for cage, results in sorted(self.expected.items()):
            port = make(GangPort, phy_layer=cage)
            for short, result in zip(["1x", "2x", "4x", "/1", "/2", "/4"], results):
                # The port passed explicitly is the one whose cage counts.
                self.assertEqual(asker.complete_mode(port, short), result)
                self.assertEqual(port.complete_mode(port, mode=short), result)

    def test_full_modes_pass_unchanged(self):
        port = make(QuadPort, phy_layer="10GBaseT")
        for mode in ("40G", "4x10G", "garbage", "4X"):
            self.assertEqual(port.complete_mode(port, mode), mode)

    def test_unknown_cage(self):
        port = make(QuadPort, phy_layer="10GBaseT")
        with self.assertRaises(KeyError) as cm:
            port.complete_mode(port, "1x")
        self.assertEqual(cm.exception.args, ("10GBaseT",))


class LanesTest(unittest.TestCase):
    def test_lane_table(self):
        for mode, lanes in [("100G", 4), ("40G", 4), ("2x40G", 4), ("50G", 2),
                            ("2x50G", 2), ("4x25G", 1), ("4x10G", 1)]:
            self.assertEqual(QuadPort.num_lanes(mode), lanes, mode)
        self.assertEqual(make(SmallPort).num_lanes("10G"), 1)  # 10.0
        self.assertEqual(SmallPort.num_lanes("1G"), 1)

    def test_speeds_the_catalogue_accepts(self):
        self.assertEqual(QuadPort.num_lanes("2x20G"), 2)
        for mode in ("2.5G", "5G", "13G"):
            self.assertEqual(SmallPort.num_lanes(mode), 1, mode)

    def test_invalid_speed(self):
        with self.assertRaises(RuntimeError) as cm:
            SmallPort.num_lanes("7G")
        self.assertIs(type(cm.exception), RuntimeError)
        self.assertEqual(cm.exception.args, ("invalid speed: 7",))
        self.assertRaises(KeyError, SmallPort.num_lanes, "3G")

    def test_port_level_speed(self):
        port = make(OneGPort)
        self.assertEqual(port.speed("anything"), 1)
        self.assertEqual(OneGPort.num_lanes("1G"), 1)
        self.assertEqual(port.num_lanes("1G"), 1)


class AbstractTest(unittest.TestCase):
    def assertBare(self, f, *args):
        with self.assertRaises(NotImplementedError) as cm:
            f(*args)
        self.assertIs(type(cm.exception), NotImplementedError)
        self.assertEqual(cm.exception.args, ())

    def test_abstract_operations(self):
        port = make(skorrel.BCMPort)
        self.assertBare(port.num_logical_ports, "10G")
        self.assertBare(port.num_physical_ports, "10G")
        self.assertBare(getattr, port, "max_logical_ports")
        self.assertBare(port.polarity_flip_val, "10G", 0, True)
        self.assertBare(port.rx_logical_polarity_flip, "10G", 0)
        self.assertBare(port.tx_logical_polarity_flip, "10G", 0)
        self.assertBare(port.logical_port_num, "10G", 0)
        self.assertRaises(TypeError, port.logical_port_num, "10G", 0, 1)
        self.assertRaises(AttributeError, setattr, port, "max_logical_ports", 1)

    def test_physical_ports_follow_the_logical_override(self):
        self.assertEqual(make(QuadPort).num_physical_ports("4x25G"), 4)


class ConfigurableTest(unittest.TestCase):
    def test_disabled_modes(self):
        port = make(SmallPort, label="swp7")
        for mode in ("disable", "Disabled", "DISABLE", "disabled-for-now"):
            self.assertFalse(port.configurable({"swp7": mode}), mode)
            self.assertEqual(port.mac_addrs_contrib_total({"swp7": mode}), 0)
        for mode in (" disable", "10G", "enable-disable"):
            self.assertTrue(port.configurable({"swp7": mode}), mode)

    def test_default_mode_when_unconfigured(self):
        self.assertTrue(make(SmallPort).configurable({}))

        class Off(SmallPort):
            default_mode = "disabled"
        self.assertFalse(make(Off).configurable({"swp2": "10G"}))
        self.assertRaises(AttributeError, make(skorrel.BCMPort).configurable, {})

    def test_fabric_key(self):
        port = make(FabricPort, label="fp3")
        self.assertFalse(port.configurable({"Fabric-fp3": "disabled", "fp3": "10G"}))
        self.assertTrue(port.configurable({"fp3": "disabled"}))
        self.assertEqual(port.mac_addrs_contrib_total({}), 1)
        self.assertEqual(port.mac_addrs_contrib_total({"Fabric-fp3": "disable"}), 0)

    def test_mac_contribution(self):
        self.assertEqual(make(QuadPort).mac_addrs_contrib_total({"swp1": "4x25G"}), 4)
        # A fabric port not made into interfaces takes no MAC addresses.
        self.assertEqual(make(DeadFabricPort).mac_addrs_contrib_total({}), 0)

        class Refused(QuadPort):
            def configurable(self, config_map):
                return False

            @property
            def max_logical_ports(self):
                raise AssertionError("read after refusal")
        self.assertEqual(make(Refused).mac_addrs_contrib_total({}), 0)

    def test_port_mangler(self):
        port = make(QuadPort)
        result = port.port_mangler("4x25G")
        self.assertIs(type(result), tuple)
        self.assertIs(type(result[0]), tuple)
        self.assertEqual(len(result), 1)
        self.assertIs(result[0][0], port)
        self.assertEqual(result[0][1], "4x25G")


class NumberingTest(unittest.TestCase):
    def test_pairs_in_a_two_way_split(self):
        port = make(QuadPort, hw_ports=["xe1", "ce2", "xe3", "xe4"])
        self.assertEqual(port.hw_intf_num("2x50G", 1), 3)
        self.assertEqual(port.hw_intf_prefix("2x50G", 1), "ce")
        self.assertEqual(port.hw_port_num("2x50G", 1), 132)
        self.assertEqual(port.hw_intf_num("4x25G", 1), 2)
        self.assertEqual(port.base_hw_intf_num("4x25G", 1), 2)
        self.assertEqual(port.hw_intf_num_portmap(mode="2x50G", sub=1), 3)
        self.assertRaises(IndexError, port.hw_intf_num, "2x50G", 2)
        port = make(QuadPort, hw_ports=["xe1", "xe2", "xe3", "xe4"])
        self.assertEqual(port.hw_intf("2x50G", 1), "xe3")
        self.assertEqual(port.hw_intf("4x10G", 1), "xe2")

    def test_base_number_of_a_whole_port(self):
        port = make(QuadPort, hw_ports=["xe9", "xe8", "xe11", "xe10"])
        self.assertEqual(port.base_hw_intf_num("100G", 0), 8)
        self.assertEqual(port.base_hw_intf_num("100G", 3), 8)
        single = make(SmallPort, hw_ports=["xe42"])
        self.assertEqual(single.base_hw_intf_num("10G", 0), 42)

    def test_base_number_in_two_way_splits(self):
        port = make(QuadPort, hw_ports=["xe5", "xe4", "xe7", "xe6"])
        for mode in ("2x50G", "2x40G", "2x20G"):
            self.assertEqual(port.base_hw_intf_num(mode, 0), 4, mode)
            self.assertEqual(port.base_hw_intf_num(mode, 1), 6, mode)
        self.assertRaises(IndexError, port.base_hw_intf_num, "2x50G", 2)

    def test_interface_numbers(self):
        port = make(SmallPort, hw_ports=["xe007"])
        self.assertEqual(port.hw_intf_num("10G", 0), 7)
        self.assertEqual(port.hw_intf("10G", 0), "xe7")
        for name in ("xe", "xeab"):
            self.assertRaises(ValueError, make(SmallPort, hw_ports=[name]).hw_intf_num, "10G", 0)

    def test_bitmaps(self):
        class Map(SmallPort):
            pbmp_map = {"xe0": 1, "xe1": 63, "xe2": 64, "xe3": 132}
        port = make(Map, hw_ports=["xe0", "xe1", "xe2", "xe3"])
        self.assertEqual(port.hw_port_num("10G", 0), 1)
        self.assertEqual(port.led_port_num("10G", 0), 1)
        self.assertEqual(port.hw_pbmp("10G", 0), 2)
        for sub, bit in [(1, 63), (2, 64), (3, 132)]:
            mask = port.hw_pbmp("10G", sub)
            self.assertIsInstance(mask, (int, long))
            self.assertEqual(mask, 2 ** bit)
            self.assertEqual(mask >> bit, 1)
        self.assertEqual(port.hw_pbmp("10G", 3),
                         5444517870735015415413993718908291383296L)

    def test_empty_bitmap_table(self):
        port = make(SmallPort, hw_ports=["xe3"])
        for op in (port.hw_pbmp, port.hw_port_num, port.led_port_num):
            with self.assertRaises(KeyError) as cm:
                op("10G", 0)
            self.assertEqual(cm.exception.args, ("xe3",))

    def test_overrides_answer(self):
        class Odd(QuadPort):
            def hw_intf_num(self, mode, sub):
                return 100 + sub

            def hw_intf_prefix(self, mode, sub):
                return "ge"

            def hw_port_num(self, mode, sub):
                return 99
        port = make(Odd, hw_ports=["xe1", "xe2", "xe3", "xe4"])
        self.assertEqual(port.hw_intf("4x25G", 2), "ge102")
        self.assertEqual(port.hw_intf_num_portmap("4x25G", 2), 102)
        self.assertEqual(port.base_hw_intf_num("100G", 3), 100)
        self.assertEqual(port.led_port_num("4x25G", 1), 11)
        self.assertEqual(port.hw_pbmp("4x25G", 1), 1 << 11)

    def test_mac_index_and_leds(self):
        port = make(QuadPort)
        self.assertEqual(port.port_mac_index("anything", 10, 3), 13)
        self.assertEqual(port.port_mac_index(mode="4x25G", sub=3, mac_index=10), 13)
        first = port.set_leds("4x25G", 5, 0, [])
        first[1] = "x"
        second = port.set_leds(mode="4x25G", led_port=5, sub=0, led_index_list=[])
        self.assertEqual(second, {})
        self.assertIsNot(first, second)


class PolarityTest(unittest.TestCase):
    class Flipped(QuadPort):
        def polarity_flip_val(self, mode, sub, polarity_flip_list):
            return (mode, sub, polarity_flip_list)

    def test_fields_reach_the_override(self):
        port = make(self.Flipped, rx_polarity_flip=0x1010, tx_polarity_flip=[1, 0])
        self.assertEqual(port.rx_logical_polarity_flip("4x25G", 2), ("4x25G", 2, 0x1010))
        self.assertEqual(port.tx_logical_polarity_flip(mode="100G", sub=0), ("100G", 0, [1, 0]))
        port.rx_polarity_flip = True
        self.assertEqual(port.rx_logical_polarity_flip("4x25G", 2), ("4x25G", 2, True))
        self.assertEqual(port.tx_logical_polarity_flip("100G", 0), ("100G", 0, [1, 0]))

    def test_serdes_type(self):
        port = make(SmallPort)
        self.assertIsNone(port.serdes_if_type(10))
        port._serdes_intf_map = {10: "KR"}
        self.assertEqual(port.serdes_if_type(10), "KR")
        self.assertEqual(port.serdes_if_type(speed=10.0), "KR")
        self.assertIsNone(port.serdes_if_type(40))
        self.assertEqual(skorrel.SDKPort._serdes_intf_map, {})
        self.assertRaises(TypeError, port.serdes_if_type, [10])

    def test_autonegotiation_defaults(self):
        port = make(SmallPort)
        for arg in (10, "10G", None):
            self.assertIsNone(port.an_c37(arg))
            self.assertIsNone(port.an_c73(speed=arg))


class DocTest(unittest.TestCase):
    def test_docstrings(self):
        ind = "\n        "
        docs = {
            "speed": "Return the port speed in gigabits per second for a given mode.",
            "hw_intf": "Return the physical hardware port for the sub-interface (prefix"
                       + ind + "concatenated with number).",
            "mac_addrs_contrib_total":
                "Return the number of MAC addresses this port would contribute to the"
                + ind + "system total.",
            "hw_intf_prefix":
                "Return the physical port interface prefix (always unmapped by portmap)",
            "base_hw_intf_num":
                "Return the lowest numbered hw_intf_num that makes up a logical port.",
            "polarity_flip_val": "Return the generic TX/RX polarity_flip parameter for the"
                                 + ind + "interface as an integer.",
        }
        for name, text in docs.items():
            self.assertEqual(getattr(skorrel.SDKPort, name).__doc__, ind + text + ind, name)
        for name in ("num_lanes", "set_leds", "an_c37", "an_c73"):
            self.assertIsNone(getattr(skorrel.SDKPort, name).__doc__, name)
        self.assertEqual(skorrel.SDKPort.speed.__qualname__, "SDKPort.speed")


if __name__ == "__main__":
    unittest.main()
