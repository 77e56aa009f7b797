"""The Tomahawk, TomahawkTwo, Maverick and TridentThree port lines of skorrel.

Ports are built as a platform description builds them, by keyword, one object
per front-panel port.
"""
import unittest

import quorvel.platforms
import skorrel
from skorrel import NoSuchMode




def port(cls, label, serdes, **kw):
    args = dict(label=label, serdes=serdes, phy_types=None, phy_addrs=None, leds=None, unit=0)
    if cls not in (skorrel.Maverick100GPort, skorrel.Maverick40GPort) and 'phy_layer' not in kw:
        args['phy_layer'] = 'QSFP28' if len(serdes) == 4 else 'SFP28'
    args.update(kw)
    return cls(**args)


def quad(cls, label, first, **kw):
    return port(cls, label, tuple(range(first, first + 4)), **kw)


class Obj(object):
    def __init__(self, **kw):
        self.__dict__.update(kw)


class CatalogueTest(unittest.TestCase):
    ORDER = ['40G', '2x50G', '100G', '50G', '2x20G', '4x25G', '4x10G', '2x40G']

    def test_100g_classes(self):
        for cls in (skorrel.TridentThree100GPort, skorrel.Tomahawk100GPort,
                    skorrel.Maverick100GPort):
            self.assertEqual(cls.modes, self.ORDER)
            self.assertEqual(cls._speed_map, {'100G': 100, '40G': 40, '50G': 50, '2x50G': 50,
                                              '2x40G': 40, '2x20G': 20, '4x25G': 25,
                                              '4x10G': 10})
            self.assertEqual(cls.default_mode, '100G')
        th2 = skorrel.TomahawkTwo100GPort
        self.assertEqual(th2.modes, self.ORDER[:-1])
        self.assertNotIn('2x40G', th2._speed_map)
        self.assertEqual(sorted(th2._speed_map), sorted(th2.modes))
        self.assertIsNot(skorrel.Tomahawk100GPort._speed_map, skorrel.Maverick100GPort._speed_map)
        self.assertEqual(skorrel.TomahawkMgmt10GPort.modes, ['10G'])

    def test_one_lane_classes(self):
        for cls in (skorrel.TridentThree25GPort, skorrel.Tomahawk25GPort):
            self.assertEqual(cls.modes, ('25G', '10G', '100G/4', '40G/4'))
            self.assertEqual(cls.gang_modes, ('100G/4', '40G/4'))
            self.assertEqual((cls.default_mode, cls.max_gang_size), ('25G', 4))
            self.assertEqual(cls._speed_map, {'10G': 10, '25G': 25, '40G/4': 40, '100G/4': 100})
        self.assertEqual(skorrel.TridentThree10GPort.modes, ('10G', '1G'))
        mg = skorrel.TridentThreeMGPort
        self.assertEqual(mg.modes, ('10G', '5G', '2.5G', '1G'))
        self.assertEqual(mg._speed_map, {'1G': 1, '2.5G': 2.5, '5G': 5, '10G': 10})
        self.assertIs(type(mg._speed_map['2.5G']), float)
        self.assertIs(type(mg._speed_map['5G']), int)
        mv = skorrel.Maverick10GPort
        self.assertEqual((mv.modes, mv.gang_modes, mv.max_gang_size),
                         (('10G', '40G/4', '1G'), ('40G/4',), 4))
        mv40 = skorrel.Maverick40GPort
        self.assertEqual((mv40.modes, mv40.default_mode, mv40.gang_modes, mv40.max_gang_size),
                         (('40G', '4x10G', '4x1G'), '40G', (), 0))

    def test_fabric_classes(self):
        for cls, base in ((skorrel.Tomahawk100GFabricPort, skorrel.Tomahawk100GPort),
                          (skorrel.Maverick40GFabricPort, skorrel.Maverick40GPort),
                          (skorrel.Maverick10GFabricPort, skorrel.Maverick10GPort)):
            self.assertTrue(cls.is_fabric and cls.create_fabric)
            self.assertFalse(base.is_fabric or base.create_fabric)
            self.assertIs(cls._speed_map, base._speed_map)
            self.assertIs(cls.modes, base.modes)
        self.assertEqual(skorrel.Maverick10GFabricPort.__doc__,
                         '\n    Fabric ports are 10G Maverick ports using KR serdes and\n'
                         '    no LEDs.\n    ')
        self.assertEqual(skorrel.Tomahawk100GFabricPort.__doc__,
                         '\n    Fabric ports are 100G Tomahawk ports using KR4 serdes and\n'
                         '    no LEDs.\n    ')
        self.assertIsNone(skorrel.Tomahawk100GPort.__doc__)

    def test_signatures(self):
        init = skorrel.TomahawkTwo100GPort.__init__
        self.assertEqual(init.__qualname__, 'TomahawkTwo100GPort.__init__')
        self.assertEqual(init.func_code.co_varnames[:4], ('self', 'label', 'adj_label', 'serdes'))
        self.assertEqual(init.func_code.co_varnames[15], 'blocked_adj_split')
        self.assertTrue(init.__doc__.startswith('\n        Addition port attributes:\n\n'))
        self.assertTrue(init.__doc__.endswith('this number of ports (or more)\n        '))
        fabric = skorrel.Tomahawk100GFabricPort.__init__.func_code.co_varnames
        self.assertEqual(fabric, ('self', 'label', 'serdes', 'tx_polarity_flip',
                                  'rx_polarity_flip', 'tx_lane_map', 'rx_lane_map', 'sdk_group'))
        self.assertNotIn('phy_layer', skorrel.Maverick100GPort.__init__.func_code.co_varnames)
        self.assertEqual(skorrel.Tomahawk25GPort.__init__.func_defaults,
                         (None,) * 8 + (False, None, None, None))
        self.assertEqual(skorrel.Maverick40GPort.polarity_flip_val.func_code.co_varnames[3],
                         'polarity_flip_list')
        self.assertEqual(skorrel.Maverick10GPort.polarity_flip_val.func_code.co_varnames[3],
                         'polarity_flip')
        for cls in (skorrel.TridentThree10GPort, skorrel.Maverick10GFabricPort):
            self.assertIsInstance(vars(cls)['set_fiber_pref'], property)
        self.assertIs(quad(skorrel.Tomahawk100GPort, '1', 0).set_fiber_pref, False)


