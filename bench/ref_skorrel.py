"""Benchmark reference: the few skorrel operations that bench_skorrel.py times,
written out in plain Python, so that the compiled module can be compared with
an interpreted rendering of the same work.  Not product code: only the
TomahawkTwo 100G port and what its queries reach are here.
"""

import quorvel.platforms


class NoSuchMode(RuntimeError):
    pass


class Port(object):
    is_fabric = False
    create_fabric = False

    def __init__(self, label):
        self.label = label
        self.sfp = None


class SDKPort(Port):
    modes = ()
    default_mode = None
    pbmp_map = {}
    _speed_map = {}
    _serdes_intf_map = {}

    def __init__(self, label, hw_ports, phy_types, phy_addrs, phy_layer, prim_offset, leds,
                 unit, rx_polarity_flip, tx_polarity_flip, rx_lane_map, tx_lane_map,
                 mdi_pair_map, pre_emphasis, drv_current, pre_drv_current, oversub, phy_id1,
                 sys_interface):
        Port.__init__(self, label)
        self.hw_ports = hw_ports
        self.prim_offset = prim_offset
        self.phy_types = phy_types
        self.phy_addrs = phy_addrs
        self.phy_layer = phy_layer
        self.leds = leds
        self.unit = unit
        self.rx_polarity_flip = rx_polarity_flip
        self.tx_polarity_flip = tx_polarity_flip
        self.rx_lane_map = rx_lane_map
        self.tx_lane_map = tx_lane_map
        self.mdi_pair_map = mdi_pair_map
        self.pre_emphasis = pre_emphasis
        self.drv_current = drv_current
        self.pre_drv_current = pre_drv_current
        self.oversub = oversub
        self.phy_id1 = phy_id1
        self.sys_interface = sys_interface

    @classmethod
    def _check_mode(self, mode):
        if mode in self.modes:
            return
        forms = []
        for m in self.modes:
            if "x" in m:
                for f in ("1x", "/1", m[:2]):
                    if f not in forms:
                        forms.append(f)
            if "/" in m:
                for f in ("1x", "/1", m[-2:]):
                    if f not in forms:
                        forms.append(f)
        valid = [f for f in ("1x", "/4", "2x", "4x", "/1") if f in forms]
        valid += [f for f in forms if f not in valid]
        valid += list(self.modes)
        raise NoSuchMode("error: mode not found: %s, must be one of: %s" % (mode, valid))

    @classmethod
    def speed(self, mode):
        self._check_mode(mode)
        return self._speed_map[mode]

    def num_logical_ports(self, mode):
        raise NotImplementedError

    def hw_intf_prefix(self, mode, sub):
        return self.hw_ports[sub][:2]

    def hw_intf_num(self, mode, sub):
        if self.num_logical_ports(mode) == 2:
            return int(self.hw_ports[2 * sub][2:])
        return int(self.hw_ports[sub][2:])

    def hw_intf(self, mode, sub):
        return "%s%u" % (self.hw_intf_prefix(mode, sub), self.hw_intf_num(mode, sub))

    def hw_port_num(self, mode, sub):
        return self.pbmp_map[self.hw_ports[sub]]

    def polarity_flip_val(self, mode, sub, polarity_flip):
        raise NotImplementedError

    def rx_logical_polarity_flip(self, mode, sub):
        return self.polarity_flip_val(mode, sub, self.rx_polarity_flip)

    def tx_logical_polarity_flip(self, mode, sub):
        return self.polarity_flip_val(mode, sub, self.tx_polarity_flip)

    def serdes_if_type(self, speed):
        return self._serdes_intf_map.get(speed)


class BCMPort(SDKPort):
    pass


class TomahawkPort(BCMPort):
    pbmp_map = dict(("xe%u" % i, i + 1) for i in range(132))

    def __init__(self, label, serdes, phy_types, phy_addrs, phy_layer, prim_offset, leds,
                 unit=0, rx_polarity_flip=None, tx_polarity_flip=None, rx_lane_map=None,
                 tx_lane_map=None, pre_emphasis=None, drv_current=None, pre_drv_current=None,
                 oversub=False, phy_id1=None, sys_interface=None, mdi_pair_map=None):
        hw_ports = tuple("ce%u" % s for s in serdes)
        BCMPort.__init__(self, label, hw_ports, phy_types, phy_addrs, phy_layer, prim_offset,
                         leds, unit, rx_polarity_flip, tx_polarity_flip, rx_lane_map,
                         tx_lane_map, mdi_pair_map, pre_emphasis, drv_current, pre_drv_current,
                         oversub, phy_id1, sys_interface)

    def hw_port_num(self, mode, sub):
        return int(self.hw_ports[sub][2:])

    def hw_intf_prefix(self, mode, sub):
        if mode == "100G" or mode == "100G/4":
            return "ce"
        return "xe"


