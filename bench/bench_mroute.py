"""Route comparison benchmark: Asic.mroute_eq over a large chip and kernel.

    PYTHONPATH=build/python:tests/standins python2.7 bench/bench_mroute.py [SCALE ...]

Each scale (default 0.5 1 2) runs in a process of its own.  At scale 1 the
kernel has a VLAN-aware bridge of 256 ports and 200 VLANs, 200 plain bridges
of 8 VLAN sub-interfaces each, 2,000 VLAN devices, 16 bonds and 50,000
multicast-database lines; the chip has a route per comparison, 32,768 of them,
whose replication groups hold what the kernel expects, one route in ten
altered; other scales scale all of these.  Kernel commands and files are answered from generated text held in
memory, and counted.  Reported: the comparisons on a fresh Asic (reading the
kernel state included), again with every cache filled, and again with the
chip side's answers made beforehand (the kernel side alone); str() of the
checker; peak memory; the kernel reads.
"""

import cStringIO
import gc
import os
import resource
import subprocess
import sys
import time

import murchet

ROUTES = 32768                    # comparisons at scale 1


# ---------------------------------------------------------------------------
# The chip side as far as the comparison calls it.  Until the module's own
# chip records and operations are built (they answer "not built"), these
# take their place, with indexed lookups.

def _not_built(fn):
    try:
        fn()
    except NotImplementedError:
        return True
    except Exception:
        pass
    return False


CHIP_NOT_BUILT = _not_built(lambda: murchet.Hmroute('1.1.1.1', '239.1.1.1', 1, 1, 'default'))


class _Encap(object):
    __slots__ = ('linux_port', 'bcm_dport', 'intf', 'vlan', 'evid')

    def __init__(self, linux_port, bcm_dport, intf, vlan, evid):
        self.linux_port, self.bcm_dport, self.intf = linux_port, bcm_dport, intf
        self.vlan, self.evid = vlan, evid

    def __str__(self):
        if self.evid == -1:
            return 'port: %s' % self.linux_port
        return 'port: %s, vlan: %d' % (self.linux_port, self.evid)

    def encap2swp(self):
        if self.evid == -1:
            return self.linux_port
        return '%s.%d' % (self.linux_port, self.evid)


class _ReplicationGroup(object):
    def __init__(self, mcast_grp, l2_encaps, l3_encaps):
        self.mcast_grp, self.l2_encaps, self.l3_encaps = mcast_grp, l2_encaps, l3_encaps

    def __str__(self):
        s = ''.join(['  %s\n' % e for e in self.l3_encaps])
        if self.l2_encaps:
            s += '  L2 replication ports:\n'
        return s + ''.join(['    %s\n' % e for e in self.l2_encaps])

    def get_l3_linux_encaps(self):
        return set([e.encap2swp() for e in self.l3_encaps])

    def get_l2_linux_encaps(self):
        return set([e.encap2swp() for e in self.l2_encaps])


class _Hmroute(object):
    def __init__(self, sip, dip, iif, mcast_grp, vrf):
        self.sip, self.dip, self.iif, self.kernel_iif = sip, dip, iif, None
        self.grp = mcast_grp | 0x2000000
        self.iif_mismatch, self.oil_mismatch, self.vrf = [], [], vrf

    def __str__(self):
        s = '%s, (%s, %s), iif: %s' % (self.vrf, self.sip, self.dip, self.kernel_iif or self.iif)
        if self.iif_mismatch or self.oil_mismatch:
            s += '\n  errors:' + ''.join(['\n    %s' % m for m in
                                          self.iif_mismatch + self.oil_mismatch])
        return s


class _PortmapEntry(object):
    def __init__(self, dport, logical_port, linux_port):
        self.dport, self.logical_port, self.linux_port = dport, logical_port, linux_port
        self.port_vid = -1


class _VlanXlate(object):
    def __init__(self, lport, ivid, evid):
        self.lport, self.ivid, self.evid = lport, ivid, evid