class TomahawkTest(unittest.TestCase):
    def test_construction(self):
        p = skorrel.Tomahawk25GPort('3', (8,), None, None, 'SFP28', None, 1, 'rxmap', True,
                                    pre_emphasis=(1,))
        self.assertEqual(p.hw_ports, ('ce8',))
        self.assertEqual((p.rx_lane_map, p.rx_polarity_flip, p.unit), ('rxmap', True, 1))
        self.assertEqual((p.pre_emphasis, p.prim_offset, p.mdi_pair_map, p.oversub),
                         ((1,), None, None, False))
        family = skorrel.TomahawkPort('1', [4, 5, 6, 7], None, None, 'QSFP28', 9, None)
        self.assertEqual((family.hw_ports, family.unit, family.prim_offset),
                         (('ce4', 'ce5', 'ce6', 'ce7'), 0, 9))
        self.assertRaises(TypeError, skorrel.Tomahawk100GPort, label='1', serdes=(0, 1, 2, 3),
                          phy_types=None, phy_addrs=None, phy_layer='QSFP28', leds=None)
        self.assertRaises(TypeError, skorrel.TomahawkPort, '1', ('x',), None, None, None, 0, None)

    def test_prefix_and_hardware_number(self):
        p = quad(skorrel.Tomahawk100GPort, '1', 0)
        self.assertEqual(p.hw_port_num('4x25G', 2), 2)
        self.assertEqual([p.hw_intf_prefix(m, 0) for m in ('100G', '100G/4', '4x25G', '1G', None)],
                         ['ce', 'ce', 'xe', 'xe', 'xe'])
        self.assertRaises(IndexError, p.hw_port_num, '100G', 4)

    def test_logical_numbers(self):
        got = [port(skorrel.Tomahawk25GPort, '1', (n,)).logical_port_num('25G', 0, 50)
               for n in (0, 31, 32, 63, 64, 95, 96, 127, 128, 129, 130, 131)]
        self.assertEqual(got, [1, 32, 34, 65, 68, 99, 102, 133, 66, 135, 100, 137])
        self.assertEqual(quad(skorrel.Tomahawk100GPort, '1', 64).logical_port_num('2x50G', 1, 0),
                         69)

    def test_led_numbers(self):
        got = [port(skorrel.Tomahawk25GPort, '1', (n,)).led_port_num('25G', 0)
               for n in (31, 32, 95, 96, 127, 128, 129, 130, 131)]
        self.assertEqual(got, [31, 0, 63, 32, 63, 0, 65, 1, 67])
        p = quad(skorrel.Tomahawk100GPort, '1', 64)
        self.assertEqual([p.led_port_num('2x50G', s) for s in (0, 1)], [32, 34])

    def test_breakout_and_gangs(self):
        p = quad(skorrel.Tomahawk100GPort, '1', 0)
        self.assertEqual([p.num_logical_ports(m) for m in ('4x25G', '2x50G', '2x40G', '100G')],
                         [4, 2, 2, 1])
        self.assertEqual(p.num_physical_ports('2x50G'), 2)
        self.assertRaises(NoSuchMode, p.num_logical_ports, '4x')
        gang = [port(skorrel.Tomahawk25GPort, str(n), (n,)) for n in (8, 9, 10, 11)]
        for mode in ('40G/4', '100G/4'):
            self.assertEqual([(g.num_logical_ports(mode), g.num_physical_ports(mode))
                              for g in gang], [(1, 4), (0, 0), (0, 0), (0, 0)])
        self.assertEqual([(g.num_logical_ports('25G'), g.num_physical_ports('10G')) for g in gang],
                         [(1, 1)] * 4)
        self.assertEqual(port(skorrel.Tomahawk25GPort, '1', (0,)).num_physical_ports('40G/4'), 4)
        self.assertRaises(NoSuchMode, gang[0].num_logical_ports, '4x25G')
        mgmt = port(skorrel.TomahawkMgmt10GPort, '33', (128,), phy_layer='SFP+')
        self.assertEqual(mgmt.num_logical_ports('10G'), 1)
        self.assertRaises(NoSuchMode, mgmt.num_logical_ports, '25G')

    def test_a_mode_a_subclass_adds_is_ganged(self):
        # Past "25G" and "10G" only gang modes are left, so a mode that a
        # subclass adds counts as one.
        class Wider(skorrel.Tomahawk25GPort):
            modes = skorrel.Tomahawk25GPort.modes + ('200G/8',)

        gang = [port(Wider, str(n), (n,)) for n in (8, 9)]
        self.assertEqual([(g.num_logical_ports('200G/8'), g.num_physical_ports('200G/8'))
                          for g in gang], [(1, 4), (0, 0)])
        self.assertEqual(gang[1].num_logical_ports('25G'), 1)
        # The TridentThree names its gang modes: another mode counts nothing.
        class Other(skorrel.TridentThree25GPort):
            modes = skorrel.TridentThree25GPort.modes + ('200G/8',)

        self.assertIsNone(port(Other, '8', (8,)).num_logical_ports('200G/8'))
        self.assertIsNone(port(Other, '8', (8,)).num_physical_ports('200G/8'))

    def test_polarity(self):
        p = quad(skorrel.Tomahawk100GPort, '1', 0, rx_polarity_flip=6, tx_polarity_flip=0)
        self.assertEqual([p.rx_logical_polarity_flip('4x10G', s) for s in range(4)], [0, 1, 1, 0])
        self.assertEqual([p.tx_logical_polarity_flip('4x10G', s) for s in range(4)], [0] * 4)
        self.assertEqual([p.polarity_flip_val('2x40G', s, 6) for s in (0, 1)], [2, 1])
        self.assertEqual(p.polarity_flip_val('40G', 0, 6), 6)
        self.assertRaises(NoSuchMode, p.polarity_flip_val, '4x1G', 0, 6)
        one = port(skorrel.Tomahawk25GPort, '2', (9,))
        self.assertEqual([one.polarity_flip_val('25G', 0, v) for v in (True, False, None, 1)],
                         [1, 0, 0, 0])
        self.assertEqual(one.polarity_flip_val('100G/4', 3, True), 1)

    def test_fabric_port(self):
        f = skorrel.Tomahawk100GFabricPort('1', (0, 1, 2, 3), 'A', 'B', 'tx', 'rx')
        self.assertEqual((f.tx_polarity_flip, f.rx_polarity_flip, f.tx_lane_map, f.rx_lane_map),
                         ('A', 'B', 'tx', 'rx'))
        self.assertEqual((f.hw_ports[0], f.phy_layer, f.leds, f.unit, f.oversub, f.sdk_group),
                         ('ce0', None, None, 0, True, None))
        self.assertEqual((f.max_logical_ports, quad(skorrel.Tomahawk100GPort, '1', 0).max_logical_ports),
                         (1, 4))
        g = skorrel.Tomahawk100GFabricPort('2', (4, 5, 6, 7), 0, 0, 0, 0, sdk_group='grp')
        self.assertEqual(g.sdk_group, 'grp')
        f._serdes_intf_map[40] = 'X'
        self.assertEqual(g._serdes_intf_map, {100: 'KR4'})
        self.assertEqual(skorrel.SDKPort._serdes_intf_map, {})
        self.assertRaises(AttributeError, setattr, f, 'max_logical_ports', 2)

    def test_fabric_serdes(self):
        f = skorrel.Tomahawk100GFabricPort('1', (0, 1, 2, 3), 0, 0, 0, 0)
        self.assertEqual((f.serdes_if_type(100), f.serdes_if_type(40)), ('KR4', None))


