"""What the stand-in platform descriptions share: the platform record, the
SFP descriptors of the cages and the LED controller classes of a switch."""

import skorrel


class Sfp(object):
    """The descriptor of a pluggable-module cage."""

    def __init__(self, type, accessmethod, address):
        self.type = type
        self.accessmethod = accessmethod
        self.address = address


def led_controllers(chip_line, num_leds):
    """The switch's `glimmet`: per LED controller number, a class of the
    chip line's LED program (glimmet.<chip_line>LEDController) that knows
    how many LED slots its chain has; `num_leds` maps controller numbers to
    those counts."""
    import glimmet

    base = getattr(glimmet, chip_line + "LEDController")
    classes = {}
    for controller, count in num_leds.items():
        class Controller(base):
            num_leds = count
        Controller.__name__ = "%sLEDController%d" % (chip_line, controller)
        classes[controller] = Controller
    return classes


def platform(name, switch, ports):
    """The platform record of a switch and its ports."""
    switch.ports = ports
    record = skorrel.Platform()
    record.name = name
    record.switch = switch
    return record
