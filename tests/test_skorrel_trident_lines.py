"""Port classes of the Trident, TridentTwo and TridentTwoPlus lines and of the
1G/10G chips (Triumph, Apollo, Helix4, Hurricane2), built as a platform
description builds them: by keyword."""

import unittest

import skorrel
from skorrel import NoSuchMode

LEDS = ((0, 1),)


def t10(serdes, **kw):
    args = dict(label='swp%d' % serdes, serdes=serdes, phy_type='84328', phy_addr=0x10,
                phy_layer='SFP+', leds=LEDS, unit=0)
    args.update(kw)
    return skorrel.Trident10GPort(**args)


def t40(serdes=(4, 5, 6, 7), **kw):
    args = dict(label='swp1', serdes=serdes, phy_types=('84328',), phy_addrs=(1,), leds=LEDS,
                unit=0)
    args.update(kw)
    return skorrel.Trident40GPort(**args)


def tt(cls, serdes, **kw):
    args = dict(label='swp1', serdes=serdes, phy_types=None, phy_addrs=None, leds=LEDS, unit=0)
    if cls is not skorrel.TridentTwoPlus40GPort:
        args['phy_layer'] = 'SFP+'
    args.update(kw)
    return cls(**args)


def leaf(cls, hw_port, **kw):
    """A leaf of the 1G/10G chips."""
    args = dict(label='swp1', hw_port=hw_port, phy_type='54282', phy_addr=3, leds=LEDS, unit=0)
    if cls is not skorrel.Apollo1GPort:
        args['phy_layer'] = 'SFP+'
    args.update(kw)
    return cls(**args)


class Catalogue(unittest.TestCase):
    NAMES = ('Apollo1GPort', 'Triumph1GPort', 'Helix41GPort', 'Hurricane21GPort', 'Apollo10GPort',
             'Triumph10GPort', 'Helix410GPort', 'Hurricane210GPort', 'Hurricane213GPort',
             'Hurricane213GFabricPort', 'Trident10GPort', 'TridentTwo10GPort',
             'TridentTwo10GFabricPort', 'TridentTwoPlus10GPort', 'Trident40GPort',
             'TridentTwo40GPort', 'TridentTwoPlus40GPort')

    def test_tables(self):
        m = skorrel
        self.assertEqual(m.TridentTwoPlus10GPort.modes, ('10G', '40G/4', '1G'))
        self.assertEqual(m.TridentTwo10GFabricPort.modes, ('10G', '40G/4'))
        self.assertEqual(m.TridentTwoPlus40GPort._speed_map, {'4x1G': 1, '4x10G': 10, '40G': 40})
        self.assertEqual(m.Trident40GPort.modes, ('40G', '4x10G'))
        for cls in (getattr(m, n) for n in self.NAMES):
            self.assertEqual((cls.__module__, cls.default_mode), ('skorrel', cls.modes[0]))
            ganged = '40G/4' in cls.modes
            self.assertEqual((cls.gang_modes, cls.max_gang_size),
                             (('40G/4',), 4) if ganged else ((), 0), cls.__name__)
            no_xlate = cls.__name__ in ('Hurricane210GPort', 'Hurricane213GPort',
                                        'Hurricane213GFabricPort')
            self.assertIs(cls.disable_prefix_xlate, True if no_xlate else None)
            if cls.modes == ('1G',):
                self.assertIs(cls._speed_map, m.SDKPort._speed_map)
            else:
                self.assertTrue(set(cls.modes) <= set(cls._speed_map), cls.__name__)
        self.assertIsNot(m.TridentTwo10GPort._speed_map, m.Trident10GPort._speed_map)
        self.assertIs(m.TridentTwo10GFabricPort._speed_map, m.TridentTwo10GPort._speed_map)
        self.assertEqual([(c.is_fabric, c.create_fabric) for c in (
            m.Hurricane213GFabricPort, m.TridentTwo10GFabricPort, m.Trident10GPort)],
            [(True, False), (True, True), (False, False)])
        doc = 'Treat the microserver ports as fabric ports using KR.'
        self.assertEqual(m.TridentTwo10GFabricPort.__doc__, '\n        %s\n        ' % doc)
        self.assertIsNone(m.TridentTwo10GPort.__doc__)

    def test_bindings(self):
        m = skorrel
        self.assertIsInstance(m.Hurricane213GPort.__dict__['max_logical_ports'], property)
        with self.assertRaises(AttributeError):
            t40().max_logical_ports = 2
        # The 1G speed is an operation of the port, not of the class.
        self.assertRaises(TypeError, m.Triumph1GPort.speed, '1G')
        self.assertEqual(m.TridentTwo40GPort.polarity_flip_val.im_func.func_code.co_varnames,
                         ('self', 'mode', 'sub', 'polarity_flip_list'))
        init = m.TridentTwo10GFabricPort.__init__.im_func
        self.assertEqual(init.func_code.co_varnames[2:6],
                         ('serdes', 'tx_lane_map', 'rx_lane_map', 'tx_polarity_flip'))
        self.assertEqual(init.func_defaults, (None,) * 5)
        self.assertEqual(m.TridentTwoPlus40GPort.__init__.im_func.func_defaults,
                         (None,) * 8 + (False, None, None, None))
        self.assertEqual(m.Hurricane213GPort.__init__.im_func.func_defaults, (None,) * 9)
        self.assertIsNone(m.ApolloPort.__init__.im_func.func_defaults)


