"""The modules' functions against callers that a function written in Python
withstands: keyword dicts changed during the call, defaults rebound, unicode
keyword names, and the introspection a caller may use."""
import copy
import gc
import sys
import threading
import time
import types
import unittest
import weakref

import glimmet
import murchet
import pelvane
import skorrel

from helpers import port_kwargs, run_python
from test_murchet_kernel import make_asic, route


def quad(first=0):
    return skorrel.Tomahawk100GPort('1', tuple(range(first, first + 4)), None, None, 'QSFP28',
                                    None, None)


def hw_intf():
    return skorrel.SDKPort.hw_intf.im_func


def logical_port_num():
    return skorrel.Tomahawk100GPort.logical_port_num.im_func


class FunctionTypeTest(unittest.TestCase):
    def test_weak_references(self):
        f = hw_intf()
        ref = weakref.ref(f)
        self.assertIs(ref(), f)
        proxy = weakref.proxy(f)
        self.assertEqual(proxy.__name__, 'hw_intf')

    def test_attribute_dict(self):
        f = hw_intf()
        self.assertIs(f.__dict__, f.func_dict)
        f.marked = 1
        try:
            self.assertEqual(f.func_dict['marked'], 1)
            self.assertEqual(f.marked, 1)
        finally:
            del f.marked
        self.assertNotIn('marked', f.__dict__)
        self.assertRaises(TypeError, setattr, f, '__dict__', [])
        self.assertRaises(TypeError, delattr, f, 'func_dict')

    def test_writable_defaults(self):
        f = logical_port_num()
        p = quad(64)
        saved = f.func_defaults
        try:
            f.func_defaults = (0,)
            self.assertEqual(f.__defaults__, (0,))
            self.assertEqual(p.logical_port_num('2x50G', 1), p.logical_port_num('2x50G', 1, 0))
            f.__defaults__ = (0, 1)  # more defaults than it has parameters: the last ones serve
            self.assertEqual(p.logical_port_num('2x50G', 1), p.logical_port_num('2x50G', 1, 1))
            f.func_defaults = None
            self.assertIsNone(f.func_defaults)
            self.assertRaises(TypeError, p.logical_port_num, '2x50G', 1)
            del f.func_defaults
            self.assertIsNone(f.func_defaults)
            self.assertRaises(TypeError, setattr, f, 'func_defaults', [0])
        finally:
            f.func_defaults = saved

    def test_defaults_rebound_during_the_call(self):
        # The call keeps the defaults it started with.
        f = logical_port_num()
        saved = f.func_defaults

        class Mode(str):
            def __eq__(self, other):
                f.func_defaults = (object(),)
                return str.__eq__(self, other)

            __hash__ = str.__hash__

        try:
            f.func_defaults = (0,)
            p = quad(64)
            self.assertEqual(p.logical_port_num(Mode('2x50G'), 1), 69)
        finally:
            f.func_defaults = saved

    def test_closure_and_doc(self):
        f = hw_intf()
        self.assertIsNone(f.func_closure)
        self.assertIsNone(f.__closure__)
        saved = f.__doc__
        try:
            del f.__doc__
            self.assertIsNone(f.__doc__)
            self.assertIsNone(f.func_doc)
        finally:
            f.__doc__ = saved

    def test_copy(self):
        f = hw_intf()
        self.assertIs(copy.copy(f), f)
        self.assertIs(copy.deepcopy(f), f)
        self.assertIs(copy.deepcopy([f])[0], f)

    def test_unicode_keyword_names(self):
        p = quad()
        self.assertEqual(p.hw_intf(**{u'mode': '100G', u'sub': 0}), p.hw_intf('100G', 0))

        def py_hw_intf(self, mode, sub):
            pass

        for kw in ({u'mod\xe9': 1, 'mode': '100G', 'sub': 0}, {u'mode': 1, 'mode ': 2}):
            try:
                py_hw_intf(p, **kw)
            except TypeError as e:
                expected = str(e)
            with self.assertRaises(TypeError) as got:
                p.hw_intf(**kw)
            self.assertEqual(str(got.exception), expected.replace('py_hw_intf', 'hw_intf'))
        self.assertRaises(TypeError, p.hw_intf, '100G', **{u'mode': '100G'})

    def test_keyword_dict_cleared_during_the_call(self):
        # A keyword name compared with the parameter names clears the caller's
        # dict: the values it held stay alive until the call is over.
        p = quad()
        freed = []
        seen = []

        class Sub(int):
            def __del__(self):
                freed.append(1)

        class Name(str):
            def __eq__(self, other):
                if kw:
                    kw.clear()
                    seen.append(len(freed))
                return str.__eq__(self, other)

        for h in range(64):
            Name.__hash__ = lambda self, h=h: h
            kw = {'sub': Sub(1), Name('mode'): '4x25G'}
            if list(kw)[0] == 'sub':
                break
        self.assertEqual(list(kw)[0], 'sub')
        del freed[:], seen[:]
        self.assertEqual(p.hw_intf(**kw), p.hw_intf('4x25G', 1))
        self.assertEqual(seen, [0])
        self.assertEqual(freed, [1])


