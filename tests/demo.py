"""The main job on the stand-in platform: load the platform model and print
what it knows of the switch, its chip and its ports."""

from __future__ import print_function

import quorvel.platforms
from quorvel import demo_platform

import skorrel

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
