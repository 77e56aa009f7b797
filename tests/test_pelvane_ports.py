"""The configured ports of pelvane on real skorrel platform ports: plain
numbering (Hurricane2, Helix4, Triumph), mapped numbering (TridentTwo) and
dport numbering (Tomahawk, TridentThree), built as the configuration writer
builds them."""

import unittest

import pelvane
import skorrel

CP, SDK, BCM = pelvane.ConfiguredPort, pelvane.SDKConfiguredPort, pelvane.BCMConfiguredPort
MAPPED, BCM_MAPPED = pelvane.SDKConfiguredMappedPort, pelvane.BCMConfiguredMappedPort
DPORT = pelvane.BCMConfiguredDportPort


def serdes_port(cls, label, serdes, **kw):
    """A port of the TridentTwo, Tomahawk or TridentThree lines."""
    args = dict(label=str(label), serdes=serdes, phy_types=None, phy_addrs=None,
                phy_layer='SFP+', leds=None, unit=0)
    args.update(kw)
    return cls(**args)


def leaf(cls, label, hw_port, **kw):
    """A port of the 1G/10G chips."""
    args = dict(label=str(label), hw_port=hw_port, phy_type=None, phy_addr=None,
                phy_layer='SFP+', leds=((0, 1),), unit=0)
    args.update(kw)
    return cls(**args)


def gang(cls, mode, first, flips, label=5, cfg=MAPPED, **kw):
    """Four configured single-lane ports in a gang mode, interface numbers
    first..first+3; the gang step's set goes to the leader."""
    ports = []
    for i, flip in enumerate(flips):
        p = serdes_port(cls, label + i, (first + i,), rx_polarity_flip=flip,
                        tx_polarity_flip=not flip, **kw)
        args = (mode, p, 1, 1, 0, False) if cfg is DPORT else (mode, p, 1, 0, False)
        ports.append(cfg(*args))
    return ports


class ClassesAndConstruction(unittest.TestCase):
    def test_portmap_capable(self):
        self.assertEqual([c.portmap_capable for c in (CP, SDK, BCM, MAPPED, BCM_MAPPED, DPORT)],
                         [None, False, False, True, True, True])
        self.assertIsNone(CP.__dict__['portmap_capable'])
        self.assertIs(SDK.__dict__['portmap_capable'], False)
        self.assertIs(DPORT.__dict__['portmap_capable'], True)
        self.assertNotIn('portmap_capable', BCM_MAPPED.__dict__)

    def test_bare_configured_port(self):
        c = CP('10G', 3, True)
        self.assertEqual((c.mode, c.mac_index, c.loopback), ('10G', 3, True))
        for name in ('label', 'speed', 'num_logical_ports', 'max_logical_ports', 'leds',
                     'serdes_if_type'):
            with self.assertRaises(NotImplementedError) as e:
                getattr(c, name)
            self.assertEqual(e.exception.args, ())
        self.assertEqual((c.an_c37, c.an_c73), (None, None))

    def test_constructors(self):
        p = leaf(skorrel.Helix410GPort, 7, 'hg0')
        c = SDK(mode='10G', physical_port=p, port_base=5, mac_index=12, loopback=True)
        self.assertEqual((c.mode, c.port_base, c.mac_index, c.loopback, c.ganged_ports),
                         ('10G', 5, 12, True, None))
        self.assertIs(c.physical_port, p)
        d = DPORT('10G', p, 5, 3, 12, False)
        self.assertEqual((d.port_base, d.if_port_base, d.mac_index, d.loopback), (5, 3, 12, False))
        self.assertIsNone(d.ganged_ports)
        m = BCM_MAPPED('10G', p, 2, 4)
        self.assertEqual((m.mode, m.port_base, m.mac_index, m.loopback, m.ganged_ports),
                         ('10G', 2, 4, False, None))
        self.assertIs(m.physical_port, p)
        self.assertRaises(TypeError, SDK, '10G', p, 5, 12)
        self.assertRaises(TypeError, DPORT, '10G', p, 5, 12, False)
        # Nothing is checked or converted: the platform port is not touched.
        odd = SDK('bogus', None, 'x', None, 'y')
        self.assertEqual((odd.mode, odd.port_base, odd.loopback), ('bogus', 'x', 'y'))
        self.assertTrue(MAPPED('10G', p, 1, 0, False).physical_port is p)

    def test_base_constructors_looked_up_at_call_time(self):
        seen = []
        saved = CP.__dict__['__init__'], SDK.__dict__['__init__']
        CP.__init__ = lambda self, *args: seen.append(('CP',) + args)
        try:
            c = SDK('10G', None, 1, 2, False)
            SDK.__init__ = lambda self, *args: seen.append(('SDK',) + args)
            DPORT('10G', None, 1, 3, 2, False)
        finally:
            CP.__init__, SDK.__init__ = saved
        self.assertEqual(seen, [('CP', '10G', 2, False), ('SDK', '10G', None, 1, 2, False)])
        self.assertEqual((c.port_base, c.ganged_ports), (1, None))

    def test_identity_only(self):
        p = leaf(skorrel.Helix410GPort, 1, 'hg0')
        a, b = SDK('10G', p, 1, 0, False), SDK('10G', p, 1, 0, False)
        self.assertNotEqual(a, b)
        self.assertEqual(len({a, b, a}), 2)


