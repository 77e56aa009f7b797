"""The per-port property sections of the SDK file written by pelvane's SDKConfig:
port bitmaps, lanes and polarity of chips without a port map, PHYs, serdes
emphasis and port initialisation.

Each case builds a platform from skorrel's classes, configures it from a
ports.conf text in dummy mode, and reads the sections as the driver's output
does.
"""
import unittest

import quorvel.platforms
import pelvane
import skorrel

# The Tomahawk chip's fixed ports.
TH_BASE = (1 << 135) | (1 << 101) | (1 << 67) | (1 << 33) | 1


def make_platform(chip, ports, name="testbox"):
    switch = skorrel.BCMSwitch(chip)
    switch.ports = ports
    platform = skorrel.Platform()
    platform.switch = switch
    platform.name = name
    quorvel.platforms.platform = platform
    return platform


def configure(platform, modes):
    """A BCMConfig in dummy mode after config() with one line per (label, mode)."""
    config = pelvane.BCMConfig(platform, dummy=True)
    config.config("".join("%s=%s\n" % lm for lm in modes))
    return config


def th(label, first, unit=0, **kw):
    """A Tomahawk 100G port on four lanes from `first`."""
    args = dict(label=label, serdes=tuple(range(first, first + 4)), phy_types=None,
                phy_addrs=None, phy_layer="QSFP28", leds=None, unit=unit)
    args.update(kw)
    return skorrel.Tomahawk100GPort(**args)


def th25(label, lane, unit=0, **kw):
    args = dict(label=label, serdes=(lane,), phy_types=None, phy_addrs=None,
                phy_layer="SFP28", leds=None, unit=unit)
    args.update(kw)
    return skorrel.Tomahawk25GPort(**args)


class PlainPort(skorrel.Triumph10GPort):
    """A one-lane port of a chip without a port map, with its own bit table."""
    pbmp_map = {"xe1": 1, "xe2": 66, "hg3": 70, "xe4": 3, "xe5": 4}


def plain(label, hw_port, unit=0, oversub=False, **kw):
    args = dict(label=label, hw_port=hw_port, phy_type=None, phy_addr=None,
                phy_layer="SFP+", leds=None, unit=unit)
    args.update(kw)
    port = PlainPort(**args)
    port.oversub = oversub
    return port


def lines(text):
    return text.split("\n") if text else []


