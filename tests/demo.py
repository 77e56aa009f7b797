"""The main job on the stand-in platform, as a switch runs it at boot:
configure the demo switch from a ports.conf and write every output file of
the SDK configuration, and each LED program's text and hex, into the folder
named on the command line, printing what was written.  Then show what the
platform model knows of the switch, its chip and its ports in the
configuration just read, and take a snapshot of a small generated chip with
the multicast checker.

A ports.conf that cannot be read ends the run with the error's message on
standard error and exit status 1.

Usage: demo.py FOLDER [PORTS_CONF]   (the ports.conf beside this script by
default)"""

from __future__ import print_function

import ConfigParser
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "bench"))

import quorvel.platforms  # noqa: E402
from quorvel import demo_platform  # noqa: E402

import gen_chip  # noqa: E402
import murchet  # noqa: E402
import pelvane  # noqa: E402

TARQUEL = os.path.join(HERE, "tools", "tarquel")  # the stand-in LED assembler

if len(sys.argv) not in (2, 3):
    sys.exit(__doc__.split("\n\n")[-1])
folder = sys.argv[1]
ports_conf = sys.argv[2] if len(sys.argv) == 3 else os.path.join(HERE, "demo_ports.conf")


def with_assembler(controller_class):
    """The LED controller class, deriving one that runs the stand-in LED
    assembler.  The modules give no public way to name the assembler: a
    controller runs the program its class attribute `_tarquel` names
    (/usr/lib/quorvel/tarquel by default), and the platform description
    chooses the controller classes (the switch's `glimmet`)."""

    class Controller(controller_class):
        _tarquel = TARQUEL

    Controller.__name__ = controller_class.__name__
    return Controller


def one_line(error):
    """The error's message on one line."""
    return " ".join(part.strip() for part in str(error).splitlines() if part.strip())


# Boot: the configuration object in dummy mode (no EEPROM tool, no devices),
# the ports.conf validated and read, every file asked for by its key.
platform = quorvel.platforms.platform = demo_platform.build()
switch = platform.switch
switch.glimmet = dict((n, with_assembler(c)) for n, c in switch.glimmet.items())
os.environ.pop("BRINDLET_USE_TUNTAP", None)
cfg = pelvane.BCMConfig(platform, dummy=True)
try:
    cfg.read_config(ports_conf)
except (EnvironmentError, ConfigParser.Error, RuntimeError) as e:
    # NoSuchMode, for a mode the port does not have, is a RuntimeError.
    sys.exit("demo.py: %s: %s: %s" % (ports_conf, type(e).__name__, one_line(e)))
if not os.path.isdir(folder):
    os.makedirs(folder)


def write(name, text):
    with open(os.path.join(folder, name), "w") as f:
        f.write(text)
    # Lines as wc -l counts them: the line feeds.
    print("  %-14s %6d %5d" % (name, len(text), text.count("\n")))


print("configured %d ports of %s from %s (MAC mode %s); written to %s:" % (
    len(cfg.ports), platform.name, ports_conf, cfg.macmode, folder))
print("  %-14s %6s %5s" % ("file", "bytes", "lines"))
keys = ["portsbcm", "quillet", "linkdefaults", "phytab", "rcled", "rcphy", "ethertab",
        "ucodebcm", "sfptab", "hwdesc", "uft", "riot", "datapath", "sdk", "rcforwarding"]
keys += ["rcports_%d" % unit for unit in sorted(cfg.port_units)]
for key in keys:
    text = cfg.output(key)
    if text is None:
        print("  %-14s (the chip has no such file)" % key)
    else:
        write(key, text)
programs, images = cfg.led_asm, cfg.led_hex
for controller in sorted(programs):
    write("led%d.asm" % controller, programs[controller])
    write("led%d.hex" % controller, images[controller])

chip = switch.chip
print("\nchip %s: PCI %04x:%04x, part %s, SDK family %s" % (
    chip.__class__.__name__, chip.pci_vendor, chip.pci_device, chip.bcm_pn, chip.sw_base))
print("base port bitmap 0x%x" % chip.base_pbmp)
print("fragment directories: %s" % ", ".join(chip.chip_dir_list))
for name in chip.file_list:
    text = chip.get_config(name)
    print("  %-14s %s" % (name, "missing" if text is None else "%d bytes" % len(text)))

# The platform ports in the configuration just read: what ports.conf says of
# each ("-" where it says nothing and the port keeps its default mode), and
# the platform model's answers in the mode each was configured in.
configured = dict((id(cp.physical_port), cp) for cp in cfg.ports)
print("\n%-5s %-20s %-10s %-7s %-22s %-8s %s" % (
    "port", "class", "ports.conf", "mode", "interfaces", "leds", "hardware ports"))
for port in switch.ports:
    key = ("Fabric-" if port.is_fabric else "") + port.label
    written = cfg.config_map.get(key, "-")
    cp = configured.get(id(port))
    if cp is None:
        print("%-5s %-20s %-10s %s" % (port.label, type(port).__name__, written,
                                       "(not configured)"))
        continue
    subs = range(port.num_logical_ports(cp.mode))
    intfs = " ".join(port.hw_intf(cp.mode, sub) for sub in subs)
    leds = " ".join(str(port.led_port_num(cp.mode, sub)) for sub in subs)
    nums = " ".join(str(port.hw_port_num(cp.mode, sub)) for sub in subs)
    print("%-5s %-20s %-10s %-7s %-22s %-8s %s" % (
        port.label, type(port).__name__, written, cp.mode, intfs, leds, nums))
print("\nMAC addresses needed: %d" % sum(p.mac_addrs_contrib_total(cfg.config_map)
                                         for p in switch.ports))

# The multicast checker on a small generated chip: the chip shell stand-in
# answers from generated text; the snapshot is taken and summarised.
gen_chip.install(gen_chip.make_chip(scale=1.0 / 64))
asic = murchet.Asic()
routes = sorted(asic.get_mroutes())
print("\nmulticast snapshot: %d ports, %d L3 interfaces, %d VLAN translations, "
      "%d replication groups, %d routes" % (
          len(asic.portmap), len(asic.l3_intfs), len(asic.vlan_xlate),
          len(asic.replication_groups), len(routes)))
print("the first route as the checker dumps it:")
lines = str(asic).splitlines()
end = next(i for i in range(2, len(lines)) if not lines[i].startswith(" "))
for line in lines[1:end]:
    print("  " + line)