class GangLabelAndPrefix(unittest.TestCase):
    def test_gang_label(self):
        for label, group in (('1', '1'), ('4', '1'), ('5', '5'), ('8', '5'), ('9', '9'),
                             ('52', '49')):
            c = MAPPED('40G/4', serdes_port(skorrel.TridentTwo10GPort, label, (8,)), 1, 0, False)
            self.assertEqual(c.gang_label, group)
        t = serdes_port(skorrel.Tomahawk25GPort, '3', (8,))
        self.assertEqual(DPORT('100G/4', t, 1, 1, 0, False).gang_label, '3')
        w = serdes_port(skorrel.TridentTwo40GPort, '7', (4, 5, 6, 7))
        self.assertEqual(MAPPED('4x10G', w, 1, 0, False).gang_label, '7')
        self.assertRaises(ValueError, getattr,
                          MAPPED('40G/4', serdes_port(skorrel.TridentTwo10GPort, 'x1', (8,)),
                                 1, 0, False), 'gang_label')

    def test_linux_prefix(self):
        f = skorrel.TridentTwo10GFabricPort(label='3', serdes=[4], tx_lane_map=0, rx_lane_map=0)
        self.assertEqual(MAPPED('10G', f, 1, 0, False).linux_prefix, 'fp')
        self.assertEqual(MAPPED('10G', f, 1, 0, False).linux_port_name(0), 'fp3')
        t = serdes_port(skorrel.TridentTwo10GPort, '3', (4,))
        self.assertEqual(MAPPED('10G', t, 1, 0, False).linux_prefix, 'swp')


class PlainNumbering(unittest.TestCase):
    """Hurricane2 (no hg translation), Helix4 and Triumph."""

    def test_hurricane2(self):
        p = skorrel.Hurricane213GPort('25', 'hg1', 0)
        c = SDK('13G', p, 9, 0, False)
        self.assertEqual((c.sdk_intf_prefix(0), c.sdk_intf(0), c.sdk_intf_num(0)),
                         ('hg', 'hg1', 1))
        self.assertEqual((c.sdk_pbmp(0), c.sdk_logical_port_num(0), c.sdk_unit_intf_num(0)),
                         (1 << 29, 9, 1))
        self.assertEqual((c.sdk_config_intf(0), c.sdk_config_intf(0, 1)), ('hg1.0', 'hg1'))
        # Only the true value itself keeps "hg".
        for value, prefix in ((None, 'xe'), (False, 'xe'), (1, 'xe'), ('yes', 'xe'),
                              (True, 'hg')):
            p.disable_prefix_xlate = value
            self.assertEqual(c.sdk_intf_prefix(0), prefix)
        first = SDK('10G', leaf(skorrel.Hurricane210GPort, 1, 'ge0'), 1, 0, False)
        self.assertEqual((first.sdk_intf(0), first.sdk_pbmp(0), first.hw_port_num(0)),
                         ('ge0', 1 << 2, 2))
        last = SDK('10G', leaf(skorrel.Hurricane210GPort, 52, 'xe3'), 52, 0, False)
        self.assertEqual((last.sdk_intf(0), last.sdk_pbmp(0), last.sdk_logical_port_num(0)),
                         ('xe3', 1 << 29, 52))

    def test_helix4_and_triumph(self):
        c = SDK('10G', leaf(skorrel.Helix410GPort, 53, 'hg5', unit=2), 53, 0, False)
        self.assertEqual((c.sdk_intf_prefix(0), c.sdk_intf(0), c.sdk_pbmp(0)),
                         ('xe', 'xe5', 1 << 55))
        self.assertEqual([c.sdk_config_intf(0, n) for n in (None, 2, 1, 0)],
                         ['xe5.2', 'xe5.2', 'xe5', 'xe5'])
        self.assertEqual(c.linux_port_name(0), 'swp53')
        g = SDK('1G', leaf(skorrel.Helix41GPort, 1, 'ge0'), 1, 0, False)
        self.assertEqual((g.sdk_intf(0), g.sdk_pbmp(0), g.speed, g.enable_auto_neg),
                         ('ge0', 1 << 1, 1, True))
        t = SDK('10G', leaf(skorrel.Triumph10GPort, 49, 'hg0'), 49, 0, False)
        self.assertEqual((t.sdk_intf(0), t.sdk_intf_num(0), t.sdk_unit_intf_num(0)),
                         ('xe0', 0, 0))
        self.assertEqual((t.sdk_pbmp(0), t.sdk_logical_port_num(0)), (1 << 26, 49))
        e = SDK('1G', leaf(skorrel.Triumph1GPort, 48, 'ge47'), 48, 0, False)
        self.assertEqual((e.sdk_intf(0), e.sdk_pbmp(0), e.linux_port_name(0)),
                         ('ge47', 1 << 53, 'swp48'))

    def test_wide_bitmap_passes_through(self):
        c = SDK('10G', serdes_port(skorrel.TridentTwo10GPort, 128, (127,)), 1, 0, False)
        self.assertEqual(c.sdk_pbmp(0), 1 << 128)
        self.assertEqual(c.sdk_intf(0), 'xe127')


