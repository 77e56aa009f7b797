"""A stand-in platform description: a Hurricane2 switch (no port map) with
three 1G copper ports, a 10G SFP+ cage and a 13G fabric port."""

import skorrel

from quorvel import descriptions


class Hurricane2Switch(skorrel.BCMSwitch):
    has_phy_ucode_spi_rom = True


def build():
    ports = [
        skorrel.Hurricane21GPort(label="1", hw_port="ge0", phy_type=None, phy_addr=None,
                                 phy_layer="1GBaseT", leds=(0, 0), unit=0, prim_offset=0x10),
        skorrel.Hurricane21GPort(label="2", hw_port="ge1", phy_type=None, phy_addr=None,
                                 phy_layer="1GBaseT", leds=(0, 1), unit=0),
        skorrel.Hurricane21GPort(label="3", hw_port="ge2", phy_type=None, phy_addr=None,
                                 phy_layer="1GBaseT", leds=(0, 2), unit=0),
        skorrel.Hurricane210GPort(label="4", hw_port="xe0", phy_type=None, phy_addr=None,
                                  phy_layer="SFP+", leds=(0, 3), unit=0, rx_lane_map=0x1032,
                                  rx_polarity_flip=True, tx_lane_map=0x3210,
                                  tx_polarity_flip=False),
        skorrel.Hurricane213GFabricPort(label="5", hw_port="hg0", unit=0),
    ]
    ports[3].sfp = descriptions.Sfp("SFP+", "bcm_sdk", 0x50)
    switch = Hurricane2Switch(skorrel.Hurricane2Chip())
    switch.glimmet = descriptions.led_controllers("Hurricane2", {0: 4})
    return descriptions.platform("hurricane2", switch, ports)
