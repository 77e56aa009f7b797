"""A stand-in platform description: a Helix4 switch (no port map) with
external PHYs behind its copper and SFP+ ports, PHY start-up registers, and
SFP descriptors on the two cages."""

from collections import OrderedDict

import skorrel

from quorvel import descriptions


class Helix4Switch(skorrel.BCMSwitch):
    has_phy_ucode_mdio = True


def copper(label, hw_port, phy_type, phy_addr, led):
    return skorrel.Helix41GPort(label=label, hw_port=hw_port, phy_type=phy_type,
                                phy_addr=phy_addr, phy_layer="1GBaseT", leds=(0, led), unit=0)


def build():
    ports = [
        copper("1", "ge0", "54282", 0x10, 0),
        copper("2", "ge1", "56000", 28, 1),
        skorrel.Helix410GPort(label="3", hw_port="hg0", phy_type="84740", phy_addr=0x4,
                              phy_layer="SFP+", leds=(0, 2), unit=0, rx_polarity_flip=True,
                              mdi_pair_map=0x1032),
        skorrel.Helix410GPort(label="4", hw_port="hg1", phy_type=None, phy_addr=None,
                              phy_layer="SFP+", leds=(0, 3), unit=0),
        copper("5", "ge2", "54282", 0x12, 4),
    ]
    ports[0].phy_init = OrderedDict([("0x1e.0x4", "0x1"), ("0x1.0x0", "0x8000")])
    ports[2].phy_init = {"0x1.0xc": "0x3"}
    ports[2].sfp = descriptions.Sfp("SFP+", "sdk_bsc", 0x50)
    ports[3].sfp = descriptions.Sfp("SFP+", "bcm_sdk", 0x51)
    switch = Helix4Switch(skorrel.Helix4Chip())
    switch.glimmet = descriptions.led_controllers("Helix4", {0: 5})
    return descriptions.platform("helix4", switch, ports)