class MappedNumbering(unittest.TestCase):
    """TridentTwo: port-mapping chip, with a 40G/4 gang."""

    def test_breakout(self):
        w = serdes_port(skorrel.TridentTwo40GPort, 7, (4, 5, 6, 7), unit=1)
        c = MAPPED('4x10G', w, 5, 20, False)
        self.assertEqual([c.sdk_logical_port_num(s) for s in range(4)], [5, 6, 7, 8])
        self.assertEqual([c.sdk_intf_num(s) for s in range(4)], [4, 5, 6, 7])
        self.assertEqual([c.sdk_unit_intf_num(s) for s in range(4)], [4, 5, 6, 7])
        self.assertEqual([c.sdk_pbmp(s) for s in range(4)], [1 << 5, 1 << 6, 1 << 7, 1 << 8])
        self.assertEqual([c.sdk_intf(s) for s in range(4)], ['xe4', 'xe5', 'xe6', 'xe7'])
        self.assertEqual([c.hw_intf_num(s) for s in range(4)], [4, 5, 6, 7])
        self.assertEqual([c.linux_port_name(s) for s in range(4)],
                         ['swp7s0', 'swp7s1', 'swp7s2', 'swp7s3'])
        self.assertEqual([c.sdk_config_intf(2), c.sdk_config_intf(2, 1), c.sdk_config_intf(2, 2)],
                         ['7.1', '7', '7.1'])
        self.assertEqual([c.port_mac_index(s) for s in range(4)], [20, 21, 22, 23])
        self.assertEqual(MAPPED('40G', w, 100, 0, False).sdk_pbmp(0), 1 << 100)
        self.assertEqual(MAPPED('40G', w, 1, 0, False).linux_port_name(0), 'swp7')

    def test_gang(self):
        ports = gang(skorrel.TridentTwo10GPort, '40G/4', 8, (True, False, False, True))
        self.assertEqual([(c.ganged, c.gang_leader, c.num_logical_ports) for c in ports],
                         [(True, True, 1), (True, False, 0), (True, False, 0), (True, False, 0)])
        for c in ports:
            self.assertIs(c.ganged, True)
            self.assertIn(c.gang_leader, (True, False))
            self.assertIs(type(c.gang_leader), bool)
            self.assertEqual((c.gang_label, c.linux_port_name(0)), ('5', 'swp5'))
        leader = ports[0]
        leader.ganged_ports = frozenset(ports)
        self.assertEqual(leader.rx_logical_polarity_flip(0), 9)
        self.assertEqual(leader.tx_logical_polarity_flip(0), 6)
        # Whatever the order the set is walked in.
        leader.ganged_ports = list(reversed(ports))
        self.assertEqual(leader.rx_logical_polarity_flip(0), 9)
        # A member answers for its own platform port.
        self.assertEqual([c.rx_logical_polarity_flip(0) for c in ports[1:]], [0, 0, 1])
        single = MAPPED('10G', ports[1].physical_port, 1, 0, False)
        self.assertEqual((single.ganged, single.gang_leader), (False, False))


