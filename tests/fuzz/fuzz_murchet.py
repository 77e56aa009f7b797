"""Fuzz driver of murchet: mutated chip shell and kernel answers, records and
arguments of every kind, objects whose special methods change what the
checker is reading.  See fuzzing.py for how it is run."""
import sys
import types
import weakref
from StringIO import StringIO

import fuzzing
from fuzzing import Hostile, HostileStr, guarded, mutate, value

import bcmshell
import murchet
import test_murchet_chip as chip
import test_murchet_kernel as kern

TEXTS = ["xe0", "xe1", "xe2", "swp1", "swp2", "swp3", "swp4", "br0", "bond0", "swp5.30",
         "239.1.1.1", "10.0.0.1", "default", "default, (10.0.0.1, 239.1.1.1)", "vlan100",
         "01:00:5e:01:01:01", "", "L3_IIF"]

KERNEL_ANSWERS = {
    ("/sbin/bridge", "-j", "vlan", "show"):
        '[{"ifname":"br0","vlans":[{"vlan":10,"flags":["PVID","Egress Untagged"]},'
        '{"vlan":30}]},{"ifname":"swp1","vlans":[{"vlan":10}]}]\n',
}


def chip_answers(rng):
    """The stand-in shell's answers: the usual ones, some mutated, some
    failing."""
    chip.install()
    for cmd in list(bcmshell.answers):
        r = rng.random()
        if r < 0.4:
            bcmshell.answers[cmd] = mutate(rng, bcmshell.answers[cmd])
        elif r < 0.45:
            bcmshell.answers[cmd] = rng.choice([IOError("shell gone"), ValueError("odd")])
        elif r < 0.48:
            bcmshell.answers[cmd] = rng.choice([u"unicode answer\n", 5, None])
    if rng.random() < 0.3:
        bcmshell.answers["vlan show 100"] = "vlan 1 " * rng.choice([10, 5000]) + \
            "vlan 100 untagged xe0\n"


def hostile_records(rng, a):
    """Swaps some of the checker's records and tables for hostile ones whose
    code clears lists and dicts of the checker while it reads them."""
    # That code reaches the checker through a weak reference: the records
    # its indexes hold until it goes (out of the interpreter's sight) would
    # otherwise keep it, and an iteration's every object, for ever.
    a = weakref.proxy(a)
    lists = [a.portmap, a.vlan_xlate]
    dicts = [a.vlans, a.replication_groups, a.mroutes, a.l3_intfs]

    depth = []

    def wreck():
        k = rng.randrange(7)
        if k >= 5 and not depth:  # the checker asked again, from inside itself
            depth.append(1)
            try:
                if k == 5:
                    a.mroute_eq(rng.choice(list(a.mroutes) or ["x"]), "br0",
                                rng.choice([["swp9"], ["swp4", "bond0"], []]))
                else:
                    ask_again(a)
            except SystemError:
                LATE.append(fuzzing.traceback.format_exc())
            except Exception:
                pass
            finally:
                depth.pop()
        elif k == 0 and lists:
            del rng.choice(lists)[:]
        elif k == 1 and dicts:
            rng.choice(dicts).clear()
        elif k == 2:
            for g in list(a.replication_groups.values())[:2]:
                for name in ("l3_encaps", "l2_encaps"):
                    l = getattr(g, name, None)
                    if isinstance(l, list):
                        del l[:]
        elif k == 3:
            a.portmap = []
        elif k == 4:  # a default that the checker leaves to its own operations
            replace_default(rng, wreck)
    fuzzing.ACTION[0] = wreck if rng.random() < 0.5 else None
    if rng.random() < 0.3:
        a.portmap.append(Hostile(rng, wreck))
    if rng.random() < 0.4:  # records whose end asks the checker again
        Reentrant.asic = a
        a.portmap[rng.randrange(len(a.portmap) + 1):0] = [
            Reentrant("xe%d" % i, i, "swp%d" % i) for i in range(rng.randint(1, 3))]
        for g in list(a.replication_groups.values())[:1]:
            l = getattr(g, "l3_encaps", None)
            if isinstance(l, list):
                l.append(ReentrantEncap("swp9", "xe9", 7, 100, -1))
    if rng.random() < 0.3 and a.portmap:
        e = rng.choice(a.portmap)
        if hasattr(e, "__dict__"):
            e.__dict__[HostileKey(rng, wreck, rng.choice(["dport", "linux_port", "logical_port"]))] = 1
    for g in list(a.replication_groups.values())[:3]:
        for name in ("l3_encaps", "l2_encaps"):
            l = getattr(g, name, None)
            if isinstance(l, list) and l and rng.random() < 0.3:
                e = rng.choice(l)
                if hasattr(e, "__dict__"):
                    d = dict(("pad%d" % i, i) for i in range(6))
                    d[HostileKey(rng, wreck, rng.choice(["linux_port", "evid", "__str__"]))] = 1
                    d.update(e.__dict__)
                    e.__dict__ = d
            if isinstance(l, list) and rng.random() < 0.2:
                l.append(Hostile(rng, wreck))
    if rng.random() < 0.2:
        a.mroutes[HostileStr("default, (10.0.0.1, 239.1.1.1)")] = Hostile(rng, wreck)


