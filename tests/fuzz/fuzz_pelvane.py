"""Fuzz driver of pelvane: every stand-in platform (and generated ones)
configured from generated ports.conf texts, valid and malformed, its ports,
switch and chip now and then hostile (attributes that raise or answer the
wrong kind, units whose hash changes, huge numbers, objects whose end asks
the configuration again); then every output key, every section, every
configured-port operation and Config's device and file operations.

Nothing of the machine is touched: the module's `subprocess`, `syslog`,
`sys`, `os`, `shutil` and `open` are fakes for the whole run (the EEPROM
tool, `ip` and `brindlet` answer from generated texts; /etc/bcm.d and
/proc/bcm/knet/link are redirected), and files are written only inside a
temporary directory, the process's working directory while it runs.

See fuzzing.py for how it is run."""
import os
import shutil
import signal
import StringIO
import subprocess
import sys
import tempfile
import traceback

import fuzzing
from fuzzing import Hostile, HostileInt, HostileStr, guarded, mutate

sys.path.insert(0, os.path.join(os.path.dirname(fuzzing.TESTS), "bench"))

import glimmet  # noqa: E402,F401  (the platforms import it, once the run is in its directory)
import pelvane  # noqa: E402
import quorvel.kelvish  # noqa: E402
import quorvel.platform  # noqa: E402,F401  (the port map reads it through the package)
import quorvel.platforms  # noqa: E402
from quorvel import (demo_platform, descriptions, helix4, hurricane2, maverick,  # noqa: E402
                     tomahawk, tridentthree, tridenttwo)

import bench_config  # noqa: E402

KEYS = ("portsbcm", "quillet", "linkdefaults", "phytab", "rcled", "rcphy", "ethertab",
        "ucodebcm", "sfptab", "hwdesc", "uft", "riot", "datapath", "sdk", "rcforwarding")
MODES = ["1G", "10G", "25G", "40G", "50G", "100G", "4x10G", "4x25G", "2x50G", "2x40G", "2x20G",
         "40G/4", "100G/4", "2.5G", "13G", "20G", "1x", "2x", "4x", "/1", "/2", "/4",
         "loopback", "disabled", "Disabled", "DISABLE-me"]
ODD_MODES = ["", "4x", "100G/", "/", "x", "9" * 30 + "G", "\xff", "40G/4 ", " 40G", "40g",
             "loopback\n", "4x10G\n  40G", "\xc3\xa9", "%s", "None", "-1G", "0x10G"]
ODD_LABELS = ["", "0", "-1", "9" * 30, "01", " 1", "swp1", "Fabric-", "Fabric-Fabric-1", "#1",
              "\xff", "\xc3\xa9", "a b", "1.0", "0x1", "1e3", "DEFAULT", "__name__"]
TEXTS = MODES + ["1", "2", "5", "swp1", "swp2s0", "xe0", "ce4", "hg2", "ge1", "fp5", "switch0",
                 "QSFP28", "SFP+", "Fabric-1", "dev", "swp1@eth0", "rcports_0", "portsbcm"]
DEVICE_NAMES = ["swp1", "swp2", "swp10s3", "fp5", "switch0", "myswitch1", "swid0", "tun0",
                "eth0", "vpn-swp1", "swp1@eth0", "switch0@if3", "dev", "help", "up", "down",
                "address", "-n", "a b", "", "\n", "x" * 300, "swp\xff", "swp%s"]


def odd(rng, texts=TEXTS, depth=0):
    """fuzzing's odd values, with no number of a size a shift or a list
    would allocate by (the interpreter itself would ask for the memory)."""
    v = fuzzing.value(rng, texts, depth)
    if isinstance(v, (int, long)) and not isinstance(v, bool) and 5000 < abs(v) < 2 ** 63:
        return rng.choice([-1, 0, 63, 64, 135, 2 ** 63, 2 ** 64, 10 ** 30])
    return v


def count(rng):
    """A count a port may answer, up to the edges of the integers (but none
    whose list the interpreter could make: range() of it would run long)."""
    return rng.choice([-1, 0, 1, 2, 3, 4, 5, 8, None, "4", 2.5, True, HostileInt(3), [1], 4L,
                       2 ** 45, 2 ** 62, 2 ** 63, 10 ** 20, HostileInt(2 ** 40)])


COUNT_NAMES = set(["num_logical_ports", "num_phys", "max_logical_ports", "max_gang_size"])


def stable_unit(rng):
    """A unit of any kind whose hash stays what it is."""
    return rng.choice([0, 1, 2, 7, None, -1, 2 ** 63, "0", u"1", 1.0, True, (0,),
                       HostileInt(1), HostileStr("0")])


class Changing(object):
    """A value whose hash changes at every call and which equals nothing but
    itself; `int()` gives a unit number."""

    def __init__(self):
        self.n = 0

    def __hash__(self):
        self.n += 1
        return self.n

    def __int__(self):
        return 0

    __index__ = __int__

    def __str__(self):
        return "0"