class _ChipSide(murchet.Asic):
    _key_re = __import__('re').compile(r'(?P<vrf>\S+), \((?P<sip>\S+), (?P<dip>\S+)\)')

    @staticmethod
    def _get_cmd_output(cmdList, dispStr=None):
        sp = murchet.subprocess
        try:
            return sp.check_output(cmdList, stderr=None)
        except sp.CalledProcessError:
            return dispStr

    def _key_to_sip_dip(self, key):
        m = self._key_re.match(key)
        return m.groups() if m else (None, None, None)

    def _grp_ip2mac(self, grp):
        p = grp.split('.')
        return '01:00:5e:%02x:%02x:%02x' % (int(p[1]) & 127, int(p[2]), int(p[3]))

    def _get_logical_port_and_pvid(self, linux_port):
        if not hasattr(self, '_by_linux'):
            self._by_linux = {}
            for e in self.portmap:
                self._by_linux.setdefault(e.linux_port, (e.logical_port, e.port_vid))
        return self._by_linux.get(linux_port, (-1, -1))

    def _evid2ivid(self, logical_port, evid):
        if not hasattr(self, '_by_evid'):
            self._by_evid = {}
            for x in self.vlan_xlate:
                self._by_evid.setdefault((x.lport, x.evid), x.ivid)
        return self._by_evid.get((logical_port, evid), -1)


if CHIP_NOT_BUILT:
    Asic, Hmroute, Encap, ReplicationGroup = _ChipSide, _Hmroute, _Encap, _ReplicationGroup
    PortmapEntry, VlanXlate = _PortmapEntry, _VlanXlate
else:
    Asic, Hmroute, Encap = murchet.Asic, murchet.Hmroute, murchet.Encap
    ReplicationGroup, PortmapEntry = murchet.ReplicationGroup, murchet.PortmapEntry
    VlanXlate = murchet.VlanXlate


# ---------------------------------------------------------------------------
# The kernel: generated answers, served from memory and counted.

class Kernel(object):
    CalledProcessError = subprocess.CalledProcessError

    def __init__(self):
        self.links, self.answers, self.files, self.dirs = {}, {}, {}, {}
        self.calls = {}
        self.reads = 0
        self.path = self
        self.isfile = self.files.__contains__
        self.isdir = self.dirs.__contains__

    def check_output(self, cmd, stderr=None):
        what = cmd[1] if cmd[0] == '/bin/ip' else cmd[1] + ' ' + cmd[2]
        self.calls[what] = self.calls.get(what, 0) + 1
        if cmd[0] == '/bin/ip':
            text = self.links.get(cmd[4])
        else:
            text = self.answers.get(tuple(cmd))
        if text is None:
            raise subprocess.CalledProcessError(1, cmd)
        return text

    def listdir(self, path):
        return list(self.dirs[path])

    def open(self, path, mode='r'):
        self.reads += 1
        return cStringIO.StringIO(self.files[path])


def link_text(index, name, kind_line):
    return ('%d: %s: <BROADCAST,MULTICAST,UP,LOWER_UP> mtu 9216 qdisc noqueue state UP mode '
            'DEFAULT group default qlen 1000\n    link/ether 44:38:39:00:%02x:%02x brd '
            'ff:ff:ff:ff:ff:ff promiscuity 0\n    %s addrgenmode eui64 numtxqueues 1\n'
            % (index, name, index >> 8 & 0xff, index & 0xff, kind_line))


def grp_of(r):
    return '239.%d.%d.%d' % (r >> 16 & 0x7f, r >> 8 & 0xff, r & 0xff), \
        '01:00:5e:%02x:%02x:%02x' % (r >> 16 & 0x7f, r >> 8 & 0xff, r & 0xff)


