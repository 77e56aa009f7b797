"""Route comparison benchmark: Asic.mroute_eq over a large chip and kernel.

    PYTHONPATH=build/python:tests/standins python2.7 bench/bench_mroute.py \
        [--plain | --overridden] [--rounds N] [SCALE ...]

Each scale (default 0.5 1 2) runs in a process of its own, once with
murchet's Asic and once with a subclass of it (Overridden, below) whose
overrides of a few kernel-side operations call the parent; --plain or
--overridden runs one of the two only.  With --rounds N, the process makes
a fresh Asic N times and reports the best time of each measure and the
spread (worst / best - 1) of the comparisons.  The chip is the
chip benchmark's (gen_chip: at scale 1, 512 ports, 8,192 L3 interfaces, 4,096
translations, 16,384 replication groups, 32,768 routes), its groups, routes
and some of its translations planned here so that they agree with the kernel
but for about one route in ten.  At scale 1 the kernel has a VLAN-aware bridge
of 256 ports and 200 VLANs, 200 plain bridges of 8 VLAN sub-interfaces each,
2,000 VLAN devices, 16 bonds and 50,000 multicast-database lines; other scales
scale all of these.  Each route is compared once (one incoming and four
outgoing interfaces, of every kind).  Kernel commands and files are answered
from generated text held in memory, and counted.

Reported: the constructor; the comparisons on a fresh Asic (reading the kernel
state included) and again with every cache filled; str() of the checker; the
process's peak memory after the constructor and after the comparisons; the
kernel reads.
"""

import cStringIO
import gc
import itertools
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import gen_chip  # noqa: E402
from gen_chip import peak_mb  # noqa: E402


# ---------------------------------------------------------------------------
# The kernel: generated answers, served from memory and counted.

class Kernel(object):
    """Stands in for the `os` and `subprocess` modules and `open` of murchet."""

    CalledProcessError = subprocess.CalledProcessError
    devnull = os.devnull

    def __init__(self):
        self.links, self.answers, self.files, self.dirs = {}, {}, {}, {}
        self.calls = {}
        self.opens = itertools.count()
        self.path = self
        self.isfile = self.files.__contains__
        self.isdir = self.dirs.__contains__
        self.open = self.opener()

    @property
    def reads(self):
        """The files opened so far (the null device aside)."""
        return int(repr(self.opens)[6:-1])

    def check_output(self, cmd, stderr=None):
        what = cmd[1] if cmd[0] == '/bin/ip' else cmd[1] + ' ' + cmd[2]
        self.calls[what] = self.calls.get(what, 0) + 1
        if cmd[0] == '/bin/ip':
            text = self.links.get(cmd[-1])
        else:
            text = self.answers.get(tuple(cmd))
        if text is None:
            raise subprocess.CalledProcessError(1, cmd)
        return text

    def listdir(self, path):
        return list(self.dirs[path])

    def opener(self):
        """open(path): a file of the generated text, counted; as lean as a
        function of the interpreter can be, since bond members are read
        afresh at every use."""
        def open(path, mode='r', files=self.files, tick=self.opens.next,
                 new=cStringIO.StringIO, devnull=os.devnull):
            if path == devnull:
                return new()
            tick()
            return new(files[path])
        return open


JOINED = 3            # ports of a group in a bridge's multicast database


def link_text(index, name, kind_line):
    return ('%d: %s: <BROADCAST,MULTICAST,UP,LOWER_UP> mtu 9216 qdisc noqueue state UP mode '
            'DEFAULT group default qlen 1000\n    link/ether 44:38:39:00:%02x:%02x brd '
            'ff:ff:ff:ff:ff:ff promiscuity 0\n    %s addrgenmode eui64 numtxqueues 1\n'
            % (index, name, index >> 8 & 0xff, index & 0xff, kind_line))


def group_address(g):
    return '239.%d.%d.%d' % (g >> 16 & 0x7f, g >> 8 & 0xff, g & 0xff)