# ---- the machine's interfaces, faked ----------------------------------------

class Exited(Exception):
    """sys.exit, in the module's eyes."""


class FakeSys(object):
    def __init__(self):
        self.stdout = StringIO.StringIO()
        self.tracebacklimit = 1000

    def exit(self, status=None):
        raise Exited(status)


class FakeSyslog(object):
    LOG_ERR = 3

    def syslog(self, *args):
        pass


class FakeSubprocess(object):
    """check_output from a table of answers (texts, failures or odd
    objects), keyed by the argument words; the commands of a run are kept."""
    CalledProcessError = subprocess.CalledProcessError

    def __init__(self):
        self.answers = {}
        self.argvs = []
        self.action = None

    def check_output(self, argv):
        self.argvs.append(argv)
        if len(self.argvs) > 5000:
            raise RuntimeError("fake subprocess: enough")
        if self.action is not None:
            self.action()
        try:
            key = tuple(argv)
            answer = self.answers.get(key, "")
        except TypeError:
            answer = ""
        if isinstance(answer, BaseException):
            raise answer
        return answer


class FakeFile(object):
    def __init__(self, text=""):
        self.data = StringIO.StringIO(text)

    def read(self, *a):
        return self.data.read(*a)

    def write(self, text):
        self.data.write(text)

    def close(self):
        pass


class FakeOpen(object):
    """open(): generated ports.conf texts by name, a sink for the knet
    driver's file; any other name is missing."""

    def __init__(self):
        self.files = {}
        self.fail = None

    def __call__(self, name, mode="r", *rest):
        if self.fail is not None:
            raise self.fail
        if name == "/proc/bcm/knet/link":
            return FakeFile()
        try:
            text = self.files.get(name)
        except TypeError:
            text = None
        if text is None:
            raise IOError(2, "No such file or directory", name)
        if not isinstance(text, str):
            return text
        return FakeFile(text)


class FakeOs(object):
    """os with /etc/ redirected into the run's directory and an environment
    of its own."""

    def __init__(self, root):
        self.root = root
        self.environ = {}
        fake = self

        class path(object):
            join = staticmethod(os.path.join)

            @staticmethod
            def isdir(p):
                return os.path.isdir(fake.redirect(p))

        self.path = path

    def redirect(self, p):
        if not isinstance(p, str) or not p.startswith("/etc/"):
            raise OSError(13, "Permission denied", p)
        return os.path.join(self.root, p.lstrip("/"))

    def mkdir(self, p):
        os.mkdir(self.redirect(p))


class FakeShutil(object):
    def __init__(self, fake_os):
        self.os = fake_os

    def copy(self, src, dst):
        if not isinstance(src, str) or not (src.startswith(self.os.root) or
                                            src.startswith(fuzzing.TESTS)):
            raise IOError(2, "No such file or directory", src)
        shutil.copy(src, self.os.redirect(dst))


class Fakes(object):
    def __init__(self, root):
        self.root = root
        os.makedirs(os.path.join(root, "etc"))
        self.bcm = os.path.join(root, "bcm_config")
        os.mkdir(self.bcm)
        with open(os.path.join(self.bcm, "rc.soc"), "w") as f:
            f.write("init all\n")
        self.sys = FakeSys()
        self.subprocess = FakeSubprocess()
        self.open = FakeOpen()
        self.os = FakeOs(root)
        self.shutil = FakeShutil(self.os)

    def install(self):
        pelvane.subprocess = self.subprocess
        pelvane.syslog = FakeSyslog()
        pelvane.sys = self.sys
        pelvane.os = self.os
        pelvane.shutil = self.shutil
        pelvane.open = self.open

    def reset(self, rng):
        """Fresh answers for an iteration."""
        self.sys.stdout = StringIO.StringIO()
        self.subprocess.argvs = []
        self.subprocess.action = None
        self.open.files = {}
        self.open.fail = None
        self.os.environ = {}
        if rng.random() < 0.3:
            self.os.environ["BRINDLET_USE_TUNTAP"] = rng.choice(["1", "1", "0", "", "1 ", u"1"])
        self.subprocess.answers = answers(rng)
        etc = os.path.join(self.root, "etc", "bcm.d")
        if os.path.isdir(etc) and rng.random() < 0.5:
            shutil.rmtree(etc)


VOSTREL = "/usr/quorvel/bin/vostrel"
BRINDLET = "/usr/lib/quorvel/brindlet"