class TridentLine(unittest.TestCase):
    def test_construction(self):
        p = t10(8, rx_polarity_flip=True)
        self.assertEqual(p.hw_ports, ('hg8',))
        self.assertEqual((p.phy_types, p.phy_addrs), (('84328',), (16,)))
        self.assertEqual((p.phy_layer, p.prim_offset, p.oversub, p.rx_polarity_flip),
                         ('SFP+', None, False, True))
        self.assertEqual((p.pre_emphasis, p.phy_id1, p.sys_interface, p.sfp), (None,) * 4)
        q = t40(prim_offset=7)
        self.assertEqual(q.hw_ports, ('hg4', 'hg5', 'hg6', 'hg7'))
        self.assertEqual((q.phy_layer, q.prim_offset, q.oversub), ('QSFP+', 7, False))
        self.assertRaises(TypeError, t40, phy_layer='SFP+')
        self.assertRaises(TypeError, skorrel.Trident10GPort, label='swp1', serdes=1,
                          phy_type=None, phy_addr=None, phy_layer='SFP+', leds=LEDS)
        r = skorrel.TridentPort(label='x', serdes=[3, 1], phy_types=None, phy_addrs=None,
                                phy_layer=None, prim_offset=None, leds=None)
        self.assertEqual((r.hw_ports, r.unit), (('hg3', 'hg1'), 0))
        self.assertRaises(TypeError, t40, serdes=(4, 'five', 6, 7))

    def test_gang_leader(self):
        self.assertEqual([(t10(n).num_logical_ports('40G/4'), t10(n).num_physical_ports('40G/4'))
                          for n in (8, 9, 10, 11, 0)], [(1, 4), (0, 0), (0, 0), (0, 0), (1, 4)])
        self.assertEqual((t10(9).num_logical_ports('10G'), t10(9).num_physical_ports('10G')),
                         (1, 1))
        p = t40()
        self.assertEqual([p.num_logical_ports('4x10G'), p.num_physical_ports('4x10G'),
                          p.num_logical_ports('40G'), p.num_physical_ports('40G'),
                          p.max_logical_ports, t10(3).max_logical_ports], [4, 4, 1, 1, 4, 1])

    def test_numbering(self):
        self.assertEqual((t10(0).hw_port_num('10G', 0), t10(0).hw_pbmp('40G/4', 0)), (1, 2))
        self.assertEqual(t10(71).hw_port_num('10G', 0), 72)
        self.assertEqual(t10(71).hw_pbmp('10G', 0), 1 << 72)
        self.assertEqual(t10(71).led_port_num('10G', 0), 72)
        self.assertRaises(KeyError, t10(72).hw_port_num, '10G', 0)
        self.assertEqual([t40().hw_intf('4x10G', i) for i in range(4)],
                         ['hg4', 'hg5', 'hg6', 'hg7'])
        self.assertRaises(NotImplementedError, t10(0).logical_port_num, '10G', 0)
        self.assertRaises(TypeError, t10(0).logical_port_num, '10G', 0, 5)

    def test_polarity(self):
        p = t10(1, rx_polarity_flip=True, tx_polarity_flip=1)
        self.assertEqual((p.rx_logical_polarity_flip('10G', 0),
                          p.tx_logical_polarity_flip('10G', 0)), (1, 0))
        for value in (1, 'yes', None, False):
            self.assertEqual(p.polarity_flip_val('10G', 0, value), 0)
        q = t40(rx_polarity_flip=(True, False, False, True), tx_polarity_flip=[1, 0, 0, 0])
        self.assertEqual(q.rx_logical_polarity_flip('40G', 2), 0xF00F)
        self.assertEqual([q.rx_logical_polarity_flip('4x10G', i) for i in range(4)], [1, 0, 0, 1])
        self.assertEqual(q.tx_logical_polarity_flip('40G', 0), 0)
        self.assertEqual(q.polarity_flip_val('40G', 0, (True,) * 4), 0xFFFF)
        self.assertEqual(q.polarity_flip_val('40G', 0, [True] * 20), (1 << 80) - 1)
        self.assertRaises(IndexError, q.polarity_flip_val, '4x10G', 4, (True,) * 4)
        # The lanes are walked by the interpreter's own reversed(), whatever
        # the module's namespace holds under that name.
        skorrel.reversed = lambda flags: iter(flags)
        try:
            self.assertEqual(q.polarity_flip_val('40G', 0, (True, False, False, False)), 0xF)
        finally:
            del skorrel.reversed
        self.assertRaises(TypeError, t40().rx_logical_polarity_flip, '40G', 0)
        self.assertRaises(TypeError, t40().rx_logical_polarity_flip, '4x10G', 0)

    def test_bad_modes(self):
        p, q = t40(), t10(8)
        with self.assertRaises(NoSuchMode) as e:
            p.num_logical_ports('100G')
        self.assertEqual(str(e.exception), "error: mode not found: 100G, must be one of: "
                         "['1x', '4x', '/1', '40G', '4x10G']")
        self.assertRaises(NoSuchMode, p.polarity_flip_val, '10G', 0, (True,) * 4)
        self.assertRaises(NoSuchMode, q.num_logical_ports, '40G')
        self.assertRaises(NoSuchMode, q.num_physical_ports, '4x')
        self.assertRaises(NoSuchMode, q.polarity_flip_val, '1G', 0, True)
        self.assertEqual((p.max_logical_ports, q.max_logical_ports), (4, 1))


