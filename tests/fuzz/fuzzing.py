"""What the fuzz drivers share: seeded mutation of texts, hostile values and
objects, generic calls of a class's operations, and the run loop.

A driver is run as
    python2.7 fuzz_<module>.py [--seed N] [--iterations N | --seconds S]
and ends with status 0 when nothing was found.  What counts as found: the
process dying (a sanitizer report, a signal), or a SystemError out of a
module (an error the glue let through without a proper exception).
Everything else a call raises is the module answering bad input.
"""
import argparse
import gc
import os
import random
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
sys.path[:0] = [TESTS, os.path.join(TESTS, "standins")]

import helpers  # noqa: E402  (sets the module directory from BUILD_DIR)

sys.path.insert(0, helpers.MODULE_DIR)


# ---- texts -------------------------------------------------------------------

ODD_BYTES = ["\0", "\xff", "\xc3(", "\r", "\r\n", "\t", " ", "\n", "(", ")", ",", "=", ":", "-",
             "0x", "-1", "4294967296", "9223372036854775808", "99999999999999999999", "nan",
             "\xe2\x82\xac", "%s", "%d", "{", "}", "[", "]", '"', "\\", "|", "@", "."]


# The longest text a mutation makes.  What a module does with a text may
# take time and memory by the product of two texts' lengths (murchet reads
# a bond's slaves for each of a bridge's multicast entries): with every text
# this short, and every iteration starting from the stand-ins' own answers,
# a run's memory stays bounded whatever the seed and however long it runs.
MAX_TEXT = 16 * 1024