def answers(rng):
    """What the EEPROM tool, ip and brindlet answer: the usual, mutated,
    failing, or of the wrong kind."""
    a = {
        (VOSTREL, "-r"): rng.choice(["64\n", "256\n", "0\n", "1\n", "-1\n", "4\n", " 300 ",
                                     "123456789012345678901234567890\n"]
                                    if rng.random() < 0.8 else ["0x10\n", "", "1 2"]),
        (VOSTREL, "-a"): rng.choice(["02:11:22:33:44:55\n", "02:00:00:ff:ff:f0\n",
                                     "ff:ff:ff:ff:ff:ff", "02:00:00:00:00:00"]
                                    if rng.random() < 0.8 else
                                    ["2:0:0:0:0", "02:00:00:00:00:100", "-1:0:0:0:0:0",
                                     "0x2:0:0:0:0:0"]),
        ("ip", "tuntap", "show"): "\n".join(
            rng.choice(["swp1: tap one_queue", "swp9: tap", "tun0: tun", "vpn-swp1: tap",
                        "fp5: tap", "swp2", ":x", "", "swp1@eth0: tap", "eth0: tap",
                        "switch0: tap", "swp3 : tap"]) for _ in range(rng.randint(0, 6))),
        ("ip", "-o", "link", "show"): "\n".join(
            rng.choice(["1: lo: <LOOPBACK,UP>", "5: swp1@eth0: <BROADCAST>",
                        "7: switch0: <BROADCAST>", "8: switch0@if3: <UP>", "9: xswitch1:",
                        "10:switch", "11: dev: <UP>", ":", "12: sw:itch:"])
            for _ in range(rng.randint(0, 6))),
    }
    for family in ("bcm_knet", "mlx_sx_netdev"):
        a[(BRINDLET, "show", "type", family)] = "\n".join(
            rng.choice(["swp1 type bcm_knet", "switch type x", "swid0", "swid", "swp2",
                        "swp1@eth0 x", " swp3", "eth0 x", "", "tun0"])
            for _ in range(rng.randint(0, 6)))
    for key in list(a):
        r = rng.random()
        if r < 0.1:
            a[key] = mutate(rng, a[key])
        elif r < 0.13:
            a[key] = rng.choice([subprocess.CalledProcessError(1, list(key)),
                                 OSError(2, "No such file or directory"), ValueError("odd"),
                                 KeyboardInterrupt(), None, 5, u"swp1: tap", ["swp1"],
                                 HostileStr("swp1: tap")])
    return a


# ---- platforms ---------------------------------------------------------------

DESCRIPTIONS = [hurricane2, tomahawk, tridenttwo, maverick, tridentthree, helix4, demo_platform]


def platform(rng):
    """A stand-in platform, or one generated as the benchmark makes it."""
    if rng.random() < 0.15:
        p, text, units = bench_config.build(rng.choice([4, 8, 16, 64, 132]))
        return p, text
    module = rng.choice(DESCRIPTIONS)
    p = module.build()
    text = None
    path = os.path.join(fuzzing.TESTS, "expected", getattr(p, "name", ""), "ports.conf")
    if os.path.exists(path):
        with open(path) as f:
            text = f.read()
    return p, text


def port_modes(port):
    """The port's own modes that are texts (the port may be hostile by now)."""
    try:
        modes = list(port.modes)
    except Exception:
        return []
    return [m for m in modes if isinstance(m, str)]


def port_key(port):
    try:
        label = port.label
        fabric = port.is_fabric is True
    except Exception:
        return "1"
    if not isinstance(label, str):
        return "1"
    return "Fabric-" + label if fabric else label


def ports_conf(rng, ports, expected):
    """A ports.conf text for these ports: the expected one, or generated
    entries with comments and blanks; one text in three is malformed (odd
    labels and modes, continuation lines, sections, lines without a
    separator, then perhaps mutated).  At most a few hundred lines of at
    most a few thousand characters: the interpreter's configuration parser
    takes time by the square of the number of bad lines, and of a line's
    length."""
    text = generated_conf(rng, ports, expected)
    lines = text.split("\n")
    if len(lines) > 300 or max(len(l) for l in lines) > 3000:
        text = "\n".join(l[:3000] for l in lines[:300])
    return text


def generated_conf(rng, ports, expected):
    if expected is not None and rng.random() < 0.2:
        return mutate(rng, expected) if rng.random() < 0.3 else expected
    malformed = rng.random() < 0.35
    lines = []
    for _ in range(rng.randint(0, 3 + len(ports))):
        r = rng.random()
        if r < 0.1:
            lines.append(rng.choice(["# a comment", "; another", "", "   ", "\t", "#1=40G"]))
            continue
        if malformed and r < 0.13:
            lines.append(rng.choice(["[ports]", "[other]", "[ports", "[]", "[DEFAULT]",
                                     "rem x"]))
            continue
        if malformed and r < 0.18:
            lines.append(rng.choice(["  continued", "\t40G", " =x"]))
            continue
        port = rng.choice(ports) if ports else None
        key = port_key(port) if port is not None and (not malformed or rng.random() < 0.7) \
            else rng.choice(ODD_LABELS)
        modes = port_modes(port) if port is not None else []
        if modes and rng.random() < 0.7:
            mode = rng.choice(modes)
        elif not malformed or rng.random() < 0.6:
            mode = rng.choice(MODES)
        else:
            mode = rng.choice(ODD_MODES)
        sep = rng.choice(["=", "=", ":", " = ", " : "] + (["==", ""] if malformed else []))
        lines.append(key + sep + mode)
    text = rng.choice(["\n", "\r\n"]).join(lines) + rng.choice(["\n", "", "\n\n"])
    if malformed and rng.random() < 0.4:
        text = mutate(rng, text)
    return text