class TridentTwoLine(unittest.TestCase):
    T10, T40 = skorrel.TridentTwo10GPort, skorrel.TridentTwo40GPort

    def test_construction(self):
        p = tt(self.T10, [8], phy_types=('a',), oversub=True, prim_offset=2)
        self.assertEqual((p.hw_ports, p.phy_types, p.oversub, p.prim_offset),
                         (('hg8',), ('a',), True, 2))
        self.assertRaises(TypeError, self.T40, label='x', serdes=[0], phy_types=None,
                          phy_addrs=None, phy_layer=None, leds=None)
        base = skorrel.TridentTwoPort
        q = base(*(['x', [5]] + range(3, 20)))
        self.assertEqual((q.hw_ports, q.mdi_pair_map, q.tx_lane_map, q.pre_emphasis, q.oversub),
                         (('hg5',), 19, 12, 13, 16))
        r = base(label='x', serdes=(), phy_types=None, phy_addrs=None, phy_layer=None,
                 prim_offset=None, leds=None)
        self.assertEqual((r.unit, r.hw_ports), (0, ()))
        self.assertRaises(TypeError, base, label='x', serdes=(), phy_types=None, phy_addrs=None,
                          phy_layer=None, leds=None)

    def test_gangs_and_numbering(self):
        self.assertEqual([(tt(self.T10, [n]).num_logical_ports('40G/4'),
                           tt(self.T10, [n]).num_physical_ports('40G/4')) for n in (8, 9, 10, 11)],
                         [(1, 4), (0, 0), (0, 0), (0, 0)])
        self.assertRaises(IndexError, tt(self.T10, []).num_logical_ports, '40G/4')
        self.assertEqual((tt(self.T10, [0]).hw_port_num('10G', 0),
                          tt(self.T10, [0]).hw_pbmp('10G', 0)), (1, 2))
        self.assertEqual(tt(self.T10, [127]).hw_port_num('10G', 0), 128)
        self.assertEqual(tt(self.T10, [127]).hw_pbmp('10G', 0), 1 << 128)
        self.assertRaises(KeyError, tt(self.T10, [128]).hw_port_num, '10G', 0)
        p = tt(self.T40, [4, 5, 6, 7])
        self.assertEqual([p.num_logical_ports('4x10G'), p.num_physical_ports('4x10G'),
                          p.num_logical_ports('40G'), p.max_logical_ports], [4, 4, 1, 4])
        for port in (p, tt(self.T10, [0])):
            with self.assertRaises(RuntimeError) as e:
                port.led_port_num(mode='40G', sub=0)
            self.assertEqual(str(e.exception), 'Trident 2 LED port unknown')
        self.assertRaises(NotImplementedError, p.logical_port_num, '40G', 0)

    def test_polarity(self):
        p = tt(self.T40, [0, 1, 2, 3], rx_polarity_flip=9)
        self.assertEqual([p.rx_logical_polarity_flip('4x10G', i) for i in range(4)], [1, 0, 0, 1])
        self.assertEqual(p.rx_logical_polarity_flip('40G', 3), 9)
        self.assertIsNone(p.tx_logical_polarity_flip('40G', 0))
        self.assertRaises(TypeError, p.tx_logical_polarity_flip, '4x10G', 0)
        q = tt(self.T10, [1], rx_polarity_flip=True, tx_polarity_flip='yes')
        self.assertEqual((q.rx_logical_polarity_flip('40G/4', 0),
                          q.tx_logical_polarity_flip('10G', 0)), (1, 0))
        self.assertRaises(NoSuchMode, q.polarity_flip_val, '40G', 0, True)

    def test_autoneg(self):
        for layer in ('10GBaseT', '1GBaseT'):
            p = tt(self.T10, [0], phy_layer=layer)
            self.assertEqual([(p.an_c37(m), p.an_c73(m)) for m in ('10G', '4x10G')],
                             [(None, None)] * 2)
        for layer in ('QSFP+', 'SFP+', None):
            p = tt(self.T40, [0, 1, 2, 3], phy_layer=layer)
            self.assertEqual([(p.an_c37(m), p.an_c73(m)) for m in ('10G', '4x10G')],
                             [('auto', 'off')] * 2)
            self.assertEqual([p.an_c37(m) for m in ('40G', '40G/4', 'junk')], [None] * 3)
            self.assertEqual(p.an_c73(mode='40G'), None)

    def test_fabric(self):
        F = skorrel.TridentTwo10GFabricPort
        p = F(label='ms1', serdes=[4], tx_lane_map=0x3210, rx_lane_map=0x0123,
              rx_polarity_flip=True)
        self.assertEqual((p.unit, p.oversub, p.phy_layer, p.phy_types, p.phy_addrs, p.leds),
                         (0, True, None, None, None, None))
        self.assertEqual((p.tx_lane_map, p.rx_lane_map, p.hw_ports), (0x3210, 0x0123, ('hg4',)))
        self.assertEqual(p._serdes_intf_map, {10: 'KR'})
        self.assertEqual((p.serdes_if_type(10), p.serdes_if_type(40)), ('KR', None))
        self.assertEqual((p.an_c37('10G'), p.an_c73('anything')), ('off', 'off'))
        self.assertEqual((p.num_logical_ports('40G/4'), p.num_physical_ports('40G/4')), (1, 4))
        self.assertEqual(p.rx_logical_polarity_flip('10G', 0), 1)
        q = F('ms2', [5], 0, 0)
        self.assertIsNot(q._serdes_intf_map, p._serdes_intf_map)
        self.assertEqual(skorrel.SDKPort._serdes_intf_map, {})
        self.assertIsNone(tt(self.T10, [0]).serdes_if_type(10))
        self.assertEqual(p.mac_addrs_contrib_total({'Fabric-ms1': '10G', 'ms1': 'disabled'}), 1)
        self.assertRaises(TypeError, F, 'ms1', [4], 0, 0, phy_layer='SFP+')
        # Nothing of its own is stored when the base constructor fails.
        r = F.__new__(F)
        self.assertRaises(TypeError, r.__init__, 'ms3', ['x'], 0, 0)
        self.assertNotIn('_serdes_intf_map', r.__dict__)


