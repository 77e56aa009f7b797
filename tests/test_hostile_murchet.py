"""The multicast checker against hostile input: interrupts through its
catch-alls, answers built to be slow, records whose own code changes what
the checker is reading."""
import gc
import os
import shutil
import struct
import tempfile
import time
import types
import unittest

import bcmshell
from quorvel import quillet

import murchet
import test_murchet_kernel as kernel
from helpers import MODULE_DIR, STANDINS, run_python
from test_murchet_chip import bare, install


class Table(object):
    """A port table whose bcm2linux raises `error`."""

    def __init__(self, error):
        self.error = error

    def bcm2linux(self, dport):
        raise self.error


class CatchAllTest(unittest.TestCase):
    def test_port_table_lookup(self):
        install(show_portmap="  pipe logical physical\n  xe0 0 1 1\n")
        for error in (KeyboardInterrupt, SystemExit(3)):
            a = bare()
            a.pt = Table(error)
            self.assertRaises(type(error) if not isinstance(error, type) else error,
                              a._parse_portmap)
        for error in (ValueError, KeyError('xe0'), Exception, StopIteration):
            a = bare()
            a.pt = Table(error)
            a._parse_portmap()
            self.assertEqual([(e.dport, e.linux_port) for e in a.portmap], [('xe0', None)])

    def test_record_index(self):
        # An interrupt while the port map is indexed is not taken for a
        # record the index leaves to the scan.
        class Interrupting:
            asked = []

            def __getattr__(self, name):
                if name == 'dport':
                    self.asked.append(name)
                    if len(self.asked) == 1:
                        raise KeyboardInterrupt
                    return 'xe0'
                if name == 'logical_port':
                    return 1
                raise AttributeError(name)

        a = bare()
        a.portmap = [Interrupting()]
        self.assertRaises(KeyboardInterrupt, a._dport2logical_port, 'xe0')
        self.assertEqual(a._dport2logical_port('xe0'), 1)

    def test_chip_shell_import(self):
        tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tmp)
        path = (tmp, MODULE_DIR, STANDINS)
        code = ("try:\n"
                "    import murchet\n"
                "    print 'loaded', murchet.bcmshell\n"
                "except BaseException as e:\n"
                "    print 'failed', type(e).__name__\n")
        for body, expected in (("raise KeyboardInterrupt", "failed KeyboardInterrupt"),
                               ("raise SystemExit(2)", "failed SystemExit"),
                               ("raise RuntimeError('no shell')", "loaded None"),
                               ("import no_such_module", "loaded None")):
            with open(os.path.join(tmp, "bcmshell.py"), "w") as f:
                f.write(body + "\n")
            rc, out, err = run_python(code, path=path, flags=("-B",))
            self.assertEqual((rc, out.strip()), (0, expected), err)


class LongAnswerTest(unittest.TestCase):
    def test_vlan_answer_read_in_one_pass(self):
        # Many "vlan N" starts on one line and no "untagged": each start
        # must not scan the rest of the line again.
        install()
        line = "vlan 1 " * 200000
        bcmshell.answers["vlan show 1"] = line + "\nvlan 1 untagged xe0\n"
        bcmshell.answers["ports xe0"] = "h1\nh2\n xe0(1) up\n"
        a = bare()
        started = time.time()
        a._parse_vlan(1)
        self.assertLess(time.time() - started, 1.0)
        self.assertEqual(a.vlans[1].untagged_dports, ['xe0'])
        # The first start of a line with a port list after it wins, with the
        # line's last list.
        a = bare()
        bcmshell.answers["vlan show 2"] = ("vlan x vlan 2 untagged  vlan 3 untagged xe0 "
                                           "untagged \n")
        a._parse_vlan(2)
        self.assertEqual(list(a.vlans), [2])


class Entry(murchet.PortmapEntry):
    """A port map record whose end asks the checker it belongs to."""
    asic = None
    answers = []

    def __del__(self):
        if Entry.asic is not None:
            Entry.answers.append(Entry.asic._dport2logical_port('xe0'))