# ---- hostile platform objects ---------------------------------------------

class Spoiler(object):
    """Stands for a platform port, switch or chip: it answers every
    attribute from the object it stands for, but now and then one of the
    `names` is answered wrongly: raised, of the wrong kind, huge, or after
    running `ACTION` (which asks the configuration again)."""

    def __init__(self, rng, target, names, odds):
        self.__dict__["_s"] = (rng, target, names, odds)

    def __getattr__(self, name):
        rng, target, names, odds = self.__dict__["_s"]
        real = getattr(target, name)
        if name not in names or rng.random() >= odds:
            return real
        return spoiled(rng, name, real)

    def __setattr__(self, name, v):
        setattr(self.__dict__["_s"][1], name, v)


def spoiled_value(rng, name):
    if name in COUNT_NAMES:
        v = count(rng)
    elif name == "unit":
        v = stable_unit(rng)
    else:
        v = odd(rng)
    if rng.random() < 0.1:  # its end, when the module lets it go, asks again
        return Reentrant(rng, v)
    return v


def spoiled(rng, name, real):
    k = rng.randrange(6)
    if k == 0:
        raise rng.choice([ValueError, TypeError, KeyError, AttributeError, RuntimeError,
                          IndexError, NotImplementedError])("spoiled " + name)
    if k == 1:
        fuzzing.act()
        return real
    if callable(real) and k < 5:
        def answer(*args, **kw):
            r = rng.random()
            if r < 0.3:
                return spoiled_value(rng, name)
            if r < 0.4:
                raise rng.choice([ValueError, TypeError, RuntimeError])("spoiled " + name)
            if r < 0.5:
                fuzzing.act()
            return real(*args, **kw)
        return answer
    return spoiled_value(rng, name)


PORT_NAMES = ["label", "is_fabric", "create_fabric", "unit", "default_mode", "modes", "leds",
              "hw_ports", "phy_layer", "phy_addrs", "phy_types", "phy_init", "sfp", "oversub",
              "prim_offset", "phy_id1", "sys_interface", "rx_polarity_flip", "tx_polarity_flip",
              "rx_lane_map", "tx_lane_map", "mdi_pair_map", "pre_emphasis", "drv_current",
              "pre_drv_current", "name_override", "disable_prefix_xlate", "autoneg_pref",
              "sdk_group", "gang_modes", "max_gang_size", "set_fiber_pref", "phy_init",
              "num_phys", "max_logical_ports", "complete_mode", "configurable", "port_mangler",
              "mac_addrs_contrib_total", "num_logical_ports", "hw_intf_prefix", "hw_intf",
              "hw_intf_num", "hw_port_num", "hw_pbmp", "led_port_num", "logical_port_num",
              "speed", "num_lanes", "rx_logical_polarity_flip", "tx_logical_polarity_flip",
              "phy_autodetect", "serdes_if_type", "set_leds", "an_c37", "an_c73"]
SWITCH_NAMES = ["chip", "ports", "glimmet", "led_controllers", "has_phy_ucode_mdio",
                "has_phy_ucode_spi_rom"]
CHIP_NAMES = ["sw_base", "dport_capable", "portmap_capable", "base_pbmp", "mixed_oversub",
              "needs_lane_config", "get_config", "bcm_config_path"]


METHOD_NAMES = ["num_logical_ports", "hw_intf_prefix", "hw_intf_num", "hw_port_num", "hw_pbmp",
                "logical_port_num", "set_leds", "rx_logical_polarity_flip",
                "tx_logical_polarity_flip", "serdes_if_type", "configurable", "port_mangler",
                "mac_addrs_contrib_total", "complete_mode", "phy_autodetect", "speed"]
PROPERTY_NAMES = ["num_phys", "max_logical_ports", "set_fiber_pref"]


def odd_class(rng, cls):
    """A class derived from a platform port's, some of whose operations
    answer odd values (counts among them) while others keep the base's."""
    def odd_method(name):
        base = getattr(cls, name, None)

        def method(self, *args, **kw):
            if rng.random() < 0.5 and base is not None:
                return base(self, *args, **kw)
            return spoiled_value(rng, name)
        return method

    members = dict((name, odd_method(name))
                   for name in rng.sample(METHOD_NAMES, rng.randint(1, 4)))
    for name in rng.sample(PROPERTY_NAMES, rng.randint(0, 1)):
        members[name] = property(lambda self, name=name: spoiled_value(rng, name))
    return type("Odd" + cls.__name__, (cls,), members)