class TridentTwoPlusLine(unittest.TestCase):
    T10, T40 = skorrel.TridentTwoPlus10GPort, skorrel.TridentTwoPlus40GPort

    def test_ports(self):
        self.assertEqual([(tt(self.T10, [n]).num_logical_ports('40G/4'),
                           tt(self.T10, [n]).num_physical_ports('40G/4')) for n in (12, 13, 0)],
                         [(1, 4), (0, 0), (1, 4)])
        p = tt(self.T10, [13])
        self.assertEqual([(p.num_logical_ports(m), p.num_physical_ports(m)) for m in ('1G', '10G')],
                         [(1, 1)] * 2)
        q = tt(self.T40, [0, 1, 2, 3])
        self.assertEqual(q.phy_layer, 'QSFP+')
        self.assertEqual([(q.num_logical_ports(m), q.num_physical_ports(m))
                          for m in ('4x1G', '4x10G', '40G')], [(4, 4), (4, 4), (1, 1)])
        self.assertEqual((p.max_logical_ports, q.max_logical_ports), (1, 4))
        self.assertRaises(TypeError, tt, self.T40, [0, 1, 2, 3], phy_layer='QSFP+')
        self.assertRaises(NoSuchMode, p.num_logical_ports, '4x10G')
        self.assertRaises(NoSuchMode, q.num_logical_ports, '40G/4')
        self.assertRaises(NoSuchMode, q.polarity_flip_val, '10G', 0, 5)
        self.assertRaises(RuntimeError, q.led_port_num, '40G', 0)
        self.assertEqual(tt(self.T10, [127]).hw_pbmp('1G', 0), 1 << 128)

    def test_polarity(self):
        q = tt(self.T40, [0, 1, 2, 3], rx_polarity_flip=5)
        for mode in ('4x10G', '4x1G'):
            self.assertEqual([q.rx_logical_polarity_flip(mode, i) for i in range(4)], [1, 0, 1, 0])
        self.assertEqual(q.rx_logical_polarity_flip('40G', 1), 5)
        p = tt(self.T10, [0])
        self.assertEqual([p.polarity_flip_val('1G', 0, v) for v in (True, False, None, 1)],
                         [1, 0, 0, 0])

    def test_autoneg_fibre_and_numbering(self):
        p = tt(self.T10, [0])
        self.assertEqual((p.an_c37('10G'), p.an_c37('1G'), p.an_c37('40G/4')), ('on', None, None))
        self.assertEqual(p.an_c73('10G'), 'off')
        for layer in ('10GBaseT', '1GBaseT'):
            self.assertIsNone(tt(self.T10, [0], phy_layer=layer).an_c37('10G'))
        q = tt(self.T40, [0, 1, 2, 3])
        self.assertEqual([q.an_c37(m) for m in ('4x10G', '40G', '4x1G')], ['on', None, None])
        self.assertEqual((q.set_fiber_pref, p.set_fiber_pref), (True, True))
        self.assertIs(tt(self.T10, [0], phy_layer='10GBaseT').set_fiber_pref, False)
        # A port without a PHY layer has no fibre preference.
        self.assertIs(tt(self.T10, [0], phy_layer=None).set_fiber_pref, False)
        self.assertRaises(TypeError, getattr, tt(self.T10, [0], phy_layer=10), 'set_fiber_pref')
        with self.assertRaises(AttributeError):
            p.set_fiber_pref = False
        self.assertIs(t10(0).set_fiber_pref, False)
        self.assertEqual(q.logical_port_num('4x10G', 3, 9), 12)
        self.assertEqual(q.logical_port_num(mode='40G', sub=0, port_base=9), 9)
        self.assertEqual(q.logical_port_num('40G', 1, 1 << 70), (1 << 70) + 1)


