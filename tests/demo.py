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