def rebind(rng, port):
    """One attribute of a platform port set to something odd."""
    name = rng.choice(PORT_NAMES[:29])
    if name == "unit":
        v = stable_unit(rng)
    elif name in ("hw_ports",):
        v = rng.choice([[], ["xe"], ["xe1", "xe2"], ("ce" + "9" * 25,), ["x"], [None],
                        ["xe-1"], ["ce0"] * 8, odd(rng)])
    elif name == "sfp":
        v = descriptions.Sfp(odd(rng), rng.choice(["sdk_i2c", "i2c", "xsdk", "sdk", odd(rng)]),
                             odd(rng))
    elif name == "phy_init":
        v = rng.choice([{}, {"a": "b"}, {rng.choice(TEXTS + [5, None]): odd(rng)}, [1, 2],
                        odd(rng)])
    elif name in ("leds",):
        v = rng.choice([None, (0, 1), (1, 0), (Hostile(rng), 0), (odd(rng), 1), [], odd(rng)])
    else:
        v = odd(rng)
    guarded(setattr, port, name, v)


class Reentrant(object):
    """A value whose end asks the configuration again."""
    cfg = None

    def __init__(self, rng, v):
        self.rng, self.v = rng, v

    def __getattr__(self, name):
        return getattr(self.v, name)

    def __int__(self):
        return int(self.v) if isinstance(self.v, (int, long)) else 0

    __index__ = __long__ = __int__

    def __str__(self):
        return str(self.v)

    def __del__(self):
        cfg = Reentrant.cfg
        if cfg is not None and Reentrant.depth == 0:
            Reentrant.depth += 1
            try:
                again(self.rng, cfg)
            finally:
                Reentrant.depth -= 1


Reentrant.depth = 0

# SystemErrors met where they could not be raised (an object's end).
LATE = []


def again(rng, cfg):
    """The configuration asked something from inside one of its own walks;
    it may change the ports being walked."""
    try:
        k = rng.randrange(8)
        if k == 0:
            del cfg.ports[rng.randrange(len(cfg.ports) + 1):]
        elif k == 1:
            cfg.ports = []
        elif k == 2:
            cfg.output(rng.choice(KEYS))
        elif k == 3:
            cfg._calculate_configuration()
        elif k == 4:
            cfg.config_map.clear()
        elif k == 5:
            ports = cfg.platform.switch.ports
            if isinstance(ports, list) and ports:
                del ports[rng.randrange(len(ports)):]
        elif k == 6:
            cfg.units = set([rng.choice([0, 1, None])])
        else:
            cfg.rcports(0)
    except SystemError:
        LATE.append(traceback.format_exc())
    except (Exception, KeyboardInterrupt):
        pass


def hostile(rng, p):
    """Now and then makes the platform's ports, switch or chip hostile."""
    sw = p.switch
    ports = sw.ports
    for i, port in enumerate(ports):
        r = rng.random()
        if r < 0.05:
            ports[i] = Spoiler(rng, port, set(PORT_NAMES), rng.choice([0.05, 0.3]))
        elif r < 0.12:
            rebind(rng, port)
        elif r < 0.16 and isinstance(port.__class__, type):
            port.__class__ = odd_class(rng, port.__class__)
        elif r < 0.14:
            guarded(setattr, port, rng.choice(["label", "rx_polarity_flip", "leds", "sfp",
                                               "hw_ports", "phy_addrs"]),
                    Reentrant(rng, getattr(port, "label", None)))
        elif r < 0.15:
            port.unit = Changing()
    if rng.random() < 0.08:
        ports.append(rng.choice([None, 5, "1", Hostile(rng), object()]))
    if rng.random() < 0.05:
        ports[:] = ports + ports[:rng.randint(0, 3)]  # the same port twice
    if rng.random() < 0.08:
        sw.chip = Spoiler(rng, sw.chip, set(CHIP_NAMES), 0.3)
    if rng.random() < 0.05:
        setattr(sw.chip, rng.choice(CHIP_NAMES[:6]),
                rng.choice([True, False, 1, None, "bcm", "mlx", "vx", "x", odd(rng)]))
    if rng.random() < 0.05:
        sw.glimmet = rng.choice([None, {}, [], Hostile(rng), lambda: Hostile(rng), odd(rng)])
    if rng.random() < 0.05:
        sw.led_controllers = rng.choice([None, (0,), (0, 1, 7), [Hostile(rng)], "01", odd(rng)])
    if rng.random() < 0.05:
        p.switch = Spoiler(rng, sw, set(SWITCH_NAMES), 0.2)
    if rng.random() < 0.03:
        p.name = odd(rng)


