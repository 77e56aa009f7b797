#!/usr/bin/env python2.7
"""The main job on the stand-in platform, as a switch runs it at boot:
configure the demo switch from a ports.conf (PORTS_CONF, by default the
demo_ports.conf beside this script) and write every output file of the SDK
configuration, and each LED program's text and hex, into FOLDER, printing
what was written.  Then show what the platform model knows of the switch,
its chip and its ports in the configuration just read, and take a snapshot
of a small generated chip with the multicast checker.

Any failure ends the run with one line on standard error, naming what
failed, the error's type and its message, and exit status 1; a wrong
command line, with the usage and exit status 2.  A reader that closes the
output early (demo.py FOLDER | head) ends the run quietly, by the signal
SIGPIPE, as it ends ls."""

from __future__ import print_function

import argparse
import contextlib
import os
import signal
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TARQUEL = os.path.join(HERE, "tools", "tarquel")  # the stand-in LED assembler


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="demo.py", description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder", metavar="FOLDER",
                        help="where the outputs are written (made when missing)")
    parser.add_argument("ports_conf", metavar="PORTS_CONF", nargs="?",
                        default=os.path.join(HERE, "demo_ports.conf"),
                        help="the ports.conf to read (by default demo_ports.conf, "
                        "beside this script)")
    return parser.parse_args(argv)


def one_line(error):
    """The error's message on one line."""
    return " ".join(part.strip() for part in str(error).splitlines() if part.strip())


class Failed(Exception):
    """A step of the job failed: the one line that reports it."""


@contextlib.contextmanager
def step(what):
    """Reports a failure of the block as Failed, naming `what`."""
    try:
        yield
    except Failed:
        raise
    except Exception as e:
        raise Failed("%s: %s: %s" % (what, type(e).__name__, one_line(e)))


def with_assembler(controller_class):
    """The LED controller class, deriving one that runs the stand-in LED
    assembler.  A controller runs the program its class attribute `_tarquel`
    names (/usr/lib/quorvel/tarquel by default), and the platform description
    chooses the controller classes (the switch's `glimmet`)."""

    class Controller(controller_class):
        _tarquel = TARQUEL

    Controller.__name__ = controller_class.__name__
    return Controller


def write(folder, name, text):
    with step("writing " + os.path.join(folder, name)):
        with open(os.path.join(folder, name), "w") as f:
            f.write(text)
    # Lines as wc -l counts them: the line feeds.
    print("  %-14s %6d %5d" % (name, len(text), text.count("\n")))