class TriumphLine(unittest.TestCase):
    T1, T10 = skorrel.Triumph1GPort, skorrel.Triumph10GPort

    def test_construction(self):
        p = leaf(self.T1, 'ge48', phy_layer='SFP+')
        self.assertEqual((p.hw_ports, p.phy_types, p.phy_addrs, p.phy_layer, p.prim_offset),
                         (('ge48',), ('54282',), (3,), '1GBaseT', None))
        self.assertEqual(leaf(self.T1, 'ge1', prim_offset=4).prim_offset, 4)
        self.assertRaises(TypeError, self.T1, label='x', hw_port='ge0', phy_type=None,
                          phy_addr=None, phy_layer=None, leds=None)
        q = self.T10('swp49', 'hg0', '8727', 1, 'SFP+', LEDS, 2, 'rxmap', True, 'txmap', False, 9)
        self.assertEqual((q.rx_lane_map, q.rx_polarity_flip, q.tx_lane_map, q.tx_polarity_flip,
                          q.mdi_pair_map, q.prim_offset, q.unit), ('rxmap', True, 'txmap', False,
                                                                   9, None, 2))
        r = skorrel.TriumphPort('x', ['ge0'], None, None, None, None, None)
        self.assertEqual((r.unit, r.hw_ports), (0, ['ge0']))

    def test_numbering(self):
        rows = [('ge48', 1), ('ge8', 2), ('hg0', 26), ('ge0', 30), ('ge47', 53)]
        for name, n in rows:
            cls, mode = (self.T1, '1G') if name[0] == 'g' else (self.T10, '10G')
            p = leaf(cls, name)
            self.assertEqual((p.hw_port_num(mode, 0), p.led_port_num(mode, 0),
                              p.hw_pbmp(mode, 0)), (n, n, 1 << n))
        self.assertRaises(KeyError, leaf(self.T10, 'hg4').hw_port_num, '10G', 0)

    def test_modes_and_polarity(self):
        p, q = leaf(self.T1, 'ge0'), leaf(self.T10, 'hg1', rx_polarity_flip=True)
        self.assertEqual((p.speed('40G'), p.num_logical_ports('4x10G'), p.max_logical_ports),
                         (1, 1, 1))
        self.assertEqual((q.speed('10G'), q.num_logical_ports('1G'), q.max_logical_ports),
                         (10, 1, 1))
        self.assertEqual((q.rx_logical_polarity_flip('10G', 0),
                          q.tx_logical_polarity_flip('10G', 0)), (1, 0))
        self.assertEqual(q.polarity_flip_val('10G', 0, 1), 0)
        self.assertRaises(NoSuchMode, q.polarity_flip_val, '1G', 0, True)
        self.assertRaises(NotImplementedError, p.rx_logical_polarity_flip, '1G', 0)


