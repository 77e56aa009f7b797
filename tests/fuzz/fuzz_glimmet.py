"""Fuzz driver of glimmet: controllers of every class with odd attributes,
configured with ports whose answers are of every kind (hostile labels,
claims outside the chain, calls that are no triples), then asked every
question; now and then a program assembled by the stand-in LED assembler or
a failing tool.  Numbers are kept below the sizes that would ask for lists of
gigabytes (the interpreter's range() would ask for them too).  See
fuzzing.py for how it is run."""
import os
import sys

import fuzzing
from fuzzing import guarded

import glimmet

TOOLS = os.path.join(fuzzing.TESTS, "tools")
TEXTS = ["set_led:", "\nset_led:\n        ret\n", "sw1", "x", "", "%s", "{idx}", "{x}", "0xc0",
         "\nset_led:\n        port    a\n        pushst  PORTSTATUS_LINKUP\n        pack\n"
         "        ret\n"]
CLASSES = [getattr(glimmet, n) for n in sorted(dir(glimmet))
           if n.endswith("LEDController") and n != "LEDController"]
ATTRIBUTES = ["num_leds", "ports_per_chain", "default_pad", "loop_insert_cost", "pad_call_size",
              "pad_n_call_size", "pad_n_code_size", "blink_period", "has_phys_id",
              "data_array_base_addr", "data_array_name", "in_ram_constants", "set_calls",
              "set_functions", "_template", "led_functions", "static_code",
              "static_id_func_code", "pad_one", "pad_n_zero", "call_list"]


def value(rng, texts=TEXTS, depth=0):
    """fuzzing's odd values, with no number of a size to allocate by."""
    v = fuzzing_value(rng, texts, depth)
    if isinstance(v, (int, long)) and not -5000 < v < 5000:
        return rng.choice([-1, 0, 3, 64])
    return v


fuzzing_value, fuzzing.value = fuzzing.value, value


class Port(object):
    """A configured port: fixed answers, or odd ones that may also cut the
    port list short while it is walked."""

    def __init__(self, rng, ports, i):
        self.rng, self.ports = rng, ports
        if rng.random() < 0.7:
            self.fixed = {
                "gang_label": rng.choice(["1", "2", "3", str(i)]),
                "leds": (0, rng.randint(0, 10)),
                "num_logical_ports": rng.randint(0, 3),
                "hw_port_num": rng.randint(0, 70),
                "set_leds": dict((rng.randint(0, 8) if rng.random() < 0.9 else
                                  rng.choice([-1, 100, "x", 2.0, None, 2 ** 70, True]),
                                  rng.choice([0, 1, None, ("sw%d" % i, rng.choice(TEXTS),
                                                           rng.choice([None, 0, 5, 70])),
                                              value(rng)]))
                                 for _ in range(rng.randint(0, 3)))}
        else:
            self.fixed = {}

    def answer(self, name):
        if self.rng.random() < 0.05 and self.ports:
            del self.ports[-1:]
        return self.fixed[name] if name in self.fixed else value(self.rng)

    gang_label = property(lambda self: self.answer("gang_label"))
    leds = property(lambda self: self.answer("leds"))
    num_logical_ports = property(lambda self: self.answer("num_logical_ports"))

    def hw_port_num(self, sub):
        return self.answer("hw_port_num")

    def set_leds(self, led_port, sub, led_index_list):
        return self.answer("set_leds")


def one(rng):
    # The run lists the controllers share start empty, as the module made
    # them: kept, an earlier iteration's indexes would be ever more over a
    # long run.
    glimmet.BCMLEDController.call_list.clear()
    cls = rng.choice(CLASSES)
    c = cls()
    c.num_leds = rng.choice([0, 1, 7, 40, 64])
    for name in ATTRIBUTES:
        if rng.random() < 0.08:
            setattr(c, name, value(rng))
    ports = []
    ports.extend(Port(rng, ports, i) for i in range(rng.randint(0, 6)))
    idx = rng.choice([0, 1, "a", None, (1,), value(rng)])
    guarded(c.configure, idx, ports if rng.random() < 0.9 else value(rng))
    for name, descr in fuzzing.operations(cls):
        if name not in ("hex", "_compile") and rng.random() < 0.5:
            guarded(fuzzing.call_any, rng, c, name, descr, TEXTS)
    guarded(getattr, c, "asm")
    guarded(c.led_memory_init_commands, idx)
    if rng.random() < 0.02:
        c._tarquel = os.path.join(TOOLS, rng.choice(["tarquel", "tarquel_status3", "tarquel_echo"]))
        guarded(getattr, c, "hex")


if __name__ == "__main__":
    sys.exit(fuzzing.main("glimmet", one, 2000))