class World(object):
    """The generated kernel and chip, and what each interface reaches."""

    KINDS = ('swp', 'swp_sub', 'bond', 'bond_sub', 'plain_bridge', 'svi')

    def __init__(self, scale):
        s = scale
        self.k = k = Kernel()
        n_aware, n_vlans, n_plain = int(256 * s), int(200 * s), int(200 * s)
        n_block, n_bonds = int(256 * s), int(16 * s)
        n_routed = int(2000 * s) - n_vlans - 8 * n_plain - n_bonds
        self.mdb_budget = int(50000 * s)
        self.n_routes = int(ROUTES * s)
        aware = ['swp%d' % i for i in range(1, n_aware + 1)]
        block = ['swp%d' % i for i in range(n_aware + 1, n_aware + n_block + 1)]
        bondp = ['swp%d' % i for i in range(n_aware + n_block + 1,
                                            n_aware + n_block + 2 * n_bonds + 1)]
        self.linux_ports = aware + block + bondp
        self.pvid = {}
        for i, p in enumerate(self.linux_ports):
            self.pvid[p] = 100 + i % 50
        self.ivid = {}        # (port, tag) -> internal VLAN
        vlan_devs = []        # (name, vid, lower)

        def dev(name, kind_line):
            k.links[name] = link_text(len(k.links) + 2, name, kind_line)

        # the VLAN-aware bridge, its VLANs and their SVIs
        dev('bridge', 'bridge forward_delay 0 stp_state 0 vlan_filtering 1 vlan_protocol 802.1Q')
        k.files['/sys/class/net/bridge/bridge/vlan_filtering'] = '1\n'
        k.dirs['/sys/class/net/bridge/brif'] = aware
        self.vlans = vlans = range(1000, 1000 + n_vlans)
        self.vlan_members = dict((v, ([], [])) for v in vlans)
        listing = [{'ifname': 'bridge', 'vlans': [{'vlan': 1, 'flags': ['PVID',
                                                                         'Egress Untagged']}]}]
        for i, p in enumerate(aware):
            mine = []
            for v in vlans:
                if (i + v) % 8 == 0:
                    untagged = (i + v) % 64 == 0
                    self.vlan_members[v][untagged].append(p)
                    mine.append({'vlan': v, 'flags': ['Egress Untagged']} if untagged
                                else {'vlan': v})
            listing.append({'ifname': p, 'vlans': mine})
        k.answers[('/sbin/bridge', '-j', 'vlan', 'show')] = __import__('json').dumps(listing)
        self.svis = []
        for v in vlans:
            name = 'vlan%d' % v
            dev(name, 'vlan protocol 802.1Q id %d <REORDER_HDR>' % v)
            vlan_devs.append((name, v, 'bridge'))
            self.svis.append((name, v))

        # plain bridges of VLAN sub-interfaces
        self.plain = []
        for b in range(n_plain):
            name, tag = 'br%d' % b, 2000 + b
            members = []
            for j in range(8):
                port = block[(b * 8 + j) % n_block]
                sub = '%s.%d' % (port, tag)
                dev(sub, 'vlan protocol 802.1Q id %d <REORDER_HDR>' % tag)
                vlan_devs.append((sub, tag, port))
                self.ivid[port, tag] = tag + 1
                members.append(sub)
            dev(name, 'bridge forward_delay 0 stp_state 0 vlan_filtering 0')
            k.files['/sys/class/net/%s/bridge/vlan_filtering' % name] = '0\n'
            k.dirs['/sys/class/net/%s/brif' % name] = members
            self.plain.append((name, members))

        # routed sub-interfaces
        self.subs = []
        for r in range(n_routed):
            port, tag = block[r % n_block], 3000 + r
            sub = '%s.%d' % (port, tag)
            dev(sub, 'vlan protocol 802.1Q id %d <REORDER_HDR>' % tag)
            vlan_devs.append((sub, tag, port))
            self.ivid[port, tag] = tag + 1
            self.subs.append((sub, port, tag))

        # bonds of two ports, each with a sub-interface
        self.bonds = []
        for b in range(n_bonds):
            name, members, tag = 'bond%d' % b, bondp[2 * b:2 * b + 2], 4000 + b
            dev(name, 'bond mode 802.3ad miimon 100')
            k.dirs['/sys/class/net/%s/bonding/' % name] = ['slaves']
            k.files['/sys/class/net/%s/bonding/slaves' % name] = ' '.join(members) + '\n'
            sub = '%s.%d' % (name, tag)
            dev(sub, 'vlan protocol 802.1Q id %d <REORDER_HDR>' % tag)
            vlan_devs.append((sub, tag, name))
            for m in members:
                self.pvid[m] = 900 + b
                self.ivid[m, tag] = tag + 1
            self.bonds.append((name, members, sub, tag))

        k.files['/proc/net/vlan/config'] = (
            'VLAN Dev name\t | VLAN ID\nName-Type: VLAN_NAME_TYPE_RAW_PLUS_VID_NO_PAD\n' +
            ''.join('%-15s| %d  | %s\n' % d for d in vlan_devs))
        self.n_vlan_devs = len(vlan_devs)
        self.mdb = {}         # bridge -> lines
        self.joined = {}      # (bridge, vid, grp_mac) -> ports
        self.mdb_lines = 0

    # -- what an interface reaches, and the chip route that agrees ----------
    def join(self, bridge, vid, grp, grp_mac, ports):
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
        self.joined[bridge, vid, grp_mac] = list(ports)
        return True

    def pick(self, kind, r, grp, grp_mac):
        """(device, expansion, L2 ports, chip incoming VLAN) of one interface."""
        if kind == 'swp':
            p = self.linux_ports[r % len(self.linux_ports)]
            return p, [p], [], self.pvid[p]
        if kind == 'swp_sub':
            sub, port, tag = self.subs[r % len(self.subs)]
            return sub, [sub], [], self.ivid[port, tag]
        if kind == 'bond':
            name, members, sub, tag = self.bonds[r % len(self.bonds)]
            return name, list(members), [], self.pvid[members[0]]
        if kind == 'bond_sub':
            name, members, sub, tag = self.bonds[r % len(self.bonds)]
            return sub, ['%s.%d' % (m, tag) for m in members], [], tag + 1
        if kind == 'plain_bridge':
            name, members = self.plain[r % len(self.plain)]
            joined = [members[r % 8], members[(r + 3) % 8]]
            got = self.joined.get((name, -1, grp_mac))
            if got is None:
                got = joined if self.join(name, -1, grp, grp_mac, joined) else members
            port, tag = got[0].split('.')
            return name, list(got), [m.split('.')[0] for m in got], self.ivid[port, int(tag)]
        name, v = self.svis[r % len(self.svis)]
        tagged, untagged = self.vlan_members[v]
        everyone = tagged + untagged
        got = self.joined.get(('bridge', v, grp_mac))
        if got is None:
            joined = [everyone[r % len(everyone)], everyone[(r + 5) % len(everyone)]]
            got = joined if self.join('bridge', v, grp, grp_mac, joined) else everyone
        return name, ['%s.%d' % (p, v) for p in got], list(got), v

    def build_routes(self):
        self.routes = []
        portmap = [PortmapEntry('xe%d' % i, i + 1, p) for i, p in enumerate(self.linux_ports)]
        lport = dict((p, i + 1) for i, p in enumerate(self.linux_ports))
        for e in portmap:
            e.port_vid = self.pvid[e.linux_port]
        xlate = [VlanXlate(lport[p], ivid, tag) for (p, tag), ivid in sorted(self.ivid.items())]
        mroutes, groups = {}, {}
        kinds = self.KINDS
        for r in range(self.n_routes):
            grp, grp_mac = grp_of(r)
            iif, iif_ports, l2, hw_vlan = self.pick(kinds[r % 6], r, grp, grp_mac)
            oil, l3 = [], set()
            for j in range(4):
                dev, ports, _, _ = self.pick(kinds[(r + 1 + j) % 6], r * 7 + j, grp, grp_mac)
                oil.append(dev)
                l3.update(ports)
            if r % 20 == 3:
                hw_vlan += 1                      # a wrong incoming interface
            if r % 20 == 13:
                l3.add('swp1.4095')               # a port the kernel does not reach
            src = '10.%d.%d.%d' % (r % 7, r >> 8 & 0xff, r & 0xff)
            route = Hmroute(src, grp, hw_vlan, r, 'default')
            key = 'default, (%s, %s)' % (src, grp)
            l3e = [Encap(*(p.split('.')[0], 'xe', 5, -1,
                           int(p.split('.')[1]) if '.' in p else -1)) for p in sorted(l3)]
            l2e = [Encap(p, 'xe', -1, -1, -1) for p in sorted(set(l2))]
            mroutes[key] = route
            groups[route.grp] = ReplicationGroup(route.grp, l2e, l3e)
            self.routes.append((key, iif, oil))
        for bridge, lines in self.mdb.items():
            self.k.answers[('/sbin/bridge', 'mdb', 'show', 'dev', bridge)] = \
                '\n'.join(lines) + '\n'
        self.chip = dict(portmap=portmap, vlan_xlate=xlate, mroutes=mroutes,
                         replication_groups=groups)

    def asic(self):
        return __import__('new').instance(Asic, dict(
            desc='asic', pt=None, vrf_db=None, bcm=None, linux_ports=self.linux_ports,
            kern_dev_cache={}, kern_mdb_cache={}, flood_mdb_misses=True,
            kern_vlan_cache_created=False, kern_vlan_cache={},
            kern_vlan_dev_cache_created=False, kern_vlan_dev_cache={}, kern_br_cache={},
            portmap=self.chip['portmap'], l3_intfs={}, vlan_xlate=self.chip['vlan_xlate'],
            vlan_riot={}, riot_enable=False, vlan_riot_memtable='', vlans={},
            replication_groups=self.chip['replication_groups'],
            mroutes=self.chip['mroutes']))