class ApolloLine(unittest.TestCase):
    A1, A10 = skorrel.Apollo1GPort, skorrel.Apollo10GPort

    def test_construction(self):
        p = leaf(self.A1, 'ge3')
        self.assertEqual((p.hw_ports, p.phy_layer, p.prim_offset, p.rx_polarity_flip,
                          p.tx_lane_map, p.mdi_pair_map, p.oversub),
                         (('ge3',), '1GBaseT', None, None, None, None, False))
        self.assertRaises(TypeError, leaf, self.A1, 'ge3', phy_layer='1GBaseT')
        q = leaf(self.A10, 'hg0', phy_layer='SFP+')
        self.assertEqual((q.phy_layer, q.prim_offset, q.unit), ('SFP+', None, 0))
        self.assertRaises(TypeError, skorrel.ApolloPort, 'x', ['ge0'], None, None, None, None, None)

    def test_numbering(self):
        rows = [('ge0', 1, 1), ('ge35', 36, 36), ('ge36', 38, 37), ('ge47', 49, 48),
                ('hg0', 50, 73), ('hg3', 53, 76)]
        for name, hw, led in rows:
            p = leaf(self.A1, name)
            self.assertEqual((p.hw_port_num('1G', 0), p.hw_pbmp('1G', 0), p.led_port_num('1G', 0)),
                             (hw, 1 << hw, led), name)
        for name in ('xe1', 'GE1', 'Hg0'):
            p = leaf(self.A10, name)
            for op in (p.hw_port_num, p.hw_pbmp, p.led_port_num):
                with self.assertRaises(RuntimeError) as e:
                    op('10G', 0)
                self.assertEqual(str(e.exception), 'bad interface prefix')
        self.assertRaises(ValueError, leaf(self.A1, 'xex').hw_port_num, '1G', 0)
        self.assertRaises(IndexError, leaf(self.A1, 'ge0').led_port_num, '1G', 1)

    def test_modes(self):
        p, q = leaf(self.A1, 'ge0'), leaf(self.A10, 'hg0')
        self.assertEqual((p.speed('10G'), p.num_logical_ports('4x10G'), q.speed('10G'),
                          q.num_logical_ports('x'), q.max_logical_ports), (1, 1, 10, 1, 1))
        self.assertRaises(NoSuchMode, q.speed, '1G')
        self.assertRaises(NotImplementedError, q.rx_logical_polarity_flip, '10G', 0)