def set_action(rng, cfg):
    """Hostile texts and integers, and spoiled attributes, ask again."""
    if rng.random() < 0.3:
        depth = []

        def act():
            if not depth and rng.random() < 0.3:
                depth.append(1)
                try:
                    again(rng, cfg)
                finally:
                    depth.pop()
        fuzzing.ACTION[0] = act
    Reentrant.cfg = cfg


# ---- the run -----------------------------------------------------------------

FAKES = []


def construct(rng, p):
    cls = rng.choice([pelvane.BCMConfig, pelvane.BCMConfig, pelvane.SDKConfig, pelvane.Config])
    dummy = rng.choice([True, True, True, False, 1, 0, None, "yes"])
    args = [p]
    kw = {}
    if rng.random() < 0.5:
        kw = dict(verbose=rng.choice([False, True]), exploded=rng.choice([False, True, 1]),
                  dummy=dummy)
    else:
        args += [rng.choice([False, True]), rng.choice([False, True]), dummy]
    return guarded(cls, *args, **kw)


def configure(rng, cfg, text, fakes):
    if rng.random() < 0.6:
        guarded(cfg.config, text if rng.random() < 0.95 else odd(rng))
        return
    name = rng.choice(["ports.conf", "/etc/quorvel/ports.conf", u"ports.conf", "missing"])
    if name != "missing":
        fakes.open.files["ports.conf"] = fakes.open.files[
            "/etc/quorvel/ports.conf"] = text
    del quorvel.kelvish.findings[:]
    if rng.random() < 0.05:
        quorvel.kelvish.findings.append("error: line 1")
    if rng.random() < 0.05:
        fakes.open.fail = rng.choice([IOError(13, "Permission denied"), ValueError("odd")])
    guarded(cfg.read_config, name)
    fakes.open.fail = None
    del quorvel.kelvish.findings[:]


def subs(rng, port):
    n = guarded(getattr, port, "num_logical_ports")
    n = n if isinstance(n, int) and 0 <= n < 64 else 1
    return rng.choice(range(n) + [0, -1, n, 4, 2 ** 63, None, "0", 1.0, HostileInt(0)])


def port_questions(rng, cfg, port):
    """Every operation of a configured port, with sub-ports of its own and
    odd ones."""
    ops = fuzzing.operations(port.__class__)
    for name, descr in ops:
        if name == "__init__" or rng.random() < 0.4:
            continue
        if isinstance(descr, property):
            guarded(getattr, port, name)
        elif name.startswith("td3_"):
            portmap = []
            if rng.random() < 0.2:
                portmap = rng.choice([None, (), "x", {}, Hostile(rng), set()])
            target = rng.choice([port, port, rng.choice(cfg.ports or [port]), odd(rng)])
            guarded(getattr(port, name), target, portmap, subs(rng, port))
        elif name == "sdk_config_intf":
            guarded(port.sdk_config_intf, subs(rng, port),
                    rng.choice([None, 0, 1, 2, 5, odd(rng)]))
        elif name == "set_leds":
            guarded(port.set_leds, rng.choice([0, 1, odd(rng)]), subs(rng, port),
                    rng.choice([[0], [0, 1, 2, 3], [], odd(rng)]))
        elif rng.random() < 0.2:
            guarded(fuzzing.call_any, rng, port, name, descr, TEXTS)
        else:
            guarded(getattr(port, name), subs(rng, port))


def new_port(rng, cfg):
    """A configured port of any class made from odd arguments."""
    cls = rng.choice([pelvane.SDKConfiguredPort, pelvane.SDKConfiguredMappedPort,
                      pelvane.BCMConfiguredPort, pelvane.BCMConfiguredMappedPort,
                      pelvane.BCMConfiguredDportPort, pelvane.ConfiguredPort])
    ports = guarded(lambda: list(cfg.platform.switch.ports)) or [None]
    init = getattr(cls.__init__, "im_func", None)
    names = init.func_code.co_varnames[1:init.func_code.co_argcount]
    kw = {}
    for n in names:
        if n == "physical_port":
            kw[n] = rng.choice(ports + [odd(rng)])
        elif n == "mode":
            kw[n] = rng.choice(MODES + ODD_MODES + port_modes(kw.get("physical_port")))
        elif n in ("port_base", "if_port_base", "mac_index"):
                kw[n] = rng.choice([0, 1, 5, 64, 135, -1, None, 2 ** 63, odd(rng)])
        else:
            kw[n] = odd(rng)
    if rng.random() < 0.1 and kw:
        del kw[rng.choice(list(kw))]
    return guarded(cls, **kw)