class ReentryTest(unittest.TestCase):
    def tearDown(self):
        Entry.asic = None
        del Entry.answers[:]

    def test_record_end_asks_the_index_being_rebuilt(self):
        a = bare()
        Entry.asic = a
        a.portmap = [Entry('xe0', 1, 'swp1'), Entry('xe1', 2, 'swp2')]
        self.assertEqual(a._dport2logical_port('xe1'), 2)
        # The old records are held by the index alone: building it again for
        # the new list ends them, and each asks the index.
        a.portmap = [murchet.PortmapEntry('xe0', 5, 'swp1')]
        self.assertEqual(a._dport2logical_port('xe0'), 5)
        self.assertEqual(Entry.answers, [5, 5])
        self.assertEqual(a._dport2logical_port('xe0'), 5)


class Collider(object):
    """A key whose hash is a field name's, whose comparison runs `action`."""

    def __init__(self, name, action):
        self.h = hash(name)
        self.action = action

    def __hash__(self):
        return self.h

    def __eq__(self, other):
        self.action()
        return False


def hostile_encap(name, action, *fields):
    """An Encap whose dict holds, before its fields, a key of the same hash as
    `name` whose comparison runs `action`; more fields than a small dict holds."""
    e = murchet.Encap(*fields)
    d = dict(('extra%d' % i, i) for i in range(6))  # grown first: no resize after
    d[Collider(name, action)] = None
    d.update(e.__dict__)
    e.__dict__ = d
    return e


class BorrowedRecordTest(unittest.TestCase):
    def test_dump_of_a_group_whose_encap_empties_it(self):
        a = bare()
        r = murchet.Hmroute("10.0.0.1", "239.1.1.1", 100, 31, "default")
        a.mroutes["default, (10.0.0.1, 239.1.1.1)"] = r
        l3 = []
        l3.append(hostile_encap('linux_port', lambda: l3.__delitem__(slice(None)),
                                "swp1", "xe0", 5, 100, -1))
        l3.append(murchet.Encap("swp2", "xe1", 6, 200, -1))
        a.replication_groups[r.grp] = murchet.ReplicationGroup(r.grp, [], l3)
        text = str(a)
        self.assertIn("default, (10.0.0.1, 239.1.1.1), iif: 100", text)
        self.assertEqual(l3, [])


    def test_dump_of_a_group_changed_between_its_routes(self):
        # Routes 0 and 2 show group 1, which code run for route 1 (its group's
        # truth, or its kernel_iif's read) changes: route 2 shows it changed,
        # as each route's own dump does.
        class Changing(murchet.ReplicationGroup):
            def __nonzero__(self):
                return self.change() or True

        class Route(murchet.Hmroute):
            def __getattr__(self, name):
                if name != 'kernel_iif':
                    raise AttributeError(name)
                return self.change()

        def checker(route_cls, group_cls):
            a = bare()
            shown = murchet.ReplicationGroup(1, [], [murchet.Encap("swp1", "xe1", 5, -1, -1)])
            a.replication_groups = {1: shown, 2: group_cls(2, [], [])}
            change = lambda: setattr(shown, 'l3_encaps', [murchet.Encap("swp2", "xe2", 6, -1, -1)])
            a.replication_groups[2].change = change
            for i, cls in enumerate((murchet.Hmroute, route_cls, murchet.Hmroute)):
                r = cls("10.0.0.%d" % i, "239.1.1.1", 100, 0, "default")
                r.grp, r.change = 2 if i == 1 else 1, change
                a.mroutes["default, (10.0.0.%d, 239.1.1.1)" % i] = r
                if cls is Route:
                    del r.kernel_iif
            return a

        for classes in ((murchet.Hmroute, Changing), (Route, murchet.ReplicationGroup)):
            b = checker(*classes)
            dumps = [b._dump_one_mroute(b.mroutes[key]) for key in sorted(b.mroutes)]
            self.assertEqual(str(checker(*classes)), "Asic ip mroutes:\n" + "".join(dumps))
            self.assertIn("port: swp2\n", dumps[2])


