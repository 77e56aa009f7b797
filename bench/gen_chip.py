"""A large switch chip as its SDK shell shows it, for benchmarks.

make_chip(scale) builds, deterministically, the shell's answers for a chip of
512 ports, 8,192 L3 interfaces, 4,096 VLAN translations, 16,384 replication
groups of 16 members on average and 32,768 multicast routes, each count
multiplied by `scale`; install(chip) puts them into the stand-ins of the chip
shell client, the port table and the VRF database (tests/standins).

The Chip also keeps what it was made of (ports, interfaces, groups, routes),
for benchmarks that build the kernel's side of the same switch.
"""

import marshal
import random
import resource

BASE = dict(ports=512, l3_intfs=8192, xlates=4096, groups=16384, members=16, routes=32768)

VRF_NAMES = {0: "default", 1: "vrf-red", 2: "vrf-blue", 3: "mgmt"}


class Chip(object):
    """The answers and the facts of one generated chip."""

    def __init__(self):
        self.answers = {}       # shell command -> answer text
        self.counts = {}        # the sizes it was made with
        self.ports = {}         # chip port name -> Linux port name
        self.linux_ports = []   # Linux port names, in port order
        self.dports = []        # chip port names, in port order (logical port = index + 1)
        self.port_vids = {}     # chip port name -> port default VLAN
        self.l3_intfs = {}      # L3 interface -> VLAN
        self.vlans = []         # VLAN ids
        self.untagged = {}      # VLAN -> chip port names untagged in it
        self.tagged = {}        # VLAN -> its one tagged chip port name
        self.xlates = []        # (logical port, old VLAN, new VLAN), in answer order
        self.groups = {}        # group id -> [(chip port name, encap id)], -1: bridged
        self.routes = []        # (VRF id, source, group, incoming VLAN, group id)
        self.vrf_names = dict(VRF_NAMES)
        self.tables = {}        # (memory table, VLAN) -> entries, for gettable


def _join(lines):
    lines.append("")
    return "\n".join(lines)