def device_operations(rng, cfg, fakes):
    """setmac, maketap, makekernnet, destroyints, makemacaddr, the MAC
    mode, against the fake tools (dummy or not)."""
    if rng.random() < 0.5:
        guarded(setattr, cfg, "dummy", rng.choice([False, True, 0]))
        for tool in ("iproute2", "brindlet"):
            if rng.random() < 0.7:
                cls = pelvane.IPRoute2 if tool == "iproute2" else pelvane.Brindlet
                guarded(setattr, cfg, tool, cls(rng.choice([False, False, True])))
            elif rng.random() < 0.1:
                guarded(setattr, cfg, tool, odd(rng))
    if rng.random() < 0.2:
        guarded(setattr, cfg, "macbase", rng.choice(
            [[2, 0, 0, 0, 0, 0], [2, 0, 0, 255, 255, 240], None, [1, 2, 3], [0] * 6 + [9],
             [2 ** 63] * 6, [-1] * 6, (2, 0, 0, 0, 0, 1), "020000", [Hostile(rng)] * 6,
             odd(rng)]))
    if rng.random() < 0.2:
        guarded(cfg.set_macmode, rng.choice(["l3-only", "standard", odd(rng)]))
    for _ in range(rng.randint(1, 6)):
        name = rng.choice(DEVICE_NAMES) if rng.random() < 0.8 else odd(rng)
        index = rng.choice([0, 1, 2565, 255, -1, 0xFFFFFF, 2 ** 24, 2 ** 63, None, "1",
                            HostileInt(3), odd(rng)])
        names = set(rng.sample(DEVICE_NAMES, rng.randint(0, 5)))
        if rng.random() < 0.5:
            names.add(name) if isinstance(name, str) else None
        if rng.random() < 0.1:
            names = rng.choice([list(names), frozenset(names), None, Hostile(rng), {}])
        k = rng.randrange(6)
        if k == 0:
            guarded(cfg.setmac, name, index)
        elif k == 1:
            guarded(cfg.maketap, name, index, names)
        elif k == 2:
            guarded(cfg.makekernnet, name, index, stable_unit(rng), names)
        elif k == 3:
            guarded(cfg.destroyints, names)
        elif k == 4:
            guarded(cfg.makemacaddr, rng.choice([[2, 0, 0, 0, 0, 0], [0] * 6, [255] * 6,
                                                 [1, 2, 3], None, odd(rng)]), index)
        else:
            guarded(cfg.find_hw_port, rng.choice(TEXTS + ODD_LABELS + [odd(rng)]))


def file_operations(rng, cfg, fakes):
    """init_config (its copy into the redirected /etc/bcm.d) and
    write_config, only into the run's directory."""
    if rng.random() < 0.5:
        chip = guarded(lambda: cfg.platform.switch.chip)
        if chip is not None:
            guarded(setattr, chip, "bcm_config_path",
                    rng.choice([fakes.bcm + "/", fakes.bcm, fakes.root + "/none/", None]))
        guarded(cfg.init_config)
    if rng.random() < 0.3:
        guarded(setattr, cfg, "config_map", rng.choice([
            {"1": "40G", "10": "4x10G", "2": "100G", "Fabric-3": "x"},
            {"1": "4x10G\n2=1G"}, {"1": "40G", "x": "1G"}, {u"1": u"\xe9"}, {},
            {"1": Hostile(rng)}, {HostileStr("1"): "1G"}, {"9" * 30: "1G", "-1": "1G"},
            {" 1": "1G", "1\n": "1G"}, odd(rng)]))
    directory = fakes.root
    k = rng.randrange(7)
    if k == 0:
        path = os.path.join(directory, "ports.conf")
    elif k == 1:
        path = "ports.conf"
    elif k == 2:  # a link to a file
        path = os.path.join(directory, "link.conf")
        target = os.path.join(directory, "target.conf")
        with open(target, "w") as f:
            f.write("old\n")
        if not os.path.lexists(path):
            os.symlink(target, path)
    elif k == 3:  # a dangling link into the run's directory
        path = os.path.join(directory, "dangling.conf")
        if not os.path.lexists(path):
            os.symlink(os.path.join(directory, "gone", "x.conf"), path)
    elif k == 4:
        path = os.path.join(directory, "x" * rng.choice([200, 255, 256, 5000]))
    elif k == 5:
        path = os.path.join(directory, "absent", "ports.conf")
    else:
        path = rng.choice([u"ports.conf", u"p\xe9rts.conf", "a\0b", None, 5, Hostile(rng)])
    guarded(cfg.write_config, path)


def tool_wrappers(rng):
    """The wrappers on their own, dummy or through the fake tools."""
    v = guarded(pelvane.Vostrel, rng.choice([False, True, 0, None, "x"]),
                rng.choice(["bcm", "mlx", None, odd(rng)]))
    if v is not None:
        guarded(getattr, v, "macaddr")
        guarded(getattr, v, "macrange")
    for cls in (pelvane.IPRoute2, pelvane.Brindlet):
        t = guarded(cls, rng.choice([False, True, 1]))
        if t is not None:
            guarded(t.run, rng.choice([["link", "show"], [], ["tuntap", "show"], "x", None,
                                       ("a",), [Hostile(rng)], odd(rng)]))