def main(args):
    folder, ports_conf = args.folder, args.ports_conf
    with step("loading the modules and the platform package"):
        sys.path.insert(0, os.path.join(HERE, "..", "bench"))
        import quorvel.platforms
        from quorvel import demo_platform
        import gen_chip
        import murchet
        import pelvane

    # Boot: the configuration object in dummy mode (no EEPROM tool, no
    # devices), the ports.conf validated and read, every file asked for by
    # its key.
    with step("configuring the demo switch"):
        platform = quorvel.platforms.platform = demo_platform.build()
        switch = platform.switch
        switch.glimmet = dict((n, with_assembler(c)) for n, c in switch.glimmet.items())
        os.environ.pop("BRINDLET_USE_TUNTAP", None)
        cfg = pelvane.BCMConfig(platform, dummy=True)
    with step(ports_conf):
        # NoSuchMode, for a mode the port does not have, is a RuntimeError.
        # Where the platform's validator has findings, read_config has it
        # report them and then asks the process to end.
        try:
            cfg.read_config(ports_conf)
        except SystemExit as e:
            raise Failed("%s: the validator found errors: SystemExit: status %s" % (
                ports_conf, e.code))
    with step("making the folder " + folder):
        if not os.path.isdir(folder):
            os.makedirs(folder)

    print("configured %d ports of %s from %s (MAC mode %s); written to %s:" % (
        len(cfg.ports), platform.name, ports_conf, cfg.macmode, folder))
    print("  %-14s %6s %5s" % ("file", "bytes", "lines"))
    keys = ["portsbcm", "quillet", "linkdefaults", "phytab", "rcled", "rcphy", "ethertab",
            "ucodebcm", "sfptab", "hwdesc", "uft", "riot", "datapath", "sdk", "rcforwarding"]
    keys += ["rcports_%d" % unit for unit in sorted(cfg.port_units)]
    for key in keys:
        with step("the output " + key):
            text = cfg.output(key)
        if text is None:
            print("  %-14s (the chip has no such file)" % key)
        else:
            write(folder, key, text)
    with step("the LED programs"):
        programs = cfg.led_asm
    with step("assembling the LED programs with " + TARQUEL):
        images = cfg.led_hex
    for controller in sorted(programs):
        write(folder, "led%d.asm" % controller, programs[controller])
        write(folder, "led%d.hex" % controller, images[controller])

    with step("describing the chip"):
        chip = switch.chip
        print("\nchip %s: PCI %04x:%04x, part %s, SDK family %s" % (
            chip.__class__.__name__, chip.pci_vendor, chip.pci_device, chip.bcm_pn,
            chip.sw_base))
        print("base port bitmap 0x%x" % chip.base_pbmp)
        print("fragment directories: %s" % ", ".join(chip.chip_dir_list))
        for name in chip.file_list:
            text = chip.get_config(name)
            print("  %-14s %s" % (name, "missing" if text is None else "%d bytes" % len(text)))

    # The platform ports in the configuration just read: the mode ports.conf
    # gives each as read, a shorthand completed (config_map; "-" where the
    # file has no line and the port keeps its default mode), the Linux
    # devices and SDK interfaces the port table (quillet) gives its logical
    # ports, and the platform model's answers in the mode each was
    # configured in.
    with step("describing the ports"):
        configured = dict((id(cp.physical_port), cp) for cp in cfg.ports)
        sdk_intf = dict(row.split("\t")[:2] for row in cfg.output("quillet").splitlines()[1:])
        rows = [("label", "class", "ports.conf", "mode", "Linux devices", "SDK interfaces",
                 "hw interfaces", "LED numbers", "hw port numbers")]
        for port in switch.ports:
            key = ("Fabric-" if port.is_fabric else "") + port.label
            row = [port.label, type(port).__name__, cfg.config_map.get(key, "-")]
            cp = configured.get(id(port))
            if cp is None:
                rows.append(row + ["(not configured)"])
                continue
            subs = range(port.num_logical_ports(cp.mode))
            devices = [cp.linux_port_name(sub) for sub in subs]
            rows.append(row + [cp.mode] + [" ".join(words) for words in (
                devices, [sdk_intf[d] for d in devices],
                [port.hw_intf(cp.mode, sub) for sub in subs],
                [str(port.led_port_num(cp.mode, sub)) for sub in subs],
                [str(port.hw_port_num(cp.mode, sub)) for sub in subs])])
        widths = [max(len(row[i]) for row in rows if i < len(row) - 1)
                  for i in range(len(rows[0]) - 1)]
        print()
        for row in rows:
            print("  ".join(cell.ljust(width) for cell, width in zip(row[:-1], widths))
                  + "  " + row[-1])
        print("\nMAC addresses needed: %d" % sum(p.mac_addrs_contrib_total(cfg.config_map)
                                                 for p in switch.ports))

    # The multicast checker on a small generated chip: the chip shell
    # stand-in answers from generated text; the snapshot is taken and
    # summarised.
    with step("the multicast snapshot"):
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
    return 0


if __name__ == "__main__":
    # The interpreter ignores SIGPIPE, so that a write to a closed pipe
    # raises IOError; the default action ends the demo quietly instead.
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    arguments = parse_args(sys.argv[1:])
    try:
        with step("the demo"):
            status = main(arguments)
    except Failed as e:
        sys.exit("demo.py: %s" % e)
    sys.exit(status)