class TomahawkTwoPort(TomahawkPort):

    def __init__(self, label, serdes, phy_types, phy_addrs, phy_layer, leds, unit,
                 rx_lane_map=None, rx_polarity_flip=None, tx_lane_map=None,
                 tx_polarity_flip=None, mdi_pair_map=None, pre_emphasis=None, drv_current=None,
                 pre_drv_current=None, oversub=False, phy_id1=None, sys_interface=None,
                 prim_offset=None):
        TomahawkPort.__init__(
            self, label=label, serdes=serdes, phy_types=phy_types, phy_addrs=phy_addrs,
            phy_layer=phy_layer, prim_offset=prim_offset, leds=leds, unit=unit,
            rx_polarity_flip=rx_polarity_flip, tx_polarity_flip=tx_polarity_flip,
            rx_lane_map=rx_lane_map, tx_lane_map=tx_lane_map, mdi_pair_map=mdi_pair_map,
            pre_emphasis=pre_emphasis, drv_current=drv_current, pre_drv_current=pre_drv_current,
            oversub=oversub, phy_id1=phy_id1, sys_interface=sys_interface)

    def find_port(self, label):
        for port in quorvel.platforms.probe().switch.ports:
            if port.label == label and not port.is_fabric:
                return port

    def logical_port_num(self, mode, sub, port_base):
        if sub == 0:
            s = 0
        elif sub == 1:
            s = 1
        else:
            return self.find_port(str(int(self.label) + 1)).logical_port_num(
                mode, sub - 2, port_base)
        lport = self.hw_port_num(mode, 0) // 2 + 1 + s
        if lport > 96:
            return lport + 5
        if lport > 64:
            return lport + 3
        if lport > 32:
            return lport + 1
        return lport


class TomahawkTwo100GPort(TomahawkTwoPort):
    _speed_map = {"100G": 100, "40G": 40, "50G": 50, "2x50G": 50, "2x20G": 20, "4x25G": 25,
                  "4x10G": 10}
    modes = ["40G", "2x50G", "100G", "50G", "2x20G", "4x25G", "4x10G"]
    default_mode = "100G"

    def __init__(self, label, adj_label, serdes, phy_types, phy_addrs, phy_layer, leds, unit,
                 rx_lane_map=None, rx_polarity_flip=None, tx_lane_map=None,
                 tx_polarity_flip=None, mdi_pair_map=None, pre_emphasis=None,
                 blocked_adj_split=None, drv_current=None, pre_drv_current=None, oversub=False,
                 phy_id1=None, sys_interface=None, prim_offset=None):
        self.adj_label = adj_label
        self.blocked_adj_split = blocked_adj_split
        TomahawkTwoPort.__init__(
            self, label=label, serdes=serdes, phy_types=phy_types, phy_addrs=phy_addrs,
            phy_layer=phy_layer, leds=leds, unit=unit, rx_lane_map=rx_lane_map,
            rx_polarity_flip=rx_polarity_flip, tx_lane_map=tx_lane_map,
            tx_polarity_flip=tx_polarity_flip, mdi_pair_map=mdi_pair_map,
            pre_emphasis=pre_emphasis, drv_current=drv_current, pre_drv_current=pre_drv_current,
            oversub=oversub, phy_id1=phy_id1, sys_interface=sys_interface,
            prim_offset=prim_offset)

    def num_logical_ports(self, mode):
        self._check_mode(mode)
        if mode[1] == "x":
            return int(mode[0])
        return 1

    def polarity_flip_val(self, mode, sub, polarity_flip_list):
        self._check_mode(mode)
        if self.num_logical_ports(mode) == 4:
            return 1 if polarity_flip_list & (1 << sub) else 0
        if self.num_logical_ports(mode) == 2:
            return (polarity_flip_list >> (2 * sub)) & 3
        return polarity_flip_list