# A class statement shaped like the glue's function type: named "function",
# of its size (slots, after a base that may fill its first fields with
# chosen bits), with __call__ and __get__, and carrying the genuine type's
# mark where it has one.  Its calls answer which of the two ran.
FORGERY = r"""
import struct, sys
import skorrel
genuine = type(skorrel.SDKPort.hw_intf.im_func)
mark = genuine.__dict__.get('__function_layout__')

def forged(base):
    n = (genuine.__basicsize__ - base.__basicsize__) // struct.calcsize('P')
    body = {'__slots__': ['s%d' % i for i in range(n)],
            '__call__': lambda self, *a: 'called',
            '__get__': lambda self, obj, cls=None: lambda *a: 'bound'}
    if mark is not None:
        body['__function_layout__'] = mark
    return type('function', (base,), body)

# Two argument counts in a row, whatever the word size.
two = struct.unpack('<d', struct.pack('<ii', 2, 2))[0]
for forgery in (forged(object)(), forged(complex)(two, two)):
    class Port(skorrel.Tomahawk100GPort):
        num_logical_ports = forgery
    p = Port('1', (0, 1, 2, 3), None, None, 'QSFP28', None, None)
    sys.stdout.write('%s %s\n' % (p.num_logical_ports('100G'), p.num_physical_ports('100G')))
"""


class ForgedFunctionTypeTest(unittest.TestCase):
    def test_class_shaped_like_the_function_type_is_called_as_the_interpreter_calls_it(self):
        status, out, err = run_python(FORGERY)
        self.assertEqual((status, out), (0, 'bound bound\nbound bound\n'), err)


class FieldsSetTest(unittest.TestCase):
    def test_class_changed_by_a_value_replaced_among_the_fields(self):
        # The first field replaces a value whose __del__ gives the port
        # another class, one with a property for a later field: that field
        # is set through the property, as the interpreter's assignment sets
        # it, whether the class the port had stays or is gone by then.
        seen = []

        class Watched(skorrel.SDKPort):
            @property
            def phy_types(self):
                return self.__dict__['phy_types']

            @phy_types.setter
            def phy_types(self, value):
                seen.append(value)
                self.__dict__['phy_types'] = value

        def port():
            class Doomed(skorrel.SDKPort):
                pass
            return object.__new__(Doomed)

        class Swap(object):
            def __del__(self):
                p.__class__ = Watched
                gc.collect()

        for keep in (True, False):
            p = port()
            kept = type(p) if keep else None
            p.hw_ports = Swap()
            skorrel.SDKPort.__init__(p, **port_kwargs(phy_types=['t']))
            self.assertEqual((seen, p.phy_types, p.hw_ports), ([['t']], ['t'], ['xe0']))
            del seen[:]
            kept = None


class LoadTest(unittest.TestCase):
    def test_module_taken_out_of_sys_modules_while_it_loads(self):
        # What the module imports as it loads takes it out of sys.modules:
        # the load fails as the interpreter fails it, the module's own dict
        # whole meanwhile.
        code = "\n".join([
            "import sys, types",
            "class Hook(object):",
            "    def find_module(self, name, path=None):",
            "        return self if name == 'quorvel.platforms' else None",
            "    def load_module(self, name):",
            "        del sys.modules['skorrel']",
            "        sys.modules[name] = types.ModuleType(name)",
            "        return sys.modules[name]",
            "sys.meta_path.append(Hook())",
            "try:",
            "    import skorrel",
            "except SystemError as e:",
            "    print e",
        ])
        status, out, err = run_python(code)
        self.assertEqual((status, out), (0, "dynamic module not initialized properly\n"), err)


class TracebackTest(unittest.TestCase):
    def test_one_code_object_per_function(self):
        asic = types.InstanceType(murchet.Asic)  # without its tables

        def failing_entry():
            try:
                asic._dport2logical_port('xe1')
            except AttributeError:
                tb = sys.exc_info()[2]
            while tb.tb_next:
                tb = tb.tb_next
            return tb.tb_frame.f_code

        first = failing_entry()
        self.assertEqual(first.co_name, 'murchet.Asic._dport2logical_port')
        self.assertIs(failing_entry(), first)