def make_chip(scale=1.0, seed=1, riot=False, mem_table=False, plan=None):
    """The chip at `scale` times the base size.

    riot: the chip routes on VLANs through an L3 incoming-interface table.
    mem_table: also give the route memory dump ("dump chg ...").
    plan: called with the Chip once its facts are made and before they are
    written out as answers; it may change the translations, groups and
    routes (for a benchmark whose kernel must agree with the chip).
    """
    rnd = random.Random(seed)
    n = dict((k, max(1, int(round(v * scale)))) for k, v in BASE.items())
    n["members"] = BASE["members"]
    chip = Chip()
    chip.counts = n

    # Ports: xe<i>, logical port i + 1, Linux swp<i + 1>.
    for i in range(n["ports"]):
        dport = "xe%d" % i
        chip.dports.append(dport)
        chip.ports[dport] = "swp%d" % (i + 1)
        chip.linux_ports.append("swp%d" % (i + 1))

    # VLANs 2 .. n + 1, each with four untagged ports and one tagged port.
    n_vlans = min(4000, max(2, n["l3_intfs"] // 2))
    chip.vlans = vlans = range(2, n_vlans + 2)
    chip.tagged = {}
    for vid in vlans:
        members = sorted(rnd.sample(range(n["ports"]), min(4, n["ports"])))
        chip.untagged[vid] = [chip.dports[p] for p in members]
        chip.tagged[vid] = chip.dports[(members[-1] + 1) % n["ports"]]
    for i, dport in enumerate(chip.dports):
        chip.port_vids[dport] = 1 if i % 4 else vlans[i % len(vlans)]

    # L3 interfaces 1 .. n, spread over the VLANs.
    for intf in range(1, n["l3_intfs"] + 1):
        chip.l3_intfs[intf] = vlans[intf % len(vlans)]

    for i in range(n["xlates"]):
        chip.xlates.append((rnd.randint(1, n["ports"]), rnd.randint(2, 4094),
                            vlans[rnd.randrange(len(vlans))]))

    # Replication groups: ids 0x2000001 .., 1 to 31 members, a quarter bridged.
    for g in range(1, n["groups"] + 1):
        members = []
        for _ in range(rnd.randint(1, 2 * n["members"] - 1)):
            dport = chip.dports[rnd.randrange(n["ports"])]
            encap = -1 if rnd.random() < 0.25 else rnd.randint(1, n["l3_intfs"])
            members.append((dport, encap))
        chip.groups[0x2000000 | g] = members

    # Routes: two per group, half of them (*, G).
    for r in range(n["routes"]):
        sip = "0.0.0.0" if r % 2 else "10.%d.%d.%d" % (r >> 16 & 255, r >> 8 & 255, r & 255)
        dip = "239.%d.%d.%d" % (r >> 16 & 255, r >> 8 & 255, (r & 255) | 1)
        chip.routes.append((r % len(VRF_NAMES), sip, dip, vlans[r % len(vlans)],
                            0x2000000 | (r % n["groups"] + 1)))

    if plan:
        plan(chip)
    _write(chip, riot, mem_table)
    return chip


def _write(chip, riot, mem_table):
    """The shell's answers for the chip's facts."""
    a = chip.answers
    a["show unit"] = "Unit 0 chip BCM56850_A2 (current)\n"
    lines = ["              pipe   logical  physical    idb/port   mmu   ucode"]
    for i, dport in enumerate(chip.dports):
        lines.append("  %-8s %4d   %4d      %4d       %4d    %4d    %d"
                     % (dport, i // 128, i + 1, i + 1, i + 1, i, i % 4))
    a["show portmap"] = _join(lines)

    for vid in chip.vlans:
        names = chip.untagged[vid]
        listed = ",".join(names)
        a["vlan show %d" % vid] = (
            "vlan %d\tports %s (0x0000000000000000000000000000000f), "
            "untagged %s (0x0000000000000000000000000000000e) MCAST_FLOOD_UNKNOWN\n"
            % (vid, ",".join(names + [chip.tagged[vid]]), listed))
        rows = ["                 ena/    speed/ link auto    STP                  lrn  inter   max",
                "           port  link    duplex scan neg?   state   pause  discrd ops   face frame"]
        for dport in names:
            rows.append("       %s(%3d)  up     10G  FD   SW  No   Forward          None   FA    XFI  9412"
                        % (dport, chip.dports.index(dport) + 1))
        a["ports " + listed] = _join(rows)

    a["pvlan show"] = _join(["Port %s default VLAN is %d" % (dport, chip.port_vids[dport])
                             for dport in chip.dports])

    lines = ["Free L3INTF entries: %d" % (16384 - len(chip.l3_intfs)),
             "Unit  Intf  VRF Group VLAN    Source Mac     MTU TTL Tunnel InnerVlan  NATRealm",
             "-" * 79]
    for intf, vid in sorted(chip.l3_intfs.items()):
        lines.append("0     %-5d 0   0     %-4d    00:1b:21:%02x:%02x:%02x 9216 0   0      0          0"
                     % (intf, vid, intf >> 16 & 255, intf >> 8 & 255, intf & 255))
    a["l3 intf show"] = _join(lines)

    a["vlan translate show"] = _join([
        "modid = 0 port = %d, old_vid = %d, new_vid = %d, prio = -1, "
        "key_type = 1, action = replace" % row for row in chip.xlates])

    a["sc L3IngressMode"] = "0x1\n" if riot else "0x0\n"
    a["listmem VLAN"] = ("Memory: VLAN.ipipe0 address 0x12168000\nFlags: valid cachable\n"
                         "Entry size: 11 words\nFields: 2\n"
                         "    L3_IIF<146:134>\n    VALID<0>\n")
    if riot:
        for vid in chip.vlans:
            chip.tables[("VLAN", vid)] = [{"L3_IIF": 4096 + vid, "VALID": 1}]

    lines = []
    for gid in sorted(chip.groups):
        lines.append("Group 0x%x (L3)" % gid)
        for dport, encap in chip.groups[gid]:
            lines.append("\tport %s, encap id %d" % (dport, encap))
    a["multicast show"] = _join(lines)

    lines = ["SRC IP ADDRESS   MC IP ADDRESS     VLAN  MOD PORT V COS HIT  VRF GROUP",
             "-" * 72]
    dump = []
    for r, (vrf, sip, dip, vid, gid) in enumerate(chip.routes):
        lines.append("%-16s %-16s %5d  0   cpu0 1 0   y    %d    0x%x"
                     % (sip, dip, vid, vrf, gid & 0x1ffffff))
        if mem_table:
            dump.append("L3_ENTRY_IPV4_MULTICAST.ipipe0[%d]: <VALID_0=1,VALID_1=1,"
                        "SOURCE_IP_ADDR=0x%08x,GROUP_IP_ADDR=0x%08x,VRF_ID=%d,"
                        "EXPECTED_L3_IIF=0x%x,L3MC_INDEX=0x%x,RPA_ID=0,>"
                        % (r, _addr(sip), _addr(dip), vrf, vid, gid & 0x1ffffff))
    a["ipmc table show"] = _join(lines)
    if mem_table:
        a["dump chg l3_entry_ipv4_multicast"] = _join(dump)


def _addr(dotted):
    value = 0
    for part in dotted.split("."):
        value = value << 8 | int(part)
    return value


_SAVED = ("answers", "ports", "linux_ports", "vrf_names", "tables")


def save(chip, path):
    """Writes what install() needs, so that another process can load it alone."""
    with open(path, "wb") as f:
        marshal.dump(dict((name, getattr(chip, name)) for name in _SAVED), f)


def load(path):
    """A Chip with what save() wrote (the answers and the port and VRF names)."""
    chip = Chip()
    with open(path, "rb") as f:
        chip.__dict__.update(marshal.load(f))
    return chip


def install(chip):
    """Makes the stand-in chip shell, port table and VRF database answer for `chip`."""
    import bcmshell
    from quorvel import dornick, quillet
    bcmshell.reset()
    bcmshell.answers.update(chip.answers)
    bcmshell.tables.update(chip.tables)
    quillet.ports = chip.ports
    quillet.linux_ports = chip.linux_ports
    dornick.names = chip.vrf_names


def peak_mb():
    """The process's peak resident memory so far, in MB."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