class TomahawkTwoTest(unittest.TestCase):
    def setUp(self):
        self.ports = []
        quorvel.platforms.platform = Obj(switch=Obj(ports=self.ports))

    def tearDown(self):
        quorvel.platforms.platform = None

    def th2(self, label, first, adj_label=None, **kw):
        p = quad(skorrel.TomahawkTwo100GPort, label, first, adj_label=adj_label, **kw)
        self.ports.append(p)
        return p

    def test_first_two_subports(self):
        for first, numbers in ((0, [1, 2]), (1, [1, 2]), (62, [32, 34]), (64, [34, 35]),
                               (126, [65, 68]), (128, [68, 69]), (190, [99, 102]),
                               (192, [102, 103])):
            p = self.th2('1', first)
            self.assertEqual([p.logical_port_num('4x25G', s, 77) for s in (0, 1)], numbers)

    def test_last_two_subports_come_from_the_next_port(self):
        fabric = skorrel.Tomahawk100GFabricPort('6', (200, 201, 202, 203), 0, 0, 0, 0)
        self.ports.append(fabric)
        five, six = self.th2('5', 8), self.th2('6', 12)
        self.assertIs(five.find_port('6'), six)
        self.assertEqual([five.logical_port_num('4x10G', s, 0) for s in range(4)], [5, 6, 7, 8])
        self.assertEqual(five.logical_port_num('4x10G', 3, 99), 8)
        self.th2('07', 20)
        eight = self.th2('8', 24)
        self.assertEqual(self.ports[-2].logical_port_num('4x10G', 2, 0), 13)
        self.assertIs(self.ports[-2].find_port('8'), eight)

    def test_find_port(self):
        self.ports.append(skorrel.Tomahawk100GFabricPort('9', (0, 1, 2, 3), 0, 0, 0, 0))
        p = self.th2('1', 0)
        before = quorvel.platforms.probes
        self.assertIsNone(p.find_port('9'))
        self.assertIsNone(p.find_port('2'))
        self.assertEqual(quorvel.platforms.probes, before + 2)
        self.assertIs(p.find_port('1'), p)

    def test_missing_next_port_is_an_error(self):
        five = self.th2('5', 8)
        self.ports.append(skorrel.Tomahawk100GFabricPort('6', (0, 1, 2, 3), 0, 0, 0, 0))
        with self.assertRaises(RuntimeError) as cm:
            five.logical_port_num('4x25G', 2, 0)
        self.assertEqual(str(cm.exception), 'no port with label 6 for sub-port 2 of port 5')

    def test_adjacent_port(self):
        self.assertEqual(self.th2('1', 0).max_logical_ports, 4)
        self.assertEqual(self.th2('2', 4, adj_label='3').max_logical_ports, 2)
        self.assertEqual(self.th2('3', 8, adj_label='').max_logical_ports, 2)
        for value, num in ((None, 0), (0, 0), (4, 4)):
            self.assertEqual(self.th2('4', 12, blocked_adj_split=value).blocked_adj_split_num(), num)
        p = self.th2('5', 16, adj_label='6', blocked_adj_split=2, prim_offset=3)
        self.assertEqual((p.adj_label, p.blocked_adj_split, p.prim_offset, p.hw_ports[3]),
                         ('6', 2, 3, 'ce19'))
        self.assertRaises(TypeError, port, skorrel.TomahawkTwo100GPort, '1', (0, 1, 2, 3))

    def test_led_numbers(self):
        got = [self.th2('1', n).led_port_num('100G', 0)
               for n in (63, 64, 127, 128, 191, 192, 255, 256)]
        self.assertEqual(got, [63, 0, 63, 0, 63, 0, 63, 64])

    def test_polarity(self):
        p = self.th2('1', 0)
        self.assertEqual([p.polarity_flip_val('4x25G', s, 10) for s in range(4)], [0, 1, 0, 1])
        self.assertEqual([p.polarity_flip_val('2x50G', s, 10) for s in (0, 1)], [2, 2])
        self.assertEqual(p.polarity_flip_val('100G', 0, 10), 10)
        self.assertRaises(NoSuchMode, p.polarity_flip_val, '2x40G', 0, 10)


