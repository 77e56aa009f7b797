"""A stand-in platform description: a Tomahawk switch (dport numbering)
with 100G ports to break out, loop back or switch off, a fabric port, and
a 10G copper management port on the chip's spare lane."""

import skorrel

from quorvel import descriptions


def qsfp(label, first_lane, leds, **tuning):
    return skorrel.Tomahawk100GPort(label=label, serdes=range(first_lane, first_lane + 4),
                                    phy_types=None, phy_addrs=None, phy_layer="QSFP28",
                                    leds=leds, unit=0, **tuning)


def build():
    ports = [
        qsfp("1", 0, (0, 0), rx_polarity_flip=0x5, tx_polarity_flip=0xa, rx_lane_map=0x3210,
             tx_lane_map=0x0123, pre_emphasis=[0x11, 0x22, 0x33, 0x44]),
        qsfp("2", 4, (0, 1), drv_current=[5, 6, 7, 8]),
        qsfp("3", 8, (0, 2)),
        qsfp("4", 12, (0, 3), pre_emphasis=[1, 2, 3, 4], drv_current=[5, 6, 7, 8],
             pre_drv_current=[9, 10, 11, 12]),
        qsfp("5", 64, (1, 0), oversub=True, phy_id1=0x1e, sys_interface=0x3),
        skorrel.Tomahawk100GFabricPort(label="6", serdes=[96, 97, 98, 99], tx_polarity_flip=0x1,
                                       rx_polarity_flip=0x2, tx_lane_map=0x1032,
                                       rx_lane_map=0x2301, sdk_group="fab"),
        skorrel.TomahawkMgmt10GPort(label="7", serdes=[128], phy_types=None, phy_addrs=None,
                                    phy_layer="10GBaseT", leds=(1, 1), unit=0),
    ]
    ports[0].sfp = descriptions.Sfp("QSFP28", "i2c_mux", "mux1:0x50")
    ports[6].sfp = descriptions.Sfp("SFP+", "sdk_i2c", 0x51)
    switch = skorrel.BCMSwitch(skorrel.TomahawkChip())
    switch.glimmet = descriptions.led_controllers("Tomahawk", {0: 4, 1: 2})
    return descriptions.platform("tomahawk", switch, ports)