class NestedComparisonTest(kernel.KernelCase):
    KEY = kernel.ComparisonTest.KEY
    setup_switch = kernel.ComparisonTest.__dict__['setup_switch']

    def test_comparison_run_by_an_encap_inside_another(self):
        # Reading the first route's encaps runs the comparison of a second
        # route: each comparison keeps its own names.
        a, r = self.setup_switch(chip_iif=10, l3=[('swp4', -1), ('swp6', -1), ('swp7', -1)],
                                 l2=['swp1', 'swp2'])
        key2, r2 = kernel.route('10.0.0.2', '239.1.1.1', 10, 0x20)
        a.mroutes[key2] = r2
        a.replication_groups[r2.grp] = murchet.ReplicationGroup(
            r2.grp, [], [murchet.Encap('swp9', 'xe9', 7, -1, -1)])
        oil2 = ['swp9']
        nested = []
        armed = []

        def compare_other():
            if armed and not nested:
                nested.append(a.mroute_eq(key2, 'br0', oil2))

        encaps = a.replication_groups[r.grp].l3_encaps
        encaps[0] = hostile_encap('linux_port', compare_other, 'swp4', 'xe4', 7, -1, -1)
        armed.append(True)
        self.assertIs(a.mroute_eq(self.KEY, 'br0', ['swp4', 'bond0']), True)
        self.assertEqual((r.iif_mismatch, r.oil_mismatch), ([], []))
        # The second comparison found what it finds on its own.
        self.assertEqual(len(nested), 1)
        found = (r2.iif_mismatch[:], r2.oil_mismatch[:])
        del r2.iif_mismatch[:], r2.oil_mismatch[:]
        self.assertIs(a.mroute_eq(key2, 'br0', oil2), nested[0])
        self.assertEqual((r2.iif_mismatch, r2.oil_mismatch), found)

    def test_frozen_encaps(self):
        # A frozen set in place of the expansion's set is asked for its own
        # add and pop, as of any other object: it has neither.
        a, r = self.setup_switch(chip_iif=10, l3=[('swp4', -1)], l2=['swp1'])
        for dev in ('br0', 'swp4'):
            a.tmp_encaps = frozenset(['x'])
            with self.assertRaises(AttributeError) as e:
                a._expand_kern_dev('239.1.1.1', dev)
            self.assertEqual(str(e.exception), "'frozenset' object has no attribute 'add'")

        class Frozen(murchet.Asic):
            def _expand_kern_dev(self, grp, dev, parent_vlan=-1):
                self.tmp_encaps = frozenset(['swp1'])
        a.__class__ = Frozen
        with self.assertRaises(AttributeError) as e:
            a.mroute_eq(self.KEY, 'br0', ['swp4'])
        self.assertEqual(str(e.exception), "'frozenset' object has no attribute 'pop'")