class MaverickTest(unittest.TestCase):
    def test_construction(self):
        p = quad(skorrel.Maverick40GPort, '1', 8)
        self.assertEqual((p.hw_ports, p.phy_layer, p.oversub, p.sdk_group),
                         (('xe8', 'xe9', 'xe10', 'xe11'), 'QSFP+', False, None))
        self.assertEqual(quad(skorrel.Maverick100GPort, '2', 0).phy_layer, 'QSFP28')
        self.assertRaises(TypeError, quad, skorrel.Maverick100GPort, '2', 0, phy_layer='QSFP28')

    def test_fabric_ports(self):
        f = skorrel.Maverick40GFabricPort('1', (0, 1, 2, 3), 'rxm', 5, 'txm', 10)
        self.assertEqual((f.rx_lane_map, f.rx_polarity_flip, f.tx_lane_map, f.tx_polarity_flip),
                         ('rxm', 5, 'txm', 10))
        self.assertEqual((f.unit, f.oversub, f.leds, f.phy_types, f.phy_addrs, f.phy_layer),
                         (0, True, None, None, None, 'QSFP+'))
        self.assertEqual((f.sdk_group, f._serdes_intf_map, f.max_logical_ports), (None, {40: 'KR4'}, 1))
        self.assertEqual(skorrel.Maverick40GFabricPort('2', (4,), 0, 0, 0, 0, sdk_group=7).sdk_group, 7)
        t = skorrel.Maverick10GFabricPort('3', (8,), 0, True, 0, False, mdi_pair_map=1,
                                          oversub=False, prim_offset=2, pre_emphasis=(3,))
        self.assertEqual((t.oversub, t.mdi_pair_map, t.prim_offset, t.pre_emphasis, t.unit),
                         (True, None, None, (3,), 0))
        self.assertEqual((t.leds, t.phy_types, t.phy_addrs, t.phy_layer), (None,) * 4)
        u = skorrel.Maverick10GFabricPort('4', (9,), 0, True, 0, False)
        t._serdes_intf_map[40] = 'X'
        self.assertEqual(u._serdes_intf_map, {10: 'KR'})
        self.assertEqual((u.an_c37('40G/4'), u.an_c73(None), u.set_fiber_pref), ('off', 'auto', None))
        self.assertEqual(u.max_logical_ports, 1)
        self.assertRaises(TypeError, skorrel.Maverick10GFabricPort, '5', (1,), 0, 0, 0, 0, leds=None)

    def test_numbering(self):
        p = quad(skorrel.Maverick100GPort, '1', 4)
        self.assertEqual([p.hw_intf_prefix(m, 0) for m in ('1G', '4x1G', '100G', '100G/4', '40G/4')],
                         ['ge', 'xe', 'ce', 'ce', 'xe'])
        self.assertEqual(p.hw_port_num('4x25G', 3), 7)
        self.assertRaises(IndexError, p.hw_port_num, '4x25G', 4)
        self.assertEqual(p.logical_port_num('whatever', 2, 10), 12)

    def test_led_numbers(self):
        got = [port(skorrel.Maverick10GPort, '1', (n,)).led_port_num('10G', 0)
               for n in (0, 35, 36, 71)]
        self.assertEqual(got, [1, 36, 1, 36])

    def test_breakout_and_gangs(self):
        gang = [port(skorrel.Maverick10GPort, str(n), (n,)) for n in (8, 9, 10, 11, 0)]
        self.assertEqual([(g.num_logical_ports('40G/4'), g.num_physical_ports('40G/4'))
                          for g in gang], [(1, 4), (0, 0), (0, 0), (0, 0), (1, 4)])
        self.assertEqual((gang[1].num_logical_ports('1G'), gang[1].num_physical_ports('10G')), (1, 1))
        self.assertRaises(NoSuchMode, gang[0].num_physical_ports, '4x10G')

        # Past "1G" and "10G" the physical count takes a mode as ganged,
        # one that a subclass adds too; the logical count names "40G/4".
        class Wider(skorrel.Maverick10GPort):
            modes = skorrel.Maverick10GPort.modes + ('80G/8',)

        wide = [port(Wider, str(n), (n,)) for n in (8, 9)]
        self.assertEqual([w.num_physical_ports('80G/8') for w in wide], [4, 0])
        self.assertIsNone(wide[0].num_logical_ports('80G/8'))
        q = quad(skorrel.Maverick40GPort, '1', 0)
        self.assertEqual([q.num_logical_ports(m) for m in ('4x1G', '4x10G', '40G')], [4, 4, 1])
        self.assertEqual(q.num_physical_ports('4x10G'), 4)
        self.assertRaises(NoSuchMode, q.num_logical_ports, '40G/4')

    def test_polarity(self):
        q = quad(skorrel.Maverick40GPort, '1', 0)
        self.assertEqual([q.polarity_flip_val('4x10G', s, 5) for s in range(4)], [1, 0, 1, 0])
        self.assertEqual([q.polarity_flip_val('4x1G', s, 0) for s in range(4)], [0] * 4)
        self.assertEqual((q.polarity_flip_val('40G', 0, 10), q.polarity_flip_val('40G', 0, 0)),
                         (10, 0))
        self.assertRaises(NoSuchMode, q.polarity_flip_val, '40G/4', 0, 5)
        h = quad(skorrel.Maverick100GPort, '2', 4)
        self.assertEqual([h.polarity_flip_val('2x40G', s, 6) for s in (0, 1)], [2, 1])
        one = port(skorrel.Maverick10GPort, '3', (9,), tx_polarity_flip=True, rx_polarity_flip=1)
        self.assertEqual((one.tx_logical_polarity_flip('40G/4', 0),
                          one.rx_logical_polarity_flip('10G', 0)), (1, 0))

    def test_autoneg_and_fiber(self):
        p = port(skorrel.Maverick10GPort, '1', (0,), phy_layer='QSFP+')
        self.assertEqual([(p.an_c37(m), p.an_c73(m)) for m in ('10G', '4x10G', '40G/4', '1G')],
                         [('on', 'off'), ('on', 'off'), (None, None), (None, None)])
        for layer in ('10GBaseT', '1GBaseT'):
            t = port(skorrel.Maverick10GPort, '1', (0,), phy_layer=layer)
            self.assertEqual((t.an_c37('10G'), t.an_c73('10G'), t.set_fiber_pref),
                             (None, None, False))
        self.assertIs(port(skorrel.Maverick10GPort, '1', (0,), phy_layer='SFP+').set_fiber_pref, True)
        self.assertIs(p.set_fiber_pref, True)
        self.assertIs(port(skorrel.Maverick10GPort, '1', (0,), phy_layer=None).set_fiber_pref, False)