# SystemErrors met in code that ran from a record's end, where they could
# not be raised.
LATE = []

# The operations whose defaulted argument the checker leaves out, and their
# defaults.
DEFAULTED = [murchet.Asic._kern_base_dev_kind_get.im_func, murchet.Asic._expand_kern_dev.im_func]
DEFAULTS = [f.__defaults__ for f in DEFAULTED]


def replace_default(rng, action):
    rng.choice(DEFAULTED).__defaults__ = rng.choice(
        [(-1,), (30,), (long(-1),), ("x",), (Hostile(rng, action),), None])


def ask_again(a):
    try:
        a._dport2logical_port("xe1")
        a._get_logical_port_and_pvid("swp1")
        a._ivid2evid("xe2", 10)
        str(a)
    except SystemError:
        LATE.append(fuzzing.traceback.format_exc())
    except Exception:
        pass


class Reentrant(murchet.PortmapEntry):
    asic = None

    def __del__(self):
        if Reentrant.asic is not None:
            ask_again(Reentrant.asic)


class ReentrantEncap(murchet.Encap):
    def __del__(self):
        if Reentrant.asic is not None:
            ask_again(Reentrant.asic)


class HostileKey(object):
    """A dict key of the same hash as a field name, whose comparison runs code."""

    def __init__(self, rng, action, name):
        self.rng, self.action, self.h = rng, action, hash(name)

    def __hash__(self):
        return self.h

    def __eq__(self, other):
        if self.rng.random() < 0.5:
            self.action()
        return False


def kernel(rng):
    """A fake kernel with bridges, bonds, VLAN devices and multicast
    databases, its answers mutated."""
    k = kern.FakeKernel()
    k.bridge("br0", ["swp1", "swp2", "swp3", "bond0"], vf=rng.choice([0, 1]))
    k.bond("bond0", ["swp6", "swp7"])
    k.vlan("swp5.30", 30, "swp5")
    k.vlan("vlan100", 100, "br0")
    k.link("swp4", "veth")
    k.mdb("br0", ["dev br0 port swp1 grp 239.1.1.1 temp",
                  "dev br0 port swp2 grp 239.1.1.1 vid 10 temp",
                  "dev br0 port bond0 grp 239.1.1.1 permanent"])
    k.answers.update(KERNEL_ANSWERS)
    for table in (k.links, k.files, k.answers):
        for key in list(table):
            if rng.random() < 0.3 and isinstance(table[key], str):
                table[key] = mutate(rng, table[key])
    return k