class PortBitmapTest(unittest.TestCase):

    def tomahawk(self):
        ports = [th("1", 0), th("2", 4, oversub=True), th("3", 124),
                 th("4", 0, unit=1, oversub=True)]
        return configure(make_platform(skorrel.TomahawkChip(), ports),
                         [("1", "4x25G"), ("2", "100G"), ("3", "4x25G"), ("4", "4x25G")])

    def test_dport_chip_two_units(self):
        # Logical numbers: lanes 0-3 -> 1-4, lane 4 -> 5, lanes 124-127 -> 130-133.
        high = 0xf << 130
        self.assertEqual(lines(self.tomahawk().sdk_pbmp), [
            "pbmp_xport_xe.0=0x%x" % (0x3e | high),
            "pbmp_xport_xe.1=0x1e",
            "pbmp_valid.0=0x%x" % (TH_BASE | 0x3e | high),
            "pbmp_valid.1=0x%x" % (TH_BASE | 0x1e),
            # Only the oversubscribed 100G port, not the 4x25G ports of its
            # interface key read before it.
            "pbmp_oversubscribe.0=0x20",
            "pbmp_oversubscribe.1=0x1e",
        ])

    def test_reads_afresh(self):
        config = self.tomahawk()
        first = config.sdk_pbmp
        self.assertEqual(config.sdk_pbmp, first)
        config.platform.switch.chip.base_pbmp = 1 << 200
        self.assertIn("pbmp_valid.1=0x%x" % ((1 << 200) | 0x1e), lines(config.sdk_pbmp))
        del config.ports[1:]
        self.assertEqual(lines(config.sdk_pbmp),
                         ["pbmp_xport_xe.0=0x1e", "pbmp_valid.0=0x%x" % ((1 << 200) | 0x1e)])

    def test_oversubscription_on_one_unit_only(self):
        ports = [th("1", 0), th("2", 0, unit=1, oversub=True)]
        config = configure(make_platform(skorrel.TomahawkChip(), ports),
                           [("1", "4x25G"), ("2", "100G")])
        self.assertEqual(lines(config.sdk_pbmp), [
            "pbmp_xport_xe.0=0x1e", "pbmp_xport_xe.1=0x2",
            "pbmp_valid.0=0x%x" % (TH_BASE | 0x1e), "pbmp_valid.1=0x%x" % (TH_BASE | 0x2),
            "pbmp_oversubscribe.1=0x2"])

    def test_gang_members_add_nothing(self):
        ports = [th25(str(i + 1), 8 + i) for i in range(4)]
        config = configure(make_platform(skorrel.TomahawkChip(), ports),
                           [(str(i + 1), "100G/4") for i in range(4)])
        # The leader on lane 8 is logical port 9.
        self.assertEqual(lines(config.sdk_pbmp), [
            "pbmp_xport_xe.0=0x200", "pbmp_valid.0=0x%x" % (TH_BASE | 0x200)])

    def test_plain_chip(self):
        kept = plain("3", "hg3", unit=1, oversub=True)
        kept.disable_prefix_xlate = True
        ports = [plain("1", "xe1", oversub=True), plain("2", "xe2"), kept,
                 plain("4", "xe4", unit=1, oversub=True), plain("5", "hg3")]
        config = configure(make_platform(skorrel.TriumphChip(), ports),
                           [(str(i), "10G") for i in range(1, 6)])
        self.assertEqual(lines(config.sdk_pbmp), [
            # "hg" taken for "xe" unless the port keeps its prefix: its key
            # gets no line, but its bit counts among the valid ports.
            "pbmp_xport_xe.0=0x%x" % ((1 << 66) | (1 << 70) | 2),
            "pbmp_xport_xe.1=0x8",
            "pbmp_valid.0=0x%x" % ((1 << 66) | (1 << 70) | 3),
            "pbmp_valid.1=0x%x" % ((1 << 70) | 9),
            # No per-unit bitmaps on this chip: one line for both units.
            "oversubscribe_mode=1"])

    def test_no_ports_and_no_base(self):
        config = configure(make_platform(skorrel.TomahawkChip(), [th("1", 0)]), [("1", "disabled")])
        self.assertEqual(config.ports, [])
        self.assertEqual(config.sdk_pbmp, "")
        config = configure(make_platform(skorrel.TomahawkChip(), [th("1", 0)]), [("1", "100G")])
        config.platform.switch.chip.base_pbmp = None
        self.assertRaises(TypeError, getattr, config, "sdk_pbmp")