class DportNumbering(unittest.TestCase):
    """Tomahawk, and TridentThree with a 100G/4 gang."""

    def test_tomahawk(self):
        t = serdes_port(skorrel.Tomahawk100GPort, 7, (20, 21, 22, 23), phy_layer='QSFP28')
        c = DPORT('4x25G', t, 5, 3, 12, False)
        self.assertEqual([c.sdk_logical_port_num(s) for s in range(4)], [21, 22, 23, 24])
        self.assertEqual([c.sdk_pbmp(s) for s in range(4)], [1 << n for n in (21, 22, 23, 24)])
        self.assertEqual([c.sdk_intf_num(s) for s in range(4)], [2, 3, 4, 5])
        self.assertEqual([c.sdk_unit_intf_num(s) for s in range(4)], [4, 5, 6, 7])
        self.assertEqual([c.sdk_intf(s) for s in range(4)], ['xe2', 'xe3', 'xe4', 'xe5'])
        self.assertEqual([c.sdk_config_intf(2), c.sdk_config_intf(2, 1)], ['23.0', '23'])
        h = DPORT('100G', t, 1, 1, 0, False)
        self.assertEqual((h.sdk_intf(0), h.sdk_logical_port_num(0), h.linux_port_name(0)),
                         ('ce0', 21, 'swp7'))
        first = DPORT('100G', serdes_port(skorrel.Tomahawk100GPort, 1, (0, 1, 2, 3)), 1, 1, 0,
                      False)
        self.assertEqual((first.sdk_logical_port_num(0), first.sdk_pbmp(0)), (1, 2))
        last = DPORT('4x25G', serdes_port(skorrel.Tomahawk100GPort, 32, (124, 125, 126, 127)),
                     125, 97, 0, False)
        # 128: above 32, then above 65, then above 99.
        self.assertEqual((last.sdk_logical_port_num(3), last.sdk_pbmp(3)), (133, 1 << 133))
        self.assertEqual((last.sdk_intf(3), last.sdk_unit_intf_num(3)), ('xe99', 127))

    def test_trident3_gang_and_lanes(self):
        ports = gang(skorrel.TridentThree25GPort, '100G/4', 4, (False, True, True, False),
                     cfg=DPORT)
        leader = ports[0]
        self.assertEqual([c.gang_leader for c in ports], [True, False, False, False])
        self.assertEqual((leader.sdk_intf(0), leader.sdk_logical_port_num(0)), ('ce0', 5))
        self.assertEqual(leader.gang_label, '5')
        leader.ganged_ports = frozenset(ports)
        self.assertEqual(leader.rx_logical_polarity_flip(0), 6)
        portmap = ['before']
        out = leader.td3_rx_logical_polarity_flip(leader, portmap, 0)
        self.assertIs(out, portmap)
        self.assertEqual(portmap, ['before'] + ['phy_chain_rx_polarity_flip_physical{%d.0}=%s'
                                                % (5 + i, v)
                                                for i, v in enumerate(('0x0', '0x1', '0x1',
                                                                       '0x0'))])
        tx = leader.td3_tx_logical_polarity_flip(leader, [], 0)
        self.assertEqual(tx, ['phy_chain_tx_polarity_flip_physical{5.0}=0x1',
                              'phy_chain_tx_polarity_flip_physical{6.0}=0x0',
                              'phy_chain_tx_polarity_flip_physical{7.0}=0x0',
                              'phy_chain_tx_polarity_flip_physical{8.0}=0x1'])
        # A member's own value (one bit), over the lanes of its mode; the port
        # asked is the one passed, not the one called.
        self.assertEqual(ports[1].td3_rx_logical_polarity_flip(ports[2], [], 0),
                         ['phy_chain_rx_polarity_flip_physical{7.0}=0x1',
                          'phy_chain_rx_polarity_flip_physical{8.0}=0x0',
                          'phy_chain_rx_polarity_flip_physical{9.0}=0x0',
                          'phy_chain_rx_polarity_flip_physical{10.0}=0x0'])
        high = DPORT('25G', serdes_port(skorrel.TridentThree25GPort, 65, (64,)), 1, 1, 0, False)
        self.assertEqual(high.sdk_logical_port_num(0), 67)

    def test_lane_counts(self):
        w = serdes_port(skorrel.TridentThree100GPort, 1, (20, 21, 22, 23), rx_polarity_flip=5,
                        tx_polarity_flip=5)
        c = DPORT('40G', w, 1, 1, 0, False)
        self.assertEqual(c.td3_rx_logical_polarity_flip(c, [], 0),
                         ['phy_chain_rx_polarity_flip_physical{21.0}=0x1',
                          'phy_chain_rx_polarity_flip_physical{22.0}=0x0',
                          'phy_chain_rx_polarity_flip_physical{23.0}=0x1',
                          'phy_chain_rx_polarity_flip_physical{24.0}=0x0'])
        for mode, lanes in (('4x25G', 1), ('4x10G', 1), ('2x50G', 2), ('50G', 2), ('100G', 4)):
            c = DPORT(mode, w, 1, 1, 0, False)
            self.assertEqual(len(c.td3_tx_logical_polarity_flip(c, [], 0)), lanes, mode)
        one = DPORT('1G', serdes_port(skorrel.TridentThree10GPort, 2, (9,)), 1, 1, 0, False)
        kept = ['x']
        self.assertIs(one.td3_rx_logical_polarity_flip(one, kept, 0), kept)
        self.assertEqual(kept, ['x'])