class Helix4Line(unittest.TestCase):
    H1, H10 = skorrel.Helix41GPort, skorrel.Helix410GPort

    def test_construction(self):
        p = leaf(self.H1, 'ge0', phy_layer='10GBaseT')
        self.assertEqual((p.phy_layer, p.prim_offset), ('1GBaseT', None))
        q = leaf(self.H10, 'hg0')
        self.assertEqual((q.rx_polarity_flip, q.tx_polarity_flip, q.rx_lane_map, q.tx_lane_map,
                          q.mdi_pair_map, q.prim_offset, q.oversub), (None,) * 6 + (False,))
        self.assertEqual(skorrel.Helix4Port('x', ('ge0',), None, None, None, None, None).unit, 0)

    def test_numbering(self):
        rows = [('ge0', 1, 1), ('ge47', 48, 48), ('ge48', 49, 49), ('hg0', 50, 49),
                ('hg5', 55, 54)]
        for name, hw, led in rows:
            p = leaf(self.H10, name)
            self.assertEqual((p.hw_port_num('10G', 0), p.hw_pbmp('10G', 0),
                              p.led_port_num('10G', 0)), (hw, 1 << hw, led), name)
        with self.assertRaises(RuntimeError) as e:
            leaf(self.H1, 'xe0').led_port_num('1G', 0)
        self.assertEqual(str(e.exception), 'bad interface prefix')
        for name in ('ge49', 'hg6', 'xe0'):
            self.assertRaises(KeyError, leaf(self.H1, name).hw_port_num, '1G', 0)
        self.assertRaises(IndexError, leaf(self.H1, 'ge0').hw_intf_num, '1G', 1)

    def test_modes_and_polarity(self):
        p, q = leaf(self.H1, 'ge0'), leaf(self.H10, 'hg0', tx_polarity_flip=True)
        self.assertEqual((p.speed('10G'), p.num_logical_ports('40G'), p.max_logical_ports),
                         (1, 1, 1))
        self.assertRaises(NoSuchMode, q.speed, '1G')
        self.assertEqual([q.polarity_flip_val('10G', 0, v) for v in (True, 1, False, None)],
                         [1, 0, 0, 0])
        self.assertEqual((q.rx_logical_polarity_flip('10G', 0),
                          q.tx_logical_polarity_flip('10G', 0)), (0, 1))
        self.assertRaises(NoSuchMode, q.polarity_flip_val, '1G', 0, True)
        self.assertRaises(NotImplementedError, p.tx_logical_polarity_flip, '1G', 0)


