"""A stand-in platform description: a TridentTwo switch (mapped numbering)
with two chip units: on unit 0 two 40G QSFP+ ports and a microserver fabric
port, on unit 1 four SFP+ ports that gang into one 40G port and a 10G copper
port."""

import skorrel

from quorvel import descriptions


def sfp_plus(label, lane, leds, **tuning):
    tuning.setdefault("phy_layer", "SFP+")
    return skorrel.TridentTwo10GPort(label=label, serdes=[lane], phy_types=None, phy_addrs=None,
                                     leds=leds, unit=1, **tuning)


def build():
    ports = [
        skorrel.TridentTwo40GPort(label="1", serdes=[0, 1, 2, 3], phy_types=None,
                                  phy_addrs=None, phy_layer="QSFP+", leds=(0, 0), unit=0,
                                  rx_polarity_flip=0x9, tx_polarity_flip=0x6,
                                  rx_lane_map=0x1032, mdi_pair_map=0x1),
        skorrel.TridentTwo40GPort(label="2", serdes=[4, 5, 6, 7], phy_types=None,
                                  phy_addrs=None, phy_layer="QSFP+", leds=(0, 1), unit=0,
                                  rx_polarity_flip=0x9, prim_offset=0x21),
        sfp_plus("5", 8, (1, 0), rx_polarity_flip=True, tx_polarity_flip=False),
        sfp_plus("6", 9, (1, 1), rx_polarity_flip=False, tx_polarity_flip=True),
        sfp_plus("7", 10, (1, 2), rx_polarity_flip=True),
        sfp_plus("8", 11, (1, 3)),
        sfp_plus("9", 12, (1, 4), phy_layer="10GBaseT", pre_emphasis=[0x7]),
        skorrel.TridentTwo10GFabricPort(label="10", serdes=[13], tx_lane_map=0x0213,
                                        rx_lane_map=0x3120, drv_current=[0x3]),
    ]
    ports[6].sfp = descriptions.Sfp("SFP+", "bcm_sdk_i2c", 0x50)
    switch = skorrel.BCMSwitch(skorrel.TridentTwo_56850_Chip())
    switch.glimmet = descriptions.led_controllers("TridentTwo", {0: 2, 1: 5})
    return descriptions.platform("tridenttwo", switch, ports)