class PolarityValues(unittest.TestCase):
    class Wide(skorrel.TridentThree100GPort):
        value = 0

        def rx_logical_polarity_flip(self, mode, sub):
            return self.value

    def test_any_integer_gives_bits(self):
        w = self.Wide(label='1', serdes=(20, 21, 22, 23), phy_types=None, phy_addrs=None,
                      phy_layer='QSFP28', leds=None, unit=0)
        c = DPORT('40G', w, 1, 1, 0, False)
        for value, bits in ((5L, '1010'), ((1 << 70) | 2, '0100'), (True, '1000'),
                            (False, '0000')):
            w.value = value
            lines = c.td3_rx_logical_polarity_flip(c, [], 0)
            self.assertEqual([l.rsplit('=', 1)[1] for l in lines], ['0x' + b for b in bits])

    def test_gang_order_by_wide_interface_numbers(self):
        class Member(object):
            gang_modes = ('40G/4',)
            label = '5'

            def __init__(self, number, flip):
                self.hw_ports = ['xe%d' % number]
                self.flip = flip

            def num_logical_ports(self, mode):
                return 1 if self.flip is None else 0

            def rx_logical_polarity_flip(self, mode, sub):
                return 1 if self.flip is None else self.flip

        wide = 1 << 70
        ports = [MAPPED('40G/4', Member(wide + n, flip), 1, 0, False)
                 for n, flip in ((2, 1), (0, None), (3, 1), (1, 0))]
        leader = ports[1]
        leader.ganged_ports = frozenset(ports)
        # By interface number: the leader, 0, 1, 1.
        self.assertEqual(leader.rx_logical_polarity_flip(0), 13)

    def test_unformed_gang(self):
        for cls, mode, cfg in ((skorrel.TridentTwo10GPort, '40G/4', MAPPED),
                               (skorrel.TridentThree25GPort, '100G/4', DPORT)):
            leader = gang(cls, mode, 8, (True,) * 4, cfg=cfg)[0]
            calls = (lambda: leader.rx_logical_polarity_flip(0),
                     lambda: leader.tx_logical_polarity_flip(0),
                     lambda: leader.td3_rx_logical_polarity_flip(leader, [], 0),
                     lambda: leader.td3_tx_logical_polarity_flip(leader, [], 0))
            for call in calls:
                with self.assertRaises(RuntimeError) as e:
                    call()
                self.assertEqual(str(e.exception), 'gang leader 5 has no ganged ports')


