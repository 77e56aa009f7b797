"""A stand-in platform description: a TridentThree X7 switch (dport
numbering, polarity and lane maps per physical lane) whose first four SFP28
ports gang into one 100G port, beside a 100G port to break out and a 25G
port."""

import skorrel

from quorvel import descriptions


def sfp28(label, lane, **tuning):
    return skorrel.TridentThree25GPort(label=label, serdes=[lane], phy_types=None,
                                       phy_addrs=None, phy_layer="SFP28",
                                       leds=(0, int(label) - 1), unit=0, **tuning)


def build():
    ports = [
        sfp28("1", 0, rx_polarity_flip=True, tx_polarity_flip=False, rx_lane_map=0x3210),
        sfp28("2", 1, rx_polarity_flip=False),
        sfp28("3", 2, rx_polarity_flip=True),
        sfp28("4", 3, rx_polarity_flip=True),
        skorrel.TridentThree100GPort(label="5", serdes=[4, 5, 6, 7], phy_types=None,
                                     phy_addrs=None, phy_layer="QSFP28", leds=(0, 4), unit=0,
                                     rx_polarity_flip=0xa, tx_lane_map=0x0123),
        sfp28("6", 8, oversub=True, pre_emphasis=[0x2a]),
    ]
    switch = skorrel.BCMSwitch(skorrel.TridentThreeX7_56870_Chip())
    switch.glimmet = descriptions.led_controllers("TridentTwoPlus", {0: 6})
    return descriptions.platform("tridentthree", switch, ports)
