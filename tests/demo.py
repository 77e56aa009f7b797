"""The main job on the stand-in platform, as a switch runs it at boot:
configure the demo switch from a ports.conf and write every output file of
the SDK configuration, and each LED program's text and hex, into the folder
named on the command line, printing what was written.  Then show what the
platform model knows of the switch, its chip and its ports, and take a
snapshot of a small generated chip with the multicast checker.

Usage: demo.py FOLDER [PORTS_CONF]   (the ports.conf beside this script by
default)"""

from __future__ import print_function

import os
import sys

import quorvel.platforms
from quorvel import demo_platform

import pelvane
import skorrel

HERE = os.path.dirname(os.path.abspath(__file__))
if len(sys.argv) not in (2, 3):
    sys.exit(__doc__.split("\n\n")[-1])
folder = sys.argv[1]
ports_conf = sys.argv[2] if len(sys.argv) == 3 else os.path.join(HERE, "demo_ports.conf")

# Boot: the configuration object in dummy mode (no EEPROM tool, no devices),
# the ports.conf validated and read, every file asked for by its key.
platform = quorvel.platforms.platform = demo_platform.build()
os.environ.pop("BRINDLET_USE_TUNTAP", None)
cfg = pelvane.BCMConfig(platform, dummy=True)
cfg.read_config(ports_conf)
if not os.path.isdir(folder):
    os.makedirs(folder)


def write(name, text):
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        f.write(text)
    print("  %-14s %6d bytes %4d lines" % (name, len(text), text.count("\n") + 1))


print("configured %d ports of %s from %s (MAC mode %s); written to %s:" % (
    len(cfg.ports), platform.name, ports_conf, cfg.macmode, folder))
keys = ["portsbcm", "quillet", "linkdefaults", "phytab", "rcled", "rcphy", "ethertab",
        "ucodebcm", "sfptab", "hwdesc", "uft", "riot", "datapath", "sdk", "rcforwarding"]
keys += ["rcports_%d" % unit for unit in sorted(cfg.port_units)]
for key in keys:
    text = cfg.output(key)
    if text is None:
        print("  %-14s (the chip has no such file)" % key)
    else:
        write(key, text)
# The LED programs, assembled by the stand-in LED assembler of the tests.
for program in cfg._led_programs.values():
    program._tarquel = os.path.join(HERE, "tools", "tarquel")
programs, images = cfg.led_asm, cfg.led_hex
for controller in sorted(programs):
    write("led%d.asm" % controller, programs[controller])
    write("led%d.hex" % controller, images[controller])

platform = quorvel.platforms.platform = demo_platform.build()
switch = platform.switch
chip = switch.chip

print("chip %s: PCI %04x:%04x, part %s, SDK family %s" % (
    chip.__class__.__name__, chip.pci_vendor, chip.pci_device, chip.bcm_pn, chip.sw_base))
print("base port bitmap 0x%x" % chip.base_pbmp)
print("fragment directories: %s" % ", ".join(chip.chip_dir_list))
for name in chip.file_list:
    text = chip.get_config(name)
    print("  %-14s %s" % (name, "missing" if text is None else "%d bytes" % len(text)))

config = dict((p.label, p.default_mode) for p in switch.ports)
config["1"] = "4x"
config["2"] = "2x"
config["3"] = "disabled"
print("\n%-5s %-20s %-7s %-7s %-22s %-6s %s" % (
    "port", "class", "config", "mode", "interfaces", "leds", "hardware ports"))
for port in switch.ports:
    if not port.configurable(config):
        print("%-5s %-20s %-7s %s" % (port.label, type(port).__name__, config[port.label],
                                      "(not configured)"))
        continue
    mode = port.complete_mode(port, config[port.label])
    subs = range(port.num_logical_ports(mode))
    intfs = " ".join(port.hw_intf(mode, sub) for sub in subs)
    leds = " ".join(str(port.led_port_num(mode, sub)) for sub in subs)
    nums = " ".join(str(port.hw_port_num(mode, sub)) for sub in subs)
    print("%-5s %-20s %-7s %-7s %-22s %-6s %s" % (
        port.label, type(port).__name__, config[port.label], mode, intfs, leds, nums))
print("\nMAC addresses needed: %d" % sum(p.mac_addrs_contrib_total(config) for p in switch.ports))

# The multicast checker on a small generated chip: the chip shell stand-in
# answers from generated text; the snapshot is taken and summarised.
import os
import sys
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
import gen_chip

import murchet

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