class NonPortmapTest(unittest.TestCase):

    def test_lines_in_order(self):
        ports = [plain("1", "xe1", rx_polarity_flip=True, tx_polarity_flip=False,
                       rx_lane_map=0x1032, tx_lane_map=0x12345, mdi_pair_map=5),
                 plain("2", "xe2"),
                 plain("4", "xe4", tx_lane_map=0x3210)]
        config = configure(make_platform(skorrel.TriumphChip(), ports),
                           [("1", "10G"), ("2", "10G"), ("4", "10G")])
        self.assertEqual(lines(config.portmap_uncapable_config), [
            "phy_xaui_rx_polarity_flip_1=0x0001",
            "phy_xaui_tx_polarity_flip_1=0x0000",
            "xgxs_rx_lane_map_1=0x1032",
            "xgxs_tx_lane_map_1=0x12345",
            "phy_mdi_pair_map_1=0x0005",
            # The port without settings is logical port 2; this one is 3.
            "xgxs_tx_lane_map_3=0x3210"])

    def test_four_logical_ports(self):
        chip = skorrel.TomahawkChip()
        chip.portmap_capable = None
        chip.dport_capable = 1  # not True itself: plain configured ports
        ports = [th("1", 0, rx_lane_map=0x2301, rx_polarity_flip=0x5), th("2", 4)]
        ports += [th25(str(i + 3), 8 + i, tx_lane_map=0x10 + i) for i in range(4)]
        config = configure(make_platform(chip, ports),
                           [("1", "4x25G"), ("2", "disabled")] +
                           [(str(i), "40G/4") for i in range(3, 7)])
        self.assertEqual(lines(config.portmap_uncapable_config), [
            "phy_xaui_rx_polarity_flip_1=0x0001", "xgxs_rx_lane_map_1=0x2301",
            "phy_xaui_rx_polarity_flip_2=0x0000", "xgxs_rx_lane_map_2=0x2301",
            "phy_xaui_rx_polarity_flip_3=0x0001", "xgxs_rx_lane_map_3=0x2301",
            "phy_xaui_rx_polarity_flip_4=0x0000", "xgxs_rx_lane_map_4=0x2301",
            # The gang's leader alone, numbered after the disabled port's none.
            "xgxs_tx_lane_map_5=0x0010"])

    def test_value_kinds(self):
        # Whatever kind of number the platform gives is written as "%" writes it.
        ports = [plain("1", "xe1", rx_lane_map=True, tx_lane_map=0x1032L, mdi_pair_map=-5),
                 plain("2", "xe2", rx_lane_map=1 << 70)]
        config = configure(make_platform(skorrel.TriumphChip(), ports),
                           [("1", "10G"), ("2", "10G")])
        self.assertEqual(lines(config.portmap_uncapable_config), [
            "xgxs_rx_lane_map_1=0x0001", "xgxs_tx_lane_map_1=0x1032",
            "phy_mdi_pair_map_1=0x-005", "xgxs_rx_lane_map_2=0x%x" % (1 << 70)])

    def test_portmap_capable_chip(self):
        config = configure(make_platform(skorrel.TomahawkChip(), [th("1", 0)], name="bigbox"),
                           [("1", "100G")])
        with self.assertRaises(RuntimeError) as cm:
            config.portmap_uncapable_config
        self.assertEqual(str(cm.exception), "platform: bigbox is portmap capable")
        for value in (False, None, 1):
            config.platform.switch.chip.portmap_capable = value
            self.assertEqual(config.portmap_uncapable_config, "")

    def test_bad_value(self):
        config = configure(make_platform(skorrel.TriumphChip(), [plain("1", "xe1")]),
                           [("1", "10G")])
        config.ports[0].physical_port.rx_lane_map = "0x1032"
        self.assertRaises(TypeError, getattr, config, "portmap_uncapable_config")


class PhyTest(unittest.TestCase):

    def config(self, second_unit=0):
        # 84848 is a PHY the SDK finds by itself.
        ports = [th("1", 0, phy_types=("84848", "8488", None, "8488"),
                    phy_addrs=(0x10, 0x11, 0x12, 0x1f)),
                 th("2", 4), th("3", 8, unit=second_unit, phy_types=("8488",),
                                phy_addrs=(0x20,))]
        return configure(make_platform(skorrel.TomahawkChip(), ports),
                         [("1", "4x25G"), ("2", "100G"), ("3", "100G")])

    def test_one_unit(self):
        config = self.config()
        self.assertEqual(lines(config.phys), ["phy_8488_2=1", "phy_8488_4=1", "phy_8488_9=1"])
        # The PHY the SDK finds by itself still gets its address.
        self.assertEqual(lines(config.phy_addrs), [
            "port_phy_addr_1=0x10", "port_phy_addr_2=0x11", "port_phy_addr_4=0x1f",
            "port_phy_addr_9=0x20"])

    def test_two_units(self):
        config = self.config(second_unit=1)
        self.assertEqual(lines(config.phys),
                         ["phy_8488_2.0=1", "phy_8488_4.0=1", "phy_8488_9.1=1"])
        self.assertEqual(lines(config.phy_addrs), [
            "port_phy_addr_1.0=0x10", "port_phy_addr_2.0=0x11", "port_phy_addr_4.0=0x1f",
            "port_phy_addr_9.1=0x20"])

    def test_plain_port_names(self):
        ports = [plain("1", "xe1", phy_type="8727", phy_addr=7), plain("2", "xe2")]
        config = configure(make_platform(skorrel.TriumphChip(), ports),
                           [("1", "10G"), ("2", "10G")])
        self.assertEqual(config.phys, "")
        self.assertEqual(config.phy_addrs, "port_phy_addr_xe1=0x7")
        config.ports[0].physical_port.phy_types = ("8706",)
        self.assertEqual(config.phys, "phy_8706_xe1=1")
        config.ports[0].physical_port.phy_addrs = (None,)
        self.assertRaises(TypeError, getattr, config, "phy_addrs")

    def test_gang_members(self):
        ports = [th25(str(i + 1), 8 + i, phy_types=("8488",), phy_addrs=(i,)) for i in range(4)]
        config = configure(make_platform(skorrel.TomahawkChip(), ports),
                           [(str(i + 1), "40G/4") for i in range(4)])
        self.assertEqual(config.phys, "phy_8488_9=1")
        self.assertEqual(config.phy_addrs, "port_phy_addr_9=0x0")