class Hinted(object):
    """The items of a list, or the keys of a dict (a map then, its values by
    key), with no length and a __length_hint__ that answers `hint`."""

    def __init__(self, hint, items):
        self.hint, self.items = hint, items

    def __iter__(self):
        return iter(list(self.items))

    def __length_hint__(self):
        return self.hint

    def __getitem__(self, key):
        return self.items[key]

    def __setitem__(self, key, value):
        self.items[key] = value

    def keys(self):
        return Hinted(self.hint, list(self.items))

    def split(self, sep):
        return Hinted(self.hint, self.items.split(sep))


class LengthHintTest(unittest.TestCase):
    def test_copies_take_the_hint_as_list_does(self):
        # A negative hint other than -1 is ignored, -1 with no error set is
        # list()'s SystemError, and a count no list has room for is its
        # MemoryError: each entry point answers as it would for list()'s copy.
        class Controller(object):
            def configure(self, controller, ports):
                self.ports = list(ports)

        def sdk_config(**switch_attrs):
            sw = skorrel.BCMSwitch(skorrel.Hurricane2Chip())
            sw.ports, sw.glimmet = [], Controller
            for name, value in switch_attrs.items():
                setattr(sw, name, value)
            platform = skorrel.Platform()
            platform.name, platform.switch = "box", sw
            return pelvane.SDKConfig(platform, dummy=True)

        def leds(h):
            config = sdk_config(led_controllers=Hinted(h, [1, 0]))
            config._calculate_leds()
            return sorted(config._led_programs)

        def chains(h):
            config = sdk_config()
            config._led_programs = Hinted(h, {0: Controller()})
            return config.led_chains

        def runs(h):
            pelvane.groupby = lambda pairs, key: [(None, Hinted(h, list(pairs)))]
            try:
                return sdk_config()._compress_portlist(["xe1", "xe2", "xe3", "xe9"])
            finally:
                pelvane.groupby = groupby

        groupby = pelvane.groupby

        def configured(h):
            c = glimmet.TridentTwoLEDController()
            c.num_leds = 1
            return c.configure("hinted", Hinted(h, [])), c.led_map("hinted")

        class Mapped(glimmet.TridentTwoLEDController):
            has_phys_id = True

            def led_map(self, controller_idx):
                return Hinted(self.hint, [3, None, 5])

        def memory_init(h):
            c = Mapped()
            c.hint = h
            return c.led_memory_init_commands(0)

        def program(h):
            c = glimmet.TridentTwoLEDController()
            c.num_leds, c.set_functions = 1, Hinted(h, ["\nb:\n", "\na:\n"])
            return c.asm

        def asic_text(h):
            asic = make_asic()
            asic.mroutes = Hinted(h, dict([route("10.0.0.1", "239.1.1.1", 10, 1)]))
            return str(asic)

        entries = [
            lambda h: sdk_config()._compress_portlist(Hinted(h, ["xe2", "xe1", "xe3", "ce4"])),
            lambda h: sdk_config()._calculate_gangs(Hinted(h, [])),
            lambda h: sdk_config()._complete_modes(Hinted(h, {"9": "10G"})).items,
            leds, chains, runs, configured, memory_init, program,
            lambda h: make_asic()._grp_ip2mac(Hinted(h, "239.1.2.3")), asic_text,
        ]

        def outcome(f, *args):
            try:
                return f(*args)
            except Exception as e:
                return type(e), str(e)

        got, want = [], []
        for hint in (-5, -2 ** 62, -1, 2 ** 62):
            listed = outcome(list, Hinted(hint, []))
            for i, entry in enumerate(entries):
                got.append((hint, i, outcome(entry, hint)))
                want.append((hint, i, outcome(entry, None) if listed == [] else listed))
        self.assertEqual(got, want)


class ThreadTest(unittest.TestCase):
    def test_runs_of_two_threads(self):
        # Each thread checks its own Asic; the dumps' own code lets the other
        # threads run in between, and a lookup on another object looks for
        # its own run among those of its thread.
        errors = []

        class Slow(murchet.Asic):
            def _dump_one_mroute(self, route):
                time.sleep(0.0002)
                self.other.vlans = {}
                assert self.other._is_port_untagged_for_vid('xe1', 7)
                return '%s\n' % (route,)

        class Reader(murchet.Asic):
            def _parse_vlan(self, vid):
                self.vlans[vid] = murchet.VlanEntry(vid, ['xe1'])

        def work():
            try:
                a = types.InstanceType(Slow)
                a.mroutes = dict(('k%d' % i, 'route %d' % i) for i in range(5))
                a.other = types.InstanceType(Reader)
                a.other.portmap = []
                for _ in range(40):
                    text = str(a)
                    assert text.count('route ') == 5, text
            except Exception as e:
                errors.append(e)

        threads = [threading.Thread(target=work) for _ in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors, [])


if __name__ == '__main__':
    unittest.main()