def peak_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def chip_answers_precomputed(asic, world):
    """Makes the chip-side operations that a comparison calls answer from
    tables made beforehand, so that what is left to time is the kernel side:
    route keys, group MACs and the replication groups' port sets."""
    keys = dict((key, asic._key_to_sip_dip(key)) for key, _, _ in world.routes)
    macs = dict(grp_of(r) for r in range(world.n_routes))
    asic._key_to_sip_dip, asic._grp_ip2mac = keys.__getitem__, macs.__getitem__
    for group in world.chip['replication_groups'].values():
        group.get_l3_linux_encaps = group.get_l3_linux_encaps().copy
        group.get_l2_linux_encaps = group.get_l2_linux_encaps().copy


def run(scale):
    world = World(scale)
    world.build_routes()
    k = world.k
    murchet.subprocess = murchet.os = k
    murchet.open = k.open
    gc.collect()
    base_mb = peak_mb()
    asic = world.asic()
    routes = world.routes

    t0 = time.time()
    first = [asic.mroute_eq(key, iif, oil) for key, iif, oil in routes]
    t_fresh = time.time() - t0
    calls, reads = dict(k.calls), k.reads

    t0 = time.time()
    if CHIP_NOT_BUILT:            # Asic.__str__ is the chip side's: the same text
        text = 'Asic ip mroutes:\n' + ''.join(
            [asic._dump_one_mroute(asic.mroutes[key]) for key in sorted(asic.mroutes)])
    else:
        text = str(asic)
    t_str = time.time() - t0

    t0 = time.time()
    for key, iif, oil in routes:
        asic.mroute_eq(key, iif, oil)
    t_cached = time.time() - t0
    peak = peak_mb()

    chip_answers_precomputed(asic, world)
    t0 = time.time()
    for key, iif, oil in routes:
        asic.mroute_eq(key, iif, oil)
    t_kernel = time.time() - t0

    mismatching = first.count(False)
    expected = sum(1 for r in range(world.n_routes) if r % 20 in (3, 13))
    n = float(len(routes))
    print ('scale %.1f: %d comparisons (%d mismatching, %d expected), %d mdb lines, '
           '%d VLAN devices, %d switch ports' % (scale, len(routes), mismatching, expected,
                                                world.mdb_lines, world.n_vlan_devs,
                                                len(world.linux_ports)))
    print ('  mroute_eq: fresh %.3f s (%.1f us each), cached %.3f s (%.1f us), kernel side '
           'alone %.3f s (%.1f us)' % (t_fresh, t_fresh / n * 1e6, t_cached, t_cached / n * 1e6,
                                       t_kernel, t_kernel / n * 1e6))
    print ('  str() %.3f s (%d bytes); peak memory %.1f MB (%.1f MB before the comparisons)'
           % (t_str, len(text), peak, base_mb))
    print ('  kernel reads: %s, %d file opens (bond members afresh)'
           % (', '.join('%s %d' % kv for kv in sorted(calls.items())), reads))
    if mismatching != expected:
        sys.exit('unexpected mismatch count')


def main():
    if len(sys.argv) == 3 and sys.argv[1] == '--one':
        run(float(sys.argv[2]))
        return
    scales = [float(a) for a in sys.argv[1:]] or [0.5, 1.0, 2.0]
    if CHIP_NOT_BUILT:
        print 'chip side not built: chip records and lookups stood in by this file'
    for scale in scales:
        rc = subprocess.call([sys.executable, os.path.abspath(__file__), '--one', str(scale)])
        if rc:
            sys.exit(rc)


if __name__ == '__main__':
    main()