class Hurricane2Line(unittest.TestCase):
    H1, H10 = skorrel.Hurricane21GPort, skorrel.Hurricane210GPort
    H13, F13 = skorrel.Hurricane213GPort, skorrel.Hurricane213GFabricPort

    def test_construction(self):
        self.assertEqual(leaf(self.H1, 'ge0', phy_layer='10GBaseT').phy_layer, '1GBaseT')
        p = self.H13('swp25', 'xe1', 3)
        self.assertEqual((p.unit, p.hw_ports, p.phy_types, p.phy_addrs), (3, ('xe1',), (None,),
                                                                          (None,)))
        self.assertEqual((p.phy_layer, p.leds, p.prim_offset, p.rx_polarity_flip,
                          p.tx_polarity_flip, p.rx_lane_map, p.tx_lane_map, p.mdi_pair_map),
                         (None,) * 8)
        f = self.F13(label='swp25', hw_port='xe1', unit=3)
        self.assertTrue(f.is_fabric)
        self.assertEqual(dict(f.__dict__), dict(p.__dict__))
        self.assertRaises(TypeError, self.F13, 'swp25', 'xe1', 3, '84328')
        self.assertRaises(TypeError, self.F13, label='swp25', hw_port='xe1', unit=3, leds=None)

    def test_numbering(self):
        rows = [('ge0', 2, 2), ('ge23', 25, 25), ('xe0', 26, 26), ('xe1', 27, 28),
                ('xe2', 28, 30), ('xe3', 29, 32)]
        for name, hw, led in rows:
            p = leaf(self.H10, name)
            self.assertEqual((p.hw_port_num('10G', 0), p.hw_pbmp('10G', 0),
                              p.led_port_num('10G', 0)), (hw, 1 << hw, led), name)
        for name, hw in (('hg0', 28), ('hg1', 29)):
            p = self.H13('x', name, 0)
            self.assertEqual((p.hw_port_num('13G', 0), p.hw_pbmp('13G', 0)), (hw, 1 << hw))
            self.assertRaises(RuntimeError, p.led_port_num, '13G', 0)
        p = self.F13('x', 'ce0', 0)
        for op in (p.hw_port_num, p.hw_pbmp, p.led_port_num):
            with self.assertRaises(RuntimeError) as e:
                op('13G', 0)
            self.assertEqual(str(e.exception), 'bad interface prefix')
        self.assertRaises(ValueError, self.F13('x', 'ge', 0).hw_pbmp, '13G', 0)

    def test_modes_polarity_and_fabric(self):
        p, q = leaf(self.H1, 'ge0'), self.H13('x', 'xe0', 0)
        self.assertEqual((p.speed('10G'), q.speed('13G'), q.num_logical_ports('1G'),
                          q.max_logical_ports), (1, 13, 1, 1))
        self.assertRaises(NoSuchMode, q.speed, '10G')
        r = leaf(self.H10, 'xe0', rx_polarity_flip=True, tx_polarity_flip=1)
        self.assertEqual((r.rx_logical_polarity_flip('10G', 0),
                          r.tx_logical_polarity_flip('10G', 0)), (1, 0))
        self.assertRaises(NoSuchMode, r.polarity_flip_val, '13G', 0, True)
        for port, mode in ((p, '1G'), (q, '13G'), (self.F13('x', 'xe0', 0), '13G')):
            self.assertRaises(NotImplementedError, port.rx_logical_polarity_flip, mode, 0)
        f = self.F13('x', 'xe0', 0)
        self.assertIsNone(f.serdes_if_type(13))
        self.assertTrue(f.configurable({'x': 'disabled'}))
        self.assertFalse(f.configurable({'Fabric-x': 'Disabled'}))
        self.assertEqual(f.mac_addrs_contrib_total({'Fabric-x': '13G'}), 0)
        self.assertEqual(q.mac_addrs_contrib_total({}), 1)


if __name__ == '__main__':
    unittest.main()