class Forwarding(unittest.TestCase):
    def port(self, **kw):
        args = dict(label='9', serdes=(12,), phy_types=('84328', None), phy_addrs=(3, None),
                    phy_layer='SFP+', leds=((1, 4),), unit=2, rx_lane_map=0x3210,
                    rx_polarity_flip=True, tx_lane_map=0x0123, tx_polarity_flip=False,
                    mdi_pair_map=7, pre_emphasis=(1, 2), drv_current=(3,), pre_drv_current=(4,),
                    oversub=True, phy_id1=0x11, sys_interface=0x22, prim_offset=0x33)
        args.update(kw)
        return skorrel.TridentTwo10GPort(**args)

    def test_plain_forwards(self):
        p = self.port()
        c = MAPPED('10G', p, 1, 12, False)
        for name in ('label', 'oversub', 'max_logical_ports', 'num_phys', 'prim_offset',
                     'phy_id1', 'sys_interface', 'leds', 'unit', 'rx_polarity_flip',
                     'tx_polarity_flip', 'is_fabric', 'create_fabric', 'rx_lane_map',
                     'tx_lane_map', 'mdi_pair_map', 'pre_emphasis', 'drv_current',
                     'pre_drv_current', 'phy_init', 'max_gang_size', 'set_fiber_pref',
                     'sdk_group'):
            self.assertIs(getattr(c, name), getattr(p, name), name)
            self.assertIsInstance(SDK.__dict__[name], property)
        self.assertEqual((c.speed, c.num_lanes, c.num_logical_ports, c.num_physical_ports),
                         (10, 1, 1, 1))
        self.assertEqual((c.an_c37, c.an_c73), (p.an_c37('10G'), p.an_c73('10G')))
        self.assertEqual((c.phy_type(0), c.phy_type(1), c.phy_addr(0)), ('84328', None, 3))
        self.assertEqual(c.port_mac_index(2), 14)
        # Read again at every access.
        p.label, p.unit, p.sdk_group = '10', 3, 'g1'
        self.assertEqual((c.label, c.unit, c.sdk_group, c.linux_port_name(0)),
                         ('10', 3, 'g1', 'swp10'))
        q = self.port(phy_types=None, phy_addrs=None)
        self.assertIsNone(MAPPED('10G', q, 1, 0, False).phy_type(5))
        self.assertIsNone(MAPPED('10G', q, 1, 0, False).serdes_if_type)
        f = skorrel.TridentTwo10GFabricPort(label='3', serdes=[4], tx_lane_map=0, rx_lane_map=0)
        self.assertEqual(MAPPED('10G', f, 1, 0, False).serdes_if_type, 'KR')
        self.assertRaises(skorrel.NoSuchMode, getattr, MAPPED('25G', p, 1, 0, False), 'speed')

    def test_subclass_of_platform_port(self):
        calls = []
        leds = {4: None}

        class Port(skorrel.TridentTwo10GPort):
            name_override = None

            def hw_intf_num(self, mode, sub):
                return '5'

            def hw_intf_num_portmap(self, mode, sub):
                return 6L

            def base_hw_intf_num(self, mode, sub):
                return ' 7'

            def set_leds(self, *args):
                calls.append(('set_leds',) + args)
                return leds

            def an_c37(self, mode):
                calls.append(('an_c37', mode))
                return 'on'

            def port_mac_index(self, *args):
                calls.append(('port_mac_index',) + args)
                return 99

            def hw_intf_prefix(self, mode, sub):
                return 'hgx'

        p = Port(label='3', serdes=(1,), phy_types=None, phy_addrs=None, phy_layer='10GBaseT',
                 leds=None, unit=0)
        c = SDK('10G', p, 1, 12, False)
        self.assertEqual((c.hw_intf_num(0), c.hw_intf_num_portmap(0), c.base_hw_intf_num(0)),
                         (5, 6, 7))
        self.assertIs(type(c.hw_intf_num(0)), int)
        self.assertEqual((c.sdk_intf(0), c.sdk_intf_num(0)), ('xe5', 5))
        self.assertIs(c.set_leds('lp', 0, [1, 2]), leds)
        self.assertEqual((c.an_c37, c.port_mac_index(2)), ('on', 99))
        self.assertEqual(calls, [('set_leds', '10G', 'lp', 0, [1, 2]), ('an_c37', '10G'),
                                 ('port_mac_index', '10G', 12, 2)])
        Port.hw_intf_prefix = lambda self, mode, sub: 'cex'
        self.assertEqual(c.sdk_intf_prefix(0), 'ce')
        Port.hw_intf_prefix = lambda self, mode, sub: 'g'
        self.assertEqual(c.sdk_intf_prefix(0), 'g')
        p.name_override = 'eth7'
        w = serdes_port(skorrel.TridentTwo40GPort, 7, (4, 5, 6, 7))
        w.name_override = 'mgmt'
        self.assertEqual([MAPPED('4x10G', w, 1, 0, False).linux_port_name(s) for s in range(4)],
                         ['mgmt'] * 4)

    def test_autoneg(self):
        p = self.port(phy_layer='10GBaseT')
        c = MAPPED('10G', p, 1, 0, False)
        self.assertIs(c.enable_auto_neg, True)
        p.autoneg_pref = False
        self.assertIs(c.enable_auto_neg, False)
        p.autoneg_pref = 'forced'
        self.assertEqual(c.enable_auto_neg, 'forced')
        self.assertIs(MAPPED('10G', self.port(), 1, 0, False).enable_auto_neg, False)