class EmphasisTest(unittest.TestCase):

    def test_modes_and_units(self):
        ports = [th("1", 0, pre_emphasis=[0x11, 0x12, 0x13, 0x14], drv_current=[1, 2, 3, 0x1234],
                    pre_drv_current=[5, 6, 7, 0x10]),
                 th("2", 4, pre_emphasis=[0xa, 0xb, 0xc, 0xd]),
                 th("3", 8),
                 th("4", 12, drv_current=[0x30], pre_drv_current=[0x31]),
                 th("5", 0, unit=1, pre_emphasis=[0x7]),
                 th25("6", 16), th25("7", 17, pre_emphasis=[0x99]), th25("8", 18), th25("9", 19),
                 th("10", 20, pre_emphasis=[0x1])]
        modes = [("1", "40G"), ("2", "4x10G"), ("3", "4x25G"), ("4", "100G"), ("5", "100G")]
        modes += [(str(i), "100G/4") for i in range(6, 10)] + [("10", "100G")]
        config = configure(make_platform(skorrel.TomahawkChip(), ports), modes)
        self.assertEqual(lines(config.port_emphasis), [
            "serdes_preemphasis_lane0_1.0=0x0011",
            "serdes_preemphasis_lane1_1.0=0x0012",
            "serdes_preemphasis_lane2_1.0=0x0013",
            "serdes_preemphasis_lane3_1.0=0x0014",
            "serdes_driver_current_lane0_1.0=0x1",
            "serdes_driver_current_lane1_1.0=0x2",
            "serdes_driver_current_lane2_1.0=0x3",
            "serdes_driver_current_lane3_1.0=0x1234",
            "serdes_pre_driver_current_lane0_1.0=0x5",
            "serdes_pre_driver_current_lane1_1.0=0x6",
            "serdes_pre_driver_current_lane2_1.0=0x7",
            "serdes_pre_driver_current_lane3_1.0=0x10",
            "serdes_preemphasis_2.0=0x000a",
            "serdes_preemphasis_3.0=0x000b",
            "serdes_preemphasis_4.0=0x000c",
            "serdes_preemphasis_5.0=0x000d",
            # Port 3's four logical ports use up 6 to 9 without a line.
            "serdes_driver_current_10.0=0x0030",
            "serdes_pre_driver_current_10.0=0x0031",
            # Each unit counts its own ports.
            "serdes_preemphasis_1.1=0x0007",
            # The gang leader took 11, its members nothing.
            "serdes_preemphasis_12.0=0x0001"])

    def test_short_setting(self):
        config = configure(make_platform(skorrel.TomahawkChip(), [th("1", 0, pre_emphasis=[1, 2])]),
                           [("1", "40G")])
        self.assertRaises(IndexError, getattr, config, "port_emphasis")
        config.ports[0].physical_port.pre_emphasis = [1, 2, "3", 4]
        self.assertRaises(TypeError, getattr, config, "port_emphasis")