def mutate(rng, text, rounds=None):
    """`text` changed a few times: cut, grown, bytes replaced, lines shuffled,
    repeated, numbers made extreme; at most MAX_TEXT long."""
    for _ in range(rounds if rounds is not None else rng.randint(1, 4)):
        kind = rng.randrange(11)
        n = len(text)
        at = rng.randint(0, n)
        if kind == 0:  # truncate
            text = text[:at]
        elif kind == 1:  # insert odd bytes
            text = text[:at] + rng.choice(ODD_BYTES) * rng.randint(1, 3) + text[at:]
        elif kind == 2 and n:  # delete a stretch
            text = text[:at] + text[at + rng.randint(1, 8):]
        elif kind == 3:  # repeat a stretch many times (a long line, as long as fits)
            piece = text[at:at + rng.randint(1, 40)] or "x"
            times = min(rng.choice((2, 10, 1000, 20000)), max(1, (MAX_TEXT - n) // len(piece)))
            text = text[:at] + piece * times + text[at:]
        elif kind == 4:  # shuffle lines
            lines = text.split("\n")
            rng.shuffle(lines)
            text = "\n".join(lines)
        elif kind == 5:  # duplicate a line
            lines = text.split("\n")
            i = rng.randrange(len(lines))
            lines[i:i] = [lines[i]] * rng.randint(1, 5)
            text = "\n".join(lines)
        elif kind == 6:  # a number made extreme
            digits = [i for i, c in enumerate(text) if c.isdigit()]
            if digits:
                i = rng.choice(digits)
                text = text[:i] + rng.choice(["9" * 30, "-", "0", "2147483648", "18446744073709551616",
                                              "-9223372036854775809", "00000"]) + text[i + 1:]
        elif kind == 7:  # random bytes
            text = text[:at] + "".join(chr(rng.randrange(256)) for _ in range(rng.randint(1, 12))) \
                + text[at:]
        elif kind == 8:  # a word swapped for another of the text
            words = text.split()
            if words:
                w = rng.choice(words)
                text = text[:at] + w + text[at:]
        elif kind == 9:  # line ends changed
            text = text.replace("\n", rng.choice(["\r\n", "\r", "\n\n", "", "\n\0"]))
        else:  # case flipped
            text = text[:at] + text[at:at + 10].swapcase() + text[at + 10:]
        text = text[:MAX_TEXT]
    return text


# ---- hostile values ---------------------------------------------------------

class Hostile(object):
    """An object whose special methods run `action` (which may change what the
    module is reading) and then answer something odd or raise."""

    def __init__(self, rng, action=None, value=0):
        self.rng = rng
        self.action = action
        self.value = value
        self.calls = 0

    def _act(self):
        self.calls += 1
        if self.calls > 50:
            raise RuntimeError("hostile: enough")
        if self.action is not None:
            self.action()
        if self.rng.random() < 0.15:
            raise self.rng.choice([ValueError, TypeError, KeyError, RuntimeError])("hostile")

    def __eq__(self, other):
        self._act()
        return self.rng.random() < 0.5

    def __ne__(self, other):
        self._act()
        return self.rng.random() < 0.5

    def __lt__(self, other):
        self._act()
        return self.rng.random() < 0.5

    __gt__ = __le__ = __ge__ = __lt__

    def __hash__(self):
        self._act()
        return self.rng.choice([0, 1, -2, hash("dport"), hash("linux_port"), hash("vid"),
                                hash("evid"), hash("100G"), self.value])

    def __nonzero__(self):
        self._act()
        return self.rng.random() < 0.5

    def __len__(self):
        self._act()
        return self.rng.randint(0, 4)

    def __int__(self):
        self._act()
        return self.value

    __index__ = __long__ = __int__

    def __str__(self):
        self._act()
        return self.rng.choice(["xe0", "swp1", "", "\0", "100G"])

    __repr__ = __str__

    def __or__(self, other):
        self._act()
        return other

    __ror__ = __and__ = __rand__ = __add__ = __radd__ = __sub__ = __rsub__ = __or__

    def __iter__(self):
        self._act()
        return iter(["xe0", 1, None])

    def __getitem__(self, i):
        self._act()
        if isinstance(i, int) and i > 3:
            raise IndexError(i)
        return self.rng.choice(["xe0", 1, "10G", None])

    def __contains__(self, x):
        self._act()
        return self.rng.random() < 0.5

    def __call__(self, *a, **k):
        self._act()
        return self.rng.choice([None, "", "xe0", 1, []])


# What hostile texts and integers run when compared (None: nothing).
ACTION = [None]


def act():
    if ACTION[0] is not None:
        ACTION[0]()


class HostileStr(str):
    """A text whose comparisons and hash run code."""

    def __eq__(self, other):
        act()
        return str.__eq__(self, other)

    def __ne__(self, other):
        return not self.__eq__(other)

    def __hash__(self):
        act()
        return str.__hash__(self)


class HostileInt(int):
    def __eq__(self, other):
        act()
        return int(self) == other

    def __hash__(self):
        return int.__hash__(self)


def value(rng, texts=(), depth=0):
    """A value of any kind, often odd: texts (some of `texts`), numbers at the
    edges, containers, hostile objects."""
    k = rng.randrange(20)
    if k < 4 and texts:
        return rng.choice(texts)
    if k == 4:
        return rng.choice([0, 1, -1, 2, 4, 35, 36, 63, 64, 128, 129, 131, 2 ** 31 - 1, 2 ** 31,
                           2 ** 63 - 1, 2 ** 63, -2 ** 63, -2 ** 63 - 1, 2 ** 64, 10 ** 30])
    if k == 5:
        return rng.choice([0.5, -1.0, float("inf"), float("nan"), 1e300])
    if k == 6:
        return rng.choice([None, True, False])
    if k == 7:
        return mutate(rng, rng.choice(texts) if texts else "xe0", 1)
    if k == 8:
        return rng.choice([u"xe0", u"\xe9", u"100G", u""])
    if k == 9 and depth < 2:
        return [value(rng, texts, depth + 1) for _ in range(rng.randint(0, 4))]
    if k == 10 and depth < 2:
        return tuple(value(rng, texts, depth + 1) for _ in range(rng.randint(0, 4)))
    if k == 11 and depth < 2:
        return dict((rng.choice([HostileStr(rng.choice(texts or ["k"])), HostileInt(7), 7, None])
                     if rng.random() < 0.2 else rng.choice(texts or ["k"]),
                     value(rng, texts, depth + 1))
                    for _ in range(rng.randint(0, 3)))
    if k == 12:
        return Hostile(rng, value=rng.choice([0, 1, 2 ** 63]))
    if k == 13:
        return HostileStr(rng.choice(texts or ["xe0"]))
    if k == 14:
        return HostileInt(rng.choice([0, 1, 5, 100, 2 ** 40]))
    if k == 15:
        return rng.randint(-5, 300)
    if k == 16:
        return object()
    if k == 17:
        return iter([rng.choice(texts or ["x"])])
    return rng.choice(texts) if texts else ""


def operations(cls):
    """(name, function) of every operation made by a module on the class and
    its bases, properties and static ones included."""
    seen = {}
    for c in reversed(cls.__mro__ if isinstance(cls, type) else _classic_mro(cls)):
        for name, v in vars(c).items():
            seen[name] = v
    found = []
    for name, v in sorted(seen.items()):
        f = getattr(v, "__func__", None) or getattr(v, "fget", None) or v
        if getattr(f, "func_code", None) is not None and f.__module__ in MODULES:
            found.append((name, v))
    return found


MODULES = set()


def _classic_mro(cls):
    out = [cls]
    for b in cls.__bases__:
        out.extend(_classic_mro(b))
    return out


def call_any(rng, obj, name, descr, texts):
    """obj.name(...) with random arguments by position or keyword (properties
    read, deleted or written)."""
    if isinstance(descr, property):
        getattr(obj, name)
        return
    f = getattr(descr, "__func__", descr)
    names = f.func_code.co_varnames[:f.func_code.co_argcount]
    skip = 0 if isinstance(descr, staticmethod) else 1
    params = names[skip:]
    args = [value(rng, texts) for _ in params]
    n = len(args)
    r = rng.random()
    if r < 0.1:
        n = rng.randint(0, len(args) + 2)  # too few or too many
        args = (args + [None, None])[:n]
    bound = getattr(obj, name)
    if rng.random() < 0.3 and params:
        split = rng.randint(0, len(args))
        kw = dict((unicode(k) if rng.random() < 0.3 else k, v)
                  for k, v in zip(params[split:], args[split:]))
        bound(*args[:split], **kw)
    else:
        bound(*args)


# ---- the run ----------------------------------------------------------------

class Findings(BaseException):
    """Raised past every handler of the drivers and the modules."""


# Findings also kept here, for those raised where the interpreter drops
# exceptions (a __del__, a dict's comparison of keys).
FOUND = []


def guarded(fn, *args, **kw):
    """fn(...), its ordinary exceptions dropped; a SystemError is a finding."""
    try:
        return fn(*args, **kw)
    except SystemError:
        FOUND.append(traceback.format_exc())
        raise Findings(FOUND[-1])
    except (Exception, KeyboardInterrupt):
        return None


def take_apart_garbage():
    """Empties the collector's list of the cycles it could not free (a
    driver's record with a __del__ held in a cycle with what it was handed),
    each object's attributes cleared first so that the cycle goes: a long
    run keeps nothing of an earlier iteration."""
    garbage = gc.garbage[:]
    del gc.garbage[:]
    for o in garbage:
        attrs = getattr(o, "__dict__", None)
        if isinstance(attrs, dict):
            attrs.clear()


def main(name, one_iteration, default_iterations=200):
    p = argparse.ArgumentParser(description="fuzz driver of " + name)
    p.add_argument("--seed", type=int, default=int(os.environ.get("FUZZ_SEED", "1")))
    p.add_argument("--iterations", type=int, default=None)
    p.add_argument("--seconds", type=float, default=None)
    opts = p.parse_args()
    MODULES.add(name)
    started = time.time()
    i = 0
    limit = opts.iterations if opts.iterations is not None else (
        None if opts.seconds else default_iterations)
    while (limit is None or i < limit) and (opts.seconds is None or
                                            time.time() - started < opts.seconds):
        rng = random.Random("%d:%d" % (opts.seed, i))
        try:
            one_iteration(rng)
            take_apart_garbage()
            if FOUND:
                raise Findings(FOUND[0])
        except Findings as f:
            sys.stderr.write("%s: finding at seed %d iteration %d:\n%s\n" % (name, opts.seed, i, f))
            return 1
        i += 1
    sys.stdout.write("%s: %d iterations in %.1f s (seed %d), nothing found\n"
                     % (name, i, time.time() - started, opts.seed))
    return 0
