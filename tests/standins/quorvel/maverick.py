"""A stand-in platform description: a Maverick switch (dport numbering, one
chip-wide oversubscription mode, lane counts in the port map) with a 100G
port, a 10G SFP+ port, a 10G copper port and two 10G fabric ports."""

import skorrel

from quorvel import descriptions


class MaverickSwitch(skorrel.BCMSwitch):
    led_controllers = (0, 1)


def build():
    ports = [
        skorrel.Maverick100GPort(label="1", serdes=[0, 1, 2, 3], phy_types=None, phy_addrs=None,
                                 leds=(0, 0), unit=0, rx_polarity_flip=0x6,
                                 tx_polarity_flip=0x9, phy_id1=0x0, sys_interface=0x10),
        skorrel.Maverick10GPort(label="2", serdes=[4], phy_types=None, phy_addrs=None,
                                phy_layer="SFP+", leds=(0, 1), unit=0, prim_offset=0x4),
        skorrel.Maverick10GPort(label="3", serdes=[5], phy_types=None, phy_addrs=None,
                                phy_layer="10GBaseT", leds=(0, 2), unit=0),
        skorrel.Maverick10GFabricPort(label="4", serdes=[40], rx_lane_map=0x0,
                                      rx_polarity_flip=True, tx_lane_map=0x1,
                                      tx_polarity_flip=False),
        skorrel.Maverick10GFabricPort(label="5", serdes=[41], rx_lane_map=0x2,
                                      rx_polarity_flip=False, tx_lane_map=0x3,
                                      tx_polarity_flip=True),
    ]
    ports[1].sfp = descriptions.Sfp("SFP+", "i2c", 0x50)
    switch = MaverickSwitch(skorrel.Maverick_56768_Chip())
    switch.glimmet = descriptions.led_controllers("Maverick", {0: 3, 1: 1})
    return descriptions.platform("maverick", switch, ports)