class TridentThreeTest(unittest.TestCase):
    def test_construction(self):
        lanes = ('ce1', 'ce2', 'ce3', 'ce4')
        for serdes in ((1, 2, 3, 4), [1, 2, 3, 4], iter([1, 2, 3, 4])):
            self.assertEqual(port(skorrel.TridentThree100GPort, '1', serdes,
                                  phy_layer='QSFP28').hw_ports, lanes)
        family = skorrel.TridentThreePort('1', (5,), None, None, 'SFP+', 3, None, mdi_pair_map=6)
        self.assertEqual((family.unit, family.prim_offset, family.mdi_pair_map), (0, 3, 6))
        leaf = skorrel.TridentThree25GPort('2', (6,), None, None, 'SFP28', None, 0,
                                           None, None, None, None, 'mdi', 'emph')
        self.assertEqual((leaf.mdi_pair_map, leaf.pre_emphasis, leaf.prim_offset),
                         ('mdi', 'emph', None))
        self.assertRaises(TypeError, skorrel.TridentThree10GPort, label='1', serdes=(0,),
                          phy_types=None, phy_addrs=None, phy_layer='SFP+', leds=None)

    def test_default_modes_on_the_instance(self):
        for cls, mode in ((skorrel.TridentThree100GPort, '100G'),
                          (skorrel.TridentThree25GPort, '25G'), (skorrel.TridentThree10GPort, '10G')):
            self.assertEqual(vars(port(cls, '1', (0,)))['default_mode'], mode)
        mg = port(skorrel.TridentThreeMGPort, '1', (0,))
        self.assertNotIn('default_mode', vars(mg))
        self.assertEqual(mg.default_mode, '10G')

    def test_prefix(self):
        p = port(skorrel.TridentThree25GPort, '1', (130,))
        self.assertEqual([p.hw_intf_prefix(m, 0) for m in ('100G/4', '40G/4', '25G')],
                         ['ce', 'xe', 'xe'])
        self.assertEqual(p.hw_port_num('25G', 0), 130)

    def test_led_and_logical_numbers(self):
        def numbers(cls, mode, n):
            p = port(cls, '1', (n,))
            return p.led_port_num(mode, 0), p.logical_port_num(mode, 0, 500)
        self.assertEqual([numbers(skorrel.TridentThree25GPort, '25G', n) for n in (0, 63, 64, 130)],
                         [(0, 1), (63, 64), (64, 67), (130, 133)])
        self.assertEqual(numbers(skorrel.TridentThree10GPort, '1G', 64), (64, 65))
        self.assertEqual(numbers(skorrel.TridentThreeMGPort, '2.5G', 70), (70, 71))

    def test_breakout_and_gangs(self):
        for n, counts in ((8, (1, 4)), (9, (0, 0)), (10, (0, 0)), (11, (0, 0)), (0, (1, 4))):
            p = port(skorrel.TridentThree25GPort, str(n), (n,))
            for mode in ('100G/4', '40G/4'):
                self.assertEqual((p.num_logical_ports(mode), p.num_physical_ports(mode)), counts)
            self.assertEqual((p.num_logical_ports('25G'), p.num_physical_ports('10G')), (1, 1))
            self.assertRaises(NoSuchMode, p.num_logical_ports, '4x10G')
        ten = port(skorrel.TridentThree10GPort, '1', (0,))
        self.assertEqual((ten.num_logical_ports('1G'), ten.num_physical_ports('1G')), (1, 1))
        self.assertRaises(NoSuchMode, ten.num_logical_ports, '40G/4')
        mg = port(skorrel.TridentThreeMGPort, '1', (0,))
        self.assertEqual([(mg.num_logical_ports(m), mg.num_physical_ports(m))
                          for m in ('10G', '5G', '2.5G', '1G')], [(1, 1)] * 4)
        self.assertRaises(NoSuchMode, mg.num_physical_ports, '25G')

    def test_polarity(self):
        p = quad(skorrel.TridentThree100GPort, '1', 0)
        self.assertEqual([p.polarity_flip_val('4x25G', s, 10) for s in range(4)], [0, 1, 0, 1])
        for mode in ('2x50G', '2x20G'):
            self.assertEqual([p.polarity_flip_val(mode, s, 10) for s in (0, 1)], [2, 2])
        self.assertEqual(p.polarity_flip_val('100G', 0, 10), 10)
        self.assertRaises(NoSuchMode, p.polarity_flip_val, '25G', 0, 10)
        for cls, mode in ((skorrel.TridentThree25GPort, '40G/4'),
                          (skorrel.TridentThree10GPort, '1G'), (skorrel.TridentThreeMGPort, '5G')):
            one = port(cls, '1', (0,))
            self.assertEqual([one.polarity_flip_val(mode, 2, v) for v in (True, False, None, 1, 2)],
                             [1, 0, 0, 0, 0])
        self.assertRaises(NoSuchMode, port(skorrel.TridentThree10GPort, '1', (0,)).polarity_flip_val,
                          '5G', 0, True)

    def test_autoneg_and_fiber(self):
        for cls in (skorrel.TridentThree10GPort, skorrel.TridentThreeMGPort):
            p = port(cls, '1', (0,), phy_layer='SFP+')
            self.assertEqual((p.an_c37('10G'), p.an_c73('10G')), ('on', 'off'))
            # Only "10G" itself switches it on, not a part of it.
            for mode in ('1G', '5G', '2.5G', '1', '0G', ''):
                self.assertEqual((p.an_c37(mode), p.an_c73(mode)), (None, None))
            self.assertIs(p.set_fiber_pref, True)
            for layer in ('10GBaseT', '1GBaseT'):
                t = port(cls, '1', (0,), phy_layer=layer)
                self.assertEqual((t.an_c37('10G'), t.an_c73('10G'), t.set_fiber_pref),
                                 (None, None, False))
            self.assertIs(port(cls, '1', (0,), phy_layer='QSFP28').set_fiber_pref, True)
            self.assertIs(port(cls, '1', (0,), phy_layer=None).set_fiber_pref, False)
        self.assertIs(port(skorrel.TridentThree25GPort, '1', (0,)).set_fiber_pref, False)


if __name__ == '__main__':
    unittest.main()