class World(object):
    """The generated kernel, and the chip planned to agree with it."""

    KINDS = ('swp', 'swp_sub', 'bond', 'bond_sub', 'plain_bridge', 'svi')

    def __init__(self, scale):
        self.scale = scale
        self.k = Kernel()
        self.chip = gen_chip.make_chip(scale, plan=self.plan)

    # -- the kernel, from the chip's ports, VLANs and translations ------------
    def plan(self, chip):
        s, k = self.scale, self.k
        ports = chip.linux_ports
        self.lport = dict((p, i + 1) for i, p in enumerate(ports))
        self.dport = dict(zip(ports, chip.dports))
        self.pvid = dict((p, chip.port_vids[self.dport[p]]) for p in ports)
        vlans = chip.vlans
        self.intfs = {}                              # VLAN -> its L3 interfaces
        for intf, v in sorted(chip.l3_intfs.items()):
            self.intfs.setdefault(v, []).append(intf)
        self.untagged = dict((p, set()) for p in ports)   # port -> VLANs untagged in
        for v, names in chip.untagged.items():
            for d in names:
                self.untagged[ports[chip.dports.index(d)]].add(v)

        n_aware, n_vlans = int(256 * s), int(200 * s)
        n_plain, n_bonds = int(200 * s), int(16 * s)
        n_routed = int(2000 * s) - n_vlans - 8 * n_plain - n_bonds
        self.mdb_budget = int(50000 * s)
        aware = ports[:n_aware]
        bondp = [p for p in ports[n_aware:] if self.pvid[p] == 1][:2 * n_bonds]
        block = [p for p in ports[n_aware:] if p not in set(bondp)]
        self.linux_ports = ports
        vlan_devs = []                               # (name, vid, lower)
        planned = []                                 # translations: (lport, old, new)

        def dev(name, kind_line):
            k.links[name] = link_text(len(k.links) + 2, name, kind_line)

        def vlan_dev(name, vid, lower):
            dev(name, 'vlan protocol 802.1Q id %d <REORDER_HDR>' % vid)
            vlan_devs.append((name, vid, lower))

        # plain bridges of VLAN sub-interfaces, each sub-interface translated
        # to the bridge's own chip VLAN
        self.plain = []
        for b in range(n_plain):
            name, tag, ivid = 'br%d' % b, 2000 + b, vlans[b]
            members = []
            for j in range(8):
                port = block[(b * 8 + j) % len(block)]
                sub = '%s.%d' % (port, tag)
                vlan_dev(sub, tag, port)
                planned.append((self.lport[port], tag, ivid))
                members.append(sub)
            dev(name, 'bridge forward_delay 0 stp_state 0 vlan_filtering 0')
            k.files['/sys/class/net/%s/bridge/vlan_filtering' % name] = '0\n'
            k.dirs['/sys/class/net/%s/brif' % name] = members
            self.plain.append((name, members, ivid))

        # bonds of two ports of one default VLAN, each with a sub-interface
        self.bonds = []
        for b in range(n_bonds):
            name, members = 'bond%d' % b, bondp[2 * b:2 * b + 2]
            tag, ivid = 3000 + b, vlans[n_plain + b]
            dev(name, 'bond mode 802.3ad miimon 100')
            k.dirs['/sys/class/net/%s/bonding/' % name] = ['slaves']
            k.files['/sys/class/net/%s/bonding/slaves' % name] = ' '.join(members) + '\n'
            sub = '%s.%d' % (name, tag)
            vlan_dev(sub, tag, name)
            for m in members:
                planned.append((self.lport[m], tag, ivid))
            self.bonds.append((name, members, sub, tag, ivid))

        # the planned translations come first; the chip's own follow
        xlates = planned + chip.xlates[len(planned):]
        chip.xlates[:] = xlates
        self.evid_of, self.ivid_of = {}, {}          # first rows by (port, ivid) and (port, evid)
        for lport, old, new in xlates:
            self.evid_of.setdefault((lport, new), old)
            self.ivid_of.setdefault((lport, old), new)

        # routed sub-interfaces: the chip's own translations
        self.subs = []
        names = set()
        for lport, old, new in xlates[len(planned):]:
            sub = 'swp%d.%d' % (lport, old)
            if len(self.subs) == n_routed:
                break
            if (self.ivid_of[lport, old] != new or self.evid_of[lport, new] != old or
                    sub in names or sub in k.links):
                continue
            names.add(sub)
            vlan_dev(sub, old, 'swp%d' % lport)
            self.subs.append((sub, new))

        # the VLAN-aware bridge, its VLANs and their SVIs; a port is in a VLAN
        # only where the chip can send it tagged with that VLAN
        dev('bridge', 'bridge forward_delay 0 stp_state 0 vlan_filtering 1 vlan_protocol 802.1Q')
        k.files['/sys/class/net/bridge/bridge/vlan_filtering'] = '1\n'
        k.dirs['/sys/class/net/bridge/brif'] = aware
        self.svis = []
        self.vlan_members = {}
        svi_vlans = vlans[len(vlans) // 2:len(vlans) // 2 + n_vlans]
        listing = [{'ifname': 'bridge', 'vlans': [{'vlan': 1, 'flags': ['PVID',
                                                                         'Egress Untagged']}]}]
        for i, p in enumerate(aware):
            mine = []
            for v in svi_vlans:
                if (i + v) % 14 or self.l3_name('%s.%d' % (p, v)) is None:
                    continue
                untagged = (i + v) % 56 == 0
                self.vlan_members.setdefault(v, ([], []))[untagged].append(p)
                mine.append({'vlan': v, 'flags': ['Egress Untagged']} if untagged
                            else {'vlan': v})
            listing.append({'ifname': p, 'vlans': mine})
        k.answers[('/sbin/bridge', '-j', 'vlan', 'show')] = json.dumps(listing)
        for v in svi_vlans:
            vlan_dev('vlan%d' % v, v, 'bridge')
            self.svis.append(('vlan%d' % v, v))

        k.files['/proc/net/vlan/config'] = (
            'VLAN Dev name\t | VLAN ID\nName-Type: VLAN_NAME_TYPE_RAW_PLUS_VID_NO_PAD\n' +
            ''.join('%-15s| %d  | %s\n' % d for d in vlan_devs))
        self.n_vlan_devs = len(vlan_devs)
        self.mdb = {}         # bridge -> lines
        self.joined = {}      # (bridge, vid, group) -> ports
        self.mdb_lines = 0
        self.plan_groups(chip)

    # -- what the chip replicates to, as the chip side reads it ----------------
    def l3_name(self, name):
        """(chip port, L3 interface) of an L3 copy that the chip side names
        `name`, or None when the chip cannot send that copy."""
        port, _, tag = name.partition('.')
        lport = self.lport[port]
        if not tag:
            for v in sorted(self.untagged[port]):
                if (lport, v) not in self.evid_of:
                    return self.dport[port], self.intfs[v][0]
            return None
        tag = int(tag)
        ivid = self.ivid_of.get((lport, tag))
        if ivid is not None and self.evid_of.get((lport, ivid)) == tag:
            return self.dport[port], self.intfs[ivid][0]
        if tag in self.intfs and (lport, tag) not in self.evid_of and \
                tag not in self.untagged[port]:
            return self.dport[port], self.intfs[tag][0]
        return None

    def join(self, bridge, vid, grp, ports):
        """Adds database lines while the budget lasts; True when added."""
        if self.mdb_lines + len(ports) > self.mdb_budget:
            return False
        lines = self.mdb.setdefault(bridge, [])
        for p in ports:
            if vid == -1:
                lines.append('dev %s port %s grp %s temp' % (bridge, p, grp))
            else:
                lines.append('dev %s port %s grp %s temp vid %d' % (bridge, p, grp, vid))
        self.mdb_lines += len(ports)
        self.joined[bridge, vid, grp] = list(ports)
        return True

    def pick(self, kind, r, grp):
        """(device, switch ports it reaches, L2 ports, chip incoming VLAN)."""
        if kind == 'swp':
            p = self.linux_ports[r % len(self.linux_ports)]
            return p, [p], [], self.pvid[p]
        if kind == 'swp_sub':
            sub, ivid = self.subs[r % len(self.subs)]
            return sub, [sub], [], ivid
        if kind == 'bond':
            name, members, sub, tag, ivid = self.bonds[r % len(self.bonds)]
            return name, list(members), [], self.pvid[members[0]]
        if kind == 'bond_sub':
            name, members, sub, tag, ivid = self.bonds[r % len(self.bonds)]
            return sub, ['%s.%d' % (m, tag) for m in members], [], ivid
        if kind == 'plain_bridge':
            name, members, ivid = self.plain[r % len(self.plain)]
            got = self.joined.get((name, -1, grp))
            if got is None:
                joined = [members[(r + 3 * j) % 8] for j in range(JOINED)]
                got = joined if self.join(name, -1, grp, joined) else members
            return name, list(got), [m.split('.')[0] for m in got], ivid
        name, v = self.svis[r % len(self.svis)]
        tagged, untagged = self.vlan_members[v]
        everyone = tagged + untagged
        got = self.joined.get(('bridge', v, grp))
        if got is None:
            joined = sorted(set(everyone[(r + 5 * j) % len(everyone)] for j in range(JOINED)))
            got = joined if self.join('bridge', v, grp, joined) else everyone
        return name, ['%s.%d' % (p, v) for p in got], list(got), v

    def plan_groups(self, chip):
        """One kernel route per chip group, both routes of a group compare it."""
        self.routes = []                            # (key, iif, oil)
        self.expected = 0
        groups, routes = {}, []
        kinds = self.KINDS
        for i, gid in enumerate(sorted(chip.groups)):
            grp = group_address(i + 1)
            iif, _, l2, hw_vlan = self.pick(kinds[i % 6], i, grp)
            oil, l3 = [], set()
            for j in range(4):
                dev, reached, _, _ = self.pick(kinds[(i + 1 + j) % 6], i * 7 + j, grp)
                if dev != iif:
                    oil.append(dev)
                    l3.update(reached)
            wrong_group = i % 20 == 13
            if wrong_group:                          # a copy the kernel does not make
                extra = next(p for p in self.linux_ports[i % 97:] if p not in l3)
                l3.add(extra)
            groups[gid] = ([self.l3_name(n) for n in sorted(l3)] +
                           [(self.dport[p], -1) for p in sorted(set(l2))])
            for half in (0, 1):
                r = 2 * i + half
                sip = '0.0.0.0' if half else '10.%d.%d.%d' % (r >> 16 & 255, r >> 8 & 255,
                                                             r & 255)
                wrong_iif = r % 20 == 3
                vrf = r % len(gen_chip.VRF_NAMES)
                routes.append((vrf, sip, grp, hw_vlan + wrong_iif, gid))
                key = '%s, (%s, %s)' % (gen_chip.VRF_NAMES[vrf], sip, grp)
                self.routes.append((key, iif, oil))
                self.expected += wrong_group or wrong_iif
        assert None not in [m for ms in groups.values() for m in ms]
        chip.groups, chip.routes[:] = groups, routes
        self.members = sum(len(m) for m in groups.values())
        for bridge, lines in self.mdb.items():
            self.k.answers[('/sbin/bridge', 'mdb', 'show', 'dev', bridge)] = \
                '\n'.join(lines) + '\n'


def overridden(murchet):
    """A subclass of the Asic whose overrides of some of the kernel side's
    operations call the parent: the checker must call them through the
    object, and run its own code for the rest."""
    Asic = murchet.Asic

    class Overridden(Asic):
        def _expand_kern_dev(self, grp, orig_dev, parent_vlan=-1):
            return Asic._expand_kern_dev(self, grp, orig_dev, parent_vlan)

        def _kern_dev_kind_get(self, dev):
            return Asic._kern_dev_kind_get(self, dev)

        def _expand_kern_bond(self, dev):
            return Asic._expand_kern_bond(self, dev)

    return Overridden


def run(scale, kind='plain', rounds=1):
    world = World(scale)
    gen_chip.install(world.chip)
    from quorvel import dornick, quillet
    quillet.asked = dornick.asked = None
    import murchet
    k = world.k
    murchet.subprocess = murchet.os = k
    murchet.open = k.open
    routes = world.routes
    cls = murchet.Asic if kind == 'plain' else overridden(murchet)
    best = {}
    worst = {}

    def timed(what, t):
        best[what] = min(best.get(what, t), t)
        worst[what] = max(worst.get(what, t), t)

    for r in range(rounds):
        asic = None
        k.calls.clear()
        opens = k.reads
        gc.collect()

        t0 = time.time()
        asic = cls()
        timed('init', time.time() - t0)
        if not r:
            peak_init = peak_mb()

        t0 = time.time()
        first = [asic.mroute_eq(key, iif, oil) for key, iif, oil in routes]
        timed('fresh', time.time() - t0)
        calls, reads = dict(k.calls), k.reads - opens

        t0 = time.time()
        text = str(asic)
        timed('str', time.time() - t0)

        t0 = time.time()
        for key, iif, oil in routes:
            asic.mroute_eq(key, iif, oil)
        timed('cached', time.time() - t0)
        if not r:
            peak = peak_mb()
    t_init, t_fresh, t_str, t_cached = best['init'], best['fresh'], best['str'], best['cached']

    mismatching = first.count(False)
    n = float(len(routes))
    print ('scale %.1f, %s: %d comparisons (%d mismatching, %d expected); chip %d groups of '
           '%.1f members; kernel %d mdb lines, %d VLAN devices'
           % (scale, cls.__name__, len(routes), mismatching, world.expected, len(world.chip.groups),
              world.members / float(len(world.chip.groups)), world.mdb_lines,
              world.n_vlan_devs))
    print ('  Asic() %.3f s; mroute_eq: fresh %.3f s (%.1f us each), cached %.3f s (%.1f us); '
           'str() %.3f s (%d bytes)' % (t_init, t_fresh, t_fresh / n * 1e6, t_cached,
                                        t_cached / n * 1e6, t_str, len(text)))
    if rounds > 1:
        print ('  best of %d rounds; spread of mroute_eq: fresh %.0f%%, cached %.0f%%'
               % (rounds, (worst['fresh'] / best['fresh'] - 1) * 100,
                  (worst['cached'] / best['cached'] - 1) * 100))
    print ('  peak memory %.1f MB after Asic(), %.1f MB after the comparisons'
           % (peak_init, peak))
    print ('  kernel reads: %s, %d file opens (bond members afresh)'
           % (', '.join('%s %d' % kv for kv in sorted(calls.items())), reads))
    if mismatching != world.expected:
        sys.exit('unexpected mismatch count')


def main():
    args = sys.argv[1:]
    if args[:1] == ['--one']:
        run(float(args[1]), args[2], int(args[3]))
        return
    kinds, rounds = ['plain', 'overridden'], 1
    while args and args[0].startswith('--'):
        opt = args.pop(0)
        if opt in ('--plain', '--overridden'):
            kinds = [opt[2:]]
        elif opt == '--rounds':
            rounds = int(args.pop(0))
        else:
            sys.exit('usage: bench_mroute.py [--plain | --overridden] [--rounds N] [SCALE ...]')
    for scale in [float(a) for a in args] or [0.5, 1.0, 2.0]:
        for kind in kinds:
            rc = subprocess.call([sys.executable, os.path.abspath(__file__), '--one', str(scale),
                                  kind, str(rounds)])
            if rc:
                sys.exit(rc)


if __name__ == '__main__':
    main()