def one(rng):
    fakes = FAKES[0]
    fakes.reset(rng)
    p, expected = platform(rng)
    quorvel.platforms.platform = p
    p.switch.chip.bcm_config_path = fakes.bcm + "/"
    ports = list(p.switch.ports)
    text = ports_conf(rng, ports, expected)
    if rng.random() < 0.5:
        hostile(rng, p)
    cfg = construct(rng, p)
    if cfg is None:
        tool_wrappers(rng)
        return
    try:
        set_action(rng, cfg)
        if rng.random() < 0.2:
            fakes.subprocess.action = lambda: fuzzing.act()
        configure(rng, cfg, text, fakes)
        if rng.random() < 0.2:  # a second configuration over the first
            configure(rng, cfg, ports_conf(rng, ports, expected), fakes)
        is_sdk = isinstance(cfg, pelvane.SDKConfig)
        if is_sdk:
            keys = list(KEYS)
            units = guarded(lambda: sorted(cfg.units)) or [0]
            keys += ["rcports_%s" % u for u in units]
            if rng.random() < 0.3:
                keys.append(rng.choice(["rcports_", "rcports_x", "rcports_-1", "rcports_9",
                                        "rcports_99999999999999999999", "rcports__1",
                                        "rcports_0_1", u"portsbcm", u"\xe9", None, 5,
                                        HostileStr("portsbcm"), "", "PORTSBCM"]))
            rng.shuffle(keys)
            for key in keys[:rng.randint(1, len(keys))]:
                guarded(cfg.output, key)
            for name, descr in fuzzing.operations(cfg.__class__):
                if isinstance(descr, property) and rng.random() < 0.3:
                    guarded(getattr, cfg, name)
                elif name in ("rcports", "_compress_portlist", "_calculate_gangs",
                              "_calculate_units", "_calculate_leds", "set_macmode",
                              "_linkdefaults", "_linkdefaults_vx", "find_hw_port",
                              "_complete_modes") and rng.random() < 0.2:
                    if name == "_compress_portlist" and rng.random() < 0.7:
                        guarded(cfg._compress_portlist, [
                            rng.choice(["xe1", "xe2", "xe3", "ce0", "ge10", "hg2", "xe", "x",
                                        "xe-1", "xe" + "9" * 25, "xe00", u"xe5", odd(rng)])
                            for _ in range(rng.randint(0, 8))])
                    elif name == "_calculate_gangs" and rng.random() < 0.7:
                        guarded(cfg._calculate_gangs, rng.choice(
                            [list(cfg.ports), cfg.ports[::-1], cfg.ports * 2, [],
                             [odd(rng)], odd(rng)]))
                    else:
                        guarded(fuzzing.call_any, rng, cfg, name, descr, TEXTS)
            if rng.random() < 0.02:
                programs = guarded(lambda: list(cfg._led_programs.values())) or []
                for program in programs:
                    program._tarquel = os.path.join(fuzzing.TESTS, "tools", "tarquel")
                guarded(getattr, cfg, "led_hex")
        configured = guarded(lambda: list(cfg.ports)) or []
        for port in rng.sample(configured, min(len(configured), rng.randint(0, 4))):
            port_questions(rng, cfg, port)
        for _ in range(rng.randint(0, 2)):
            port = new_port(rng, cfg)
            if port is not None:
                port_questions(rng, cfg, port)
        if rng.random() < 0.5:
            device_operations(rng, cfg, fakes)
        if rng.random() < 0.3:
            file_operations(rng, cfg, fakes)
        if is_sdk and rng.random() < 0.3:  # the outputs again, after all that
            guarded(cfg.output, rng.choice(KEYS))
        if rng.random() < 0.1:
            tool_wrappers(rng)
    finally:
        fuzzing.ACTION[0] = None
        Reentrant.cfg = None
        fakes.subprocess.action = None
    if LATE:
        raise fuzzing.Findings(LATE.pop())


def main():
    sys.path[:] = [os.path.abspath(p) for p in sys.path]
    root = tempfile.mkdtemp(prefix="fuzz_pelvane.")
    saved = os.getcwd()
    # A run stopped from outside (a time limit) still removes its directory.

    def stopped(*args):
        shutil.rmtree(root, ignore_errors=True)
        os._exit(128 + signal.SIGTERM)
    signal.signal(signal.SIGTERM, stopped)
    try:
        fakes = Fakes(root)
        FAKES.append(fakes)
        fakes.install()
        os.chdir(root)
        return fuzzing.main("pelvane", one)
    finally:
        os.chdir(saved)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