class Overrides(unittest.TestCase):
    """The operations reach the object's own, whoever defines them."""

    def test_subclass_and_instance_attributes(self):
        class Port(MAPPED):
            def sdk_intf_num(self, sub):
                return 40 + sub

            @property
            def num_logical_ports(self):
                return 2

        w = serdes_port(skorrel.TridentTwo40GPort, 7, (4, 5, 6, 7))
        c = Port('40G', w, 1, 0, False)
        self.assertEqual((c.sdk_intf(1), c.sdk_unit_intf_num(1)), ('xe41', 41))
        self.assertEqual(c.linux_port_name(1), 'swp7s1')
        c.sdk_intf_prefix = lambda sub: 'zz'
        self.assertEqual(c.sdk_intf(0), 'zz40')
        d = DPORT('4x25G', serdes_port(skorrel.Tomahawk100GPort, 1, (0, 1, 2, 3)), 1, 1, 0, False)
        d.sdk_logical_port_num = lambda sub: 70
        self.assertEqual((d.sdk_pbmp(0), d.sdk_config_intf(0, 1)), (1 << 70, '70'))
        e = SDK('10G', leaf(skorrel.Helix410GPort, 1, 'hg2'), 1, 0, False)
        e.hw_intf_num = lambda sub: 8
        self.assertEqual((e.sdk_intf_num(0), e.sdk_intf(0)), (8, 'xe8'))

    def test_properties_asked_inside_other_operations(self):
        class Port(MAPPED):
            linux_prefix = property(lambda self: 'xp')
            label = property(lambda self: '9')
            ganged = property(lambda self: True)

        w = serdes_port(skorrel.TridentTwo40GPort, 7, (4, 5, 6, 7))
        c = Port('4x10G', w, 1, 0, False)
        self.assertEqual(c.linux_port_name(2), 'xp9s2')
        c.__dict__['gang_label'] = 'g'
        self.assertEqual(c.linux_port_name(2), 'xpgs2')
        with self.assertRaises(RuntimeError) as cm:
            c.rx_logical_polarity_flip(0)
        self.assertEqual(str(cm.exception), 'gang leader 9 has no ganged ports')
        c.__dict__['num_logical_ports'] = 0
        w.tx_polarity_flip = 0xa
        self.assertEqual(c.tx_logical_polarity_flip(1), w.tx_logical_polarity_flip('4x10G', 1))

    def test_names_of_any_length_and_kind(self):
        w = serdes_port(skorrel.TridentTwo40GPort, 7, (4, 5, 6, 7))
        c = MAPPED('4x10G', w, 1, 0, False)
        w.label = 'p' * 600
        self.assertEqual(c.linux_port_name(3), 'swp' + 'p' * 600 + 's3')
        w.label = u'7\xe9'
        self.assertEqual(c.linux_port_name(1), u'swp7\xe9s1')
        w.label = '7'
        self.assertEqual(c.linux_port_name(10 ** 20), 'swp7s%d' % 10 ** 20)
        w.unit = 1L << 70
        self.assertEqual(c.sdk_config_intf(0), '1.%d' % (1 << 70))
        # An attribute the instance holds wins over the class's property.
        c.__dict__['num_logical_ports'] = 1
        c.__dict__['gang_label'] = 'g'
        self.assertEqual(c.linux_port_name(0), 'swpg')

    def test_gang_leader_override(self):
        class Leader(MAPPED):
            gang_leader = True

        ports = gang(skorrel.TridentTwo10GPort, '40G/4', 8, (False, True, False, False))
        member = Leader('40G/4', ports[2].physical_port, 1, 0, False)
        member.ganged_ports = set(ports)
        # Whichever member leads, bit i is the member with the i-th lowest number.
        self.assertEqual(member.rx_logical_polarity_flip(0), 2)


if __name__ == '__main__':
    unittest.main()
