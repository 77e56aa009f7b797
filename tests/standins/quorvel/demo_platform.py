"""A stand-in platform description: a Tomahawk switch with 32 QSFP28 ports
and two 10G management ports, built from skorrel's classes as a platform
description on a switch builds it.  Each port's LEDs are the pair (LED
controller, LED index); ports 1 to 16 are on controller 0, the rest on
controller 1, whose chain also drives the two management ports."""

import skorrel


class DemoSwitch(skorrel.BCMSwitch):
    led_controllers = (0, 1)


def led_controllers():
    """The switch's `glimmet`: per LED controller, the class of its program,
    with the number of LED slots of its chain."""
    import glimmet

    class DemoLEDController0(glimmet.TomahawkLEDController):
        num_leds = 16

    class DemoLEDController1(glimmet.TomahawkLEDController):
        num_leds = 18

    return {0: DemoLEDController0, 1: DemoLEDController1}


def build():
    ports = []
    for i in range(32):
        serdes = [4 * i + lane for lane in range(4)]
        ports.append(skorrel.Tomahawk100GPort(
            label=str(i + 1), serdes=serdes, phy_types=None, phy_addrs=None,
            phy_layer="QSFP28", leds=(i // 16, i % 16), unit=0,
            rx_polarity_flip=0x5, tx_polarity_flip=0xa))
    for i, lane in enumerate((128, 129)):
        ports.append(skorrel.TomahawkMgmt10GPort(
            label=str(33 + i), serdes=[lane], phy_types=None, phy_addrs=None,
            phy_layer="SFP+", leds=(1, 16 + i), unit=0))
    switch = DemoSwitch(skorrel.TomahawkTwo_56970_Chip())
    switch.ports = ports
    switch.glimmet = led_controllers()
    platform = skorrel.Platform()
    platform.name = "demo"
    platform.switch = switch
    return platform