class ComparisonStepsTest(kernel.KernelCase):
    KEY = kernel.ComparisonTest.KEY
    setup_switch = kernel.ComparisonTest.__dict__['setup_switch']

    def test_default_replaced_while_expanding(self):
        # An override run by the expansion replaces the expansion's defaults:
        # the call keeps the default it was made with.
        a, r = self.setup_switch(chip_iif=40, l3=[('swp5', -1)])
        f = murchet.Asic._expand_kern_dev.im_func
        self.addCleanup(setattr, f, '__defaults__', f.__defaults__)

        class Mine(murchet.Asic):
            def _kern_dev_kind_get(self, dev):
                f.__defaults__ = (long('-1'),)
                return murchet.Asic._kern_dev_kind_get(self, dev)
        a.__class__ = Mine
        self.assertIs(a.mroute_eq(self.KEY, 'swp4', ['swp5']), True)
        self.assertEqual(a.tmp_encaps, set(['swp5']))

    def test_replaced_default_of_the_base_device(self):
        # A call that leaves parent_vlan out takes the function's default as it
        # is now: the answers are those of a subclass whose call of the
        # module's function goes through the interpreter.
        f = murchet.Asic._kern_base_dev_kind_get.im_func
        self.addCleanup(setattr, f, '__defaults__', f.__defaults__)

        class Through(murchet.Asic):
            def _kern_base_dev_kind_get(self, *args):
                return murchet.Asic._kern_base_dev_kind_get(self, *args)
        answers = []
        for cls in (murchet.Asic, Through):
            f.__defaults__ = (-1,)
            a, r = self.setup_switch(chip_iif=30, l3=[('swp4', -1)], l2=['swp1', 'swp2'])
            self.k.bridge('br1', ['bond0', 'swp3'])
            a.__class__ = cls
            f.__defaults__ = (30,)
            answers.append((a.mroute_eq(self.KEY, 'br0', ['swp4']), r.iif_mismatch,
                            r.oil_mismatch, sorted(a._kern_get_br_members('br1'))))
        self.assertEqual(answers[0], (True, [], [], ['swp3', 'swp6.30', 'swp7.30']))
        self.assertEqual(answers[0], answers[1])
        a.__class__ = murchet.Asic
        f.__defaults__ = None
        self.assertRaises(TypeError, a.mroute_eq, self.KEY, 'br0', ['swp4'])

    def test_vlan_table_loaded_again_by_the_expansion(self):
        # The table is loaded without its flag set: the expansion loads it
        # again and finds swp5.30 in VLAN 30, which the chip maps to 77.
        a, r = self.setup_switch(chip_iif=77, l3=[('swp4', -1)])
        loads = []

        class Reloading(murchet.Asic):
            def _kern_create_vlan_dev_cache(self):
                loads.append(1)
                vid = 31 if len(loads) == 1 else 30
                self.kern_vlan_dev_cache['swp5.30'] = murchet.KernVlanDevEntry('swp5.30', vid,
                                                                               'swp5')
        a.__class__ = Reloading
        self.assertIs(a.mroute_eq(self.KEY, 'swp5.30', ['swp4']), True)
        self.assertEqual((r.iif_mismatch, len(loads)), ([], 2))

    def test_incoming_interface_unequal_to_itself(self):
        class Never(object):
            def __ne__(self, other):
                return True
        for chip_iif in (float('nan'), Never()):
            a, r = self.setup_switch()
            r.iif = chip_iif
            a._hw_vlan_to_iif = lambda vlan: chip_iif
            self.assertIs(a.mroute_eq(self.KEY, 'swp4', []), False)
            self.assertEqual(r.iif_mismatch, ['kernel IIF does not match hw IIF'])

    def test_names_of_one_hash_pattern(self):
        # Names of 16 bytes whose two words differ alike.
        names = [struct.pack('<QQ', 0x5a5a0000 + i, 0x3c3c0000 + i * 7 ^ 0x33) for i in range(300)]
        a, r = self.setup_switch(l3=[])
        group = a.replication_groups[r.grp]
        kernel_names = []

        class Named(murchet.Asic):
            def _expand_kern_dev(self, grp, dev, parent_vlan=-1):
                if dev == 'swp5':
                    self.tmp_encaps.update(kernel_names)
        a.__class__ = Named
        for chip, kern, texts in ((names, names, []),
                                  (names[1:], names[:-1], ['hw has OIFs not in the kernel',
                                                           'kernel has OIFs not in the hw'])):
            group.l3_encaps = [murchet.Encap(n, 'xe1', 7, -1, -1) for n in chip]
            kernel_names[:] = kern
            del r.oil_mismatch[:]
            a.mroute_eq(self.KEY, 'swp4', ['swp5'])
            self.assertEqual(r.oil_mismatch, texts)


class CollectorTest(kernel.KernelCase):
    KEY = kernel.ComparisonTest.KEY
    setup_switch = kernel.ComparisonTest.__dict__['setup_switch']

    def test_code_run_sees_and_keeps_the_collector_state(self):
        # Code the checker runs sees the collector as its caller left it, and
        # what that code does to it stands after the checker returns.
        self.addCleanup(gc.enable if gc.isenabled() else gc.disable)
        seen = []

        def switch(to):
            seen.append(gc.isenabled())
            (gc.enable if to else gc.disable)()

        class Mine(murchet.Asic):
            def _kern_iif_to_hw_vlan(self, *args):
                switch(self.to)
                return 10

        class Names(object):
            def vrf_id2name(self, vrf_id):
                switch(a.to)
                return 'default'

        class Ports(object):
            def bcm2linux(self, dport):
                switch(a.to)
                return 'swp1'

        a, r = self.setup_switch(l3=[('swp4', -1)])
        a.__class__ = Mine
        install(multicast_show="Group 0x2000001 (L3)\n\tport xe2, encap id -1\n")
        a.bcm, a.vrf_db, a.pt = bcmshell.bcmshell(), Names(), Ports()
        for op in (lambda: a.mroute_eq(self.KEY, 'swp1', ['swp4']), a._parse_ipmc_table,
                   a._parse_multicast_repln_groups):
            for before in (True, False):
                for a.to in (True, False):
                    del seen[:]
                    (gc.enable if before else gc.disable)()
                    op()
                    self.assertEqual((seen[0], gc.isenabled()), (before, a.to))


if __name__ == '__main__':
    unittest.main()
