"""Fuzz driver of skorrel: every port, chip and switch class built from
arguments of every kind (serdes numbers at the integers' edges, odd labels
and lane names, hostile objects) and asked every question with modes,
sub-ports and bases of every kind.  See fuzzing.py for how it is run."""
import inspect
import sys

import fuzzing
from fuzzing import guarded, value

import skorrel

CLASSES = [getattr(skorrel, n) for n in sorted(dir(skorrel))
           if inspect.isclass(getattr(skorrel, n)) and
           not issubclass(getattr(skorrel, n), BaseException)]

MODES = ["1G", "10G", "25G", "40G", "50G", "100G", "4x10G", "4x25G", "2x50G", "2x40G", "2x20G",
         "40G/4", "100G/4", "4x1G", "", "x", "4x", "100G/", "/4"]
TEXTS = MODES + ["swp1", "1", "2", "xe0", "ce4", "hg2", "ge1", "QSFP28", "SFP28", "SFP+",
                 "QSFP+", "KR4", "xe", "ce", "5", "Fabric-1"]


def number(rng):
    return rng.choice([0, 1, 3, 4, 31, 32, 63, 64, 95, 96, 127, 128, 129, 130, 131, 191, 192,
                       2 ** 31 - 1, 2 ** 31, 2 ** 32, 2 ** 62, 2 ** 63 - 1, 2 ** 63, 2 ** 64,
                       -1, -2 ** 63, -2 ** 63 - 1, 10 ** 20])


def argument(rng, name):
    """A value for the constructor parameter `name`, most often of the kind
    a platform description gives."""
    if rng.random() < 0.25:
        return value(rng, TEXTS)
    if name in ("serdes",):
        n = rng.choice([1, 4, 4, 2])
        if rng.random() < 0.5:
            first = rng.choice([0, 4, 64, 128, number(rng)])
            return [first + i for i in range(n)]
        return [number(rng) for _ in range(n)]
    if name in ("hw_ports",):
        return [rng.choice(["xe", "ce", "hg", "ge"]) + str(rng.choice([0, 1, 5, number(rng)]))
                for _ in range(rng.choice([1, 4]))]
    if name in ("hw_port",):
        return rng.choice(["xe1", "ge3", "hg0", "xe" + str(number(rng))])
    if name in ("label", "adj_label"):
        return rng.choice(["1", "2", "swp1", "48", str(number(rng)), None])
    if name in ("unit", "prim_offset", "sdk_group"):
        return rng.choice([0, 1, None, number(rng)])
    if name in ("leds",):
        return rng.choice([None, [(0, 1)], [(0, number(rng))], []])
    if name in ("phy_layer",):
        return rng.choice(["QSFP28", "SFP28", "SFP+", "QSFP+", None])
    if name.endswith("polarity_flip") or name.endswith("lane_map"):
        return rng.choice([None, True, False, 0x5, 0x3210, number(rng), [1, 0, 1, 0]])
    return rng.choice([None, False, 0, [None] * 4])


def build(rng, cls):
    init = getattr(cls, "__init__", None)
    f = getattr(init, "im_func", None) or getattr(init, "__func__", None)
    if f is None or getattr(f, "func_code", None) is None:
        return guarded(cls)
    names = f.func_code.co_varnames[1:f.func_code.co_argcount]
    kw = dict((n, argument(rng, n)) for n in names)
    if rng.random() < 0.2:
        kw.pop(rng.choice(list(kw) or [None]), None)
    return guarded(cls, **kw)


def question(rng, obj, name, descr):
    """One of the object's operations, with modes and sub-ports most often of
    the usual kinds."""
    if isinstance(descr, property):
        guarded(getattr, obj, name)
        return
    f = getattr(descr, "__func__", descr)
    params = f.func_code.co_varnames[:f.func_code.co_argcount][
        0 if isinstance(descr, staticmethod) else 1:]
    if rng.random() < 0.3:
        guarded(fuzzing.call_any, rng, obj, name, descr, TEXTS)
        return
    args = []
    own = guarded(getattr, obj, "modes", None)
    modes = list(own) + MODES if isinstance(own, (list, tuple)) else MODES
    for p in params:
        if p == "mode":
            args.append(rng.choice(modes + [None]))
        elif p in ("sub", "subport"):
            args.append(rng.choice([0, 1, 2, 3, 4, -1, number(rng)]))
        elif p in ("port_base", "base"):
            args.append(rng.choice([0, 1, 50, number(rng)]))
        else:
            args.append(value(rng, TEXTS))
    guarded(getattr(obj, name), *args)


def one(rng):
    for _ in range(rng.randint(1, 4)):
        cls = rng.choice(CLASSES)
        obj = build(rng, cls)
        if obj is None:
            continue
        if rng.random() < 0.2:  # an attribute rebound to something odd
            guarded(setattr, obj, rng.choice(["hw_ports", "modes", "label", "serdes", "unit",
                                              "_speed_map", "pbmp_map"]), value(rng, TEXTS))
        ops = fuzzing.operations(cls)
        if ops and rng.random() < 0.3:  # hostile texts ask the port again
            depth = []

            def again(obj=obj):
                if not depth:
                    depth.append(1)
                    try:
                        name, descr = rng.choice(ops)
                        if name != "__init__":
                            question(rng, obj, name, descr)
                    finally:
                        depth.pop()
            fuzzing.ACTION[0] = again
        for _ in range(rng.randint(2, 10)):
            if not ops:
                break
            name, descr = rng.choice(ops)
            if name == "__init__":
                continue
            question(rng, obj, name, descr)
        fuzzing.ACTION[0] = None


if __name__ == "__main__":
    sys.exit(fuzzing.main("skorrel", one))