class PortInitTest(unittest.TestCase):

    def test_autoneg_speed_and_serdes(self):
        fixed = th("1", 0)
        fixed._serdes_intf_map = {50: "KR", 100: "KR4"}
        neg = th("2", 4, phy_layer="10GBaseT")
        neg._serdes_intf_map = {100: "KR4"}
        pref = th("3", 8)
        pref.autoneg_pref = True
        config = configure(make_platform(skorrel.TomahawkChip(), [fixed, neg, pref]),
                           [("1", "2x50G"), ("2", "100G"), ("3", "4x10G")])
        self.assertEqual(lines(config.port_init), [
            "port_init_autoneg_1=0",
            "port_init_speed_1=50000",
            "port_init_duplex_1=1",
            "serdes_if_type_1=11 # KR",
            "port_init_autoneg_2=0",
            "port_init_speed_2=50000",
            "port_init_duplex_2=1",
            "serdes_if_type_2=11 # KR",
            # Negotiated: by its BaseT media, then by the port's preference.
            "port_init_autoneg_5=1",
            "serdes_if_type_5=12 # KR4",
            "port_init_autoneg_9=1",
            "port_init_autoneg_10=1",
            "port_init_autoneg_11=1",
            "port_init_autoneg_12=1"])

    def test_whole_megabits(self):
        class SlowPort(skorrel.Tomahawk100GPort):
            _speed_map = {"100G": 2.5, "40G": 10L, "4x25G": 0.1, "4x10G": 10.0}

        ports = [SlowPort(label=str(i + 1), serdes=(4 * i, 4 * i + 1, 4 * i + 2, 4 * i + 3),
                          phy_types=None, phy_addrs=None, phy_layer="QSFP28", leds=None,
                          unit=i % 2) for i in range(3)]
        config = configure(make_platform(skorrel.TomahawkChip(), ports),
                           [("1", "100G"), ("2", "40G"), ("3", "100G")])
        self.assertEqual(lines(config.port_init), [
            "port_init_autoneg_1.0=0", "port_init_speed_1.0=2500", "port_init_duplex_1.0=1",
            "port_init_autoneg_5.1=0", "port_init_speed_5.1=10000", "port_init_duplex_5.1=1",
            "port_init_autoneg_9.0=0", "port_init_speed_9.0=2500", "port_init_duplex_9.0=1"])
        # The speed is a class-level answer.
        SlowPort._speed_map["100G"] = 10.0
        self.assertIn("port_init_speed_9.0=10000", lines(config.port_init))
        # Rounded half away from zero; past 2**52 a float is whole already.
        for speed, text in ((0.0625, "63"), (0.03125, "31"), (0.0005, "1"),
                            (0.0004999999999999999, "0"),
                            (2.0 ** 53, "9007199254740992000")):
            SlowPort._speed_map["100G"] = speed
            self.assertIn("port_init_speed_9.0=" + text, lines(config.port_init))
        SlowPort._speed_map["100G"] = "10"
        self.assertRaises(TypeError, getattr, config, "port_init")

    def test_serdes_type_table(self):
        port = th("1", 0)
        port._serdes_intf_map = {100: "SR4"}
        config = configure(make_platform(skorrel.TomahawkChip(), [port]), [("1", "100G")])
        self.assertEqual(lines(config.port_init)[-1], "serdes_if_type_1=28 # SR4")
        # The class's own table: an object's or a derived class's is not read.
        config.serdes_if_type_map = {"SR4": 99}
        self.assertEqual(lines(config.port_init)[-1], "serdes_if_type_1=28 # SR4")
        port._serdes_intf_map = {100: "CR4"}
        with self.assertRaises(KeyError) as cm:
            config.port_init
        self.assertEqual(cm.exception.args, ("CR4",))

    def test_gang_member(self):
        ports = [th25(str(i + 1), 8 + i) for i in range(4)]
        config = configure(make_platform(skorrel.TomahawkChip(), ports),
                           [(str(i + 1), "100G/4") for i in range(4)])
        self.assertEqual(lines(config.port_init), [
            "port_init_autoneg_9=0", "port_init_speed_9=100000", "port_init_duplex_9=1"])

    def test_no_ports(self):
        config = configure(make_platform(skorrel.TomahawkChip(), []), [])
        for name in ("sdk_pbmp", "port_emphasis", "port_init", "phys", "phy_addrs"):
            self.assertEqual(getattr(config, name), "", name)
        config.platform.switch.chip.portmap_capable = False
        self.assertEqual(config.portmap_uncapable_config, "")


if __name__ == "__main__":
    unittest.main()