def checker(rng):
    """An Asic holding chip state, made without its constructor."""
    key, r = kern.route("10.0.0.1", "239.1.1.1", rng.choice([10, 20, 100, -1]), 0x1f)
    groups = dict([kern.group(r, [("swp4", -1), ("swp6", rng.choice([-1, 30]))],
                              ["swp1", "swp2"])])
    ports = ["swp%d" % i for i in range(1, 8)]
    a = kern.make_asic(
        linux_ports=ports,
        portmap=[kern.pm("xe%d" % i, i, "swp%d" % i, rng.choice([10, 40, 60]))
                 for i in range(1, 8)],
        vlan_xlate=[murchet.VlanXlate(5, 77, 30), murchet.VlanXlate(1, 10, 10)],
        mroutes={key: r}, groups=groups, riot=rng.random() < 0.3, memtable="L3_IIF",
        bcm=bcmshell.bcmshell())
    a.l3_intfs = {5: 100, 6: 200}
    a.pt = chip.quillet.quillet()
    a.vrf_db = chip.dornick.VrfDb()
    return a, key


def one(rng):
    chip_answers(rng)
    # The constructor over mutated answers.
    a = guarded(murchet.Asic, rng.choice([False, True]))
    saved = murchet.subprocess, murchet.os
    k = kernel(rng)
    murchet.subprocess = murchet.os = k
    murchet.open = k.open
    out = sys.stdout
    sys.stdout = StringIO()
    try:
        if a is None or rng.random() < 0.6:
            a, key = checker(rng)
        else:
            key = rng.choice(list(a.mroutes) or ["default, (10.0.0.1, 239.1.1.1)"])
        if rng.random() < 0.6:
            hostile_records(rng, a)
        if rng.random() < 0.1:
            replace_default(rng, fuzzing.ACTION[0])
        ops = fuzzing.operations(murchet.Asic)
        for _ in range(rng.randint(3, 12)):
            r = rng.random()
            if r < 0.35:
                oil = [rng.choice(TEXTS + ["br0", "bond0", "swp4"]) for _ in range(rng.randint(0, 5))]
                if rng.random() < 0.2:
                    oil.append(value(rng, TEXTS))
                guarded(a.mroute_eq, rng.choice([key, value(rng, TEXTS)]),
                        rng.choice(["br0", "swp5.30", "vlan100", value(rng, TEXTS)]), oil)
            elif r < 0.45:
                guarded(str, a)
            elif r < 0.5:
                guarded(a.dump_mroutes, rng.choice([[key], [], None, value(rng, TEXTS)]))
            else:
                name, descr = rng.choice(ops)
                if name in ("__init__",):
                    continue
                guarded(fuzzing.call_any, rng, a, name, descr, TEXTS)
        # Records on their own.
        for cls in (murchet.Encap, murchet.ReplicationGroup, murchet.Hmroute, murchet.PortmapEntry,
                    murchet.VlanEntry, murchet.VlanXlate, murchet.KernMdbEntry,
                    murchet.KernMdbCache, murchet.KernVlanEntry, murchet.KernVlanDevEntry,
                    murchet.KernDevEntry):
            if rng.random() < 0.3:
                init = vars(cls).get("__init__")
                n = init.func_code.co_argcount - 1 if init else 0
                rec = guarded(cls, *[value(rng, TEXTS) for _ in range(n)])
                if rec is not None:
                    for name, descr in fuzzing.operations(cls):
                        if name != "__init__" and rng.random() < 0.5:
                            guarded(fuzzing.call_any, rng, rec, name, descr, TEXTS)
    finally:
        sys.stdout = out
        fuzzing.ACTION[0] = None
        Reentrant.asic = None
        for f, d in zip(DEFAULTED, DEFAULTS):
            f.__defaults__ = d
        if LATE:
            raise fuzzing.Findings(LATE.pop())
        murchet.subprocess, murchet.os = saved
        del murchet.open


if __name__ == "__main__":
    sys.exit(fuzzing.main("murchet", one))
