"""A stand-in for the LED assembler: assembles the instruction set of the
LED processor's programs, as far as the generated programs and the test
routines use it.

Usage: tarquel SOURCE -- reads SOURCE.asm, writes SOURCE.hex, exits 0; on
any error exits 1 and writes no hex file.  Nothing is ever written on the
standard streams.

Source: one statement a line; ";" starts a comment.  A line is empty, a
label ("name:", optionally followed by an instruction), an equate
("NAME equ VALUE") or an instruction (mnemonic and comma-separated
operands).  A value is a decimal or 0x-hexadecimal number or a symbol (a
label or an equate, defined anywhere in the source: two passes).

Encoding: every instruction is two bytes, an opcode naming the mnemonic
and operand form, then one operand byte (0 when it has none).  So a call
is 2 bytes, a count load and a call 4, and a looping pad routine (push,
pack, dec, jnz, ret) 10.  A label's value is the index of the instruction
it marks; program memory holds 256 instructions.  Every operand lies in
0..255.

Errors: an unknown mnemonic or operand form, an operand out of range, an
undefined symbol, a label or equate defined twice, a program longer than
256 instructions.

Hex file: the program's bytes as two-digit upper-case hexadecimal numbers,
16 to a line, separated by one blank, each line ended by a line feed.
"""

import re
import sys

MAX_INSTRUCTIONS = 256

# (mnemonic, operand form) -> opcode.  Forms: "a", "b" registers, "#" an
# immediate value or label, "(#)" a data-memory address, "(b)" the address
# held in register b.
OPCODES = {}


def _table():
    ops = [
        ("ld", "a,#"), ("ld", "a,(#)"), ("ld", "a,(b)"), ("ld", "(#),a"), ("ld", "(b),a"),
        ("ld", "b,#"), ("ld", "b,(#)"), ("ld", "(#),b"), ("ld", "a,b"), ("ld", "b,a"),
        ("inc", "a"), ("inc", "b"), ("dec", "a"), ("dec", "b"),
        ("jmp", "#"), ("jz", "#"), ("jnz", "#"), ("jc", "#"), ("jnc", "#"), ("call", "#"),
        ("ret", ""), ("pack", ""), ("send", "#"), ("push", "#"), ("push", "a"),
        ("port", "a"), ("pushst", "#"), ("tinv", ""), ("tor", ""), ("tand", ""),
    ]
    for alu in ("cmp", "add", "sub", "and", "or", "xor"):
        for reg in ("a", "b"):
            ops.append((alu, reg + ",#"))
            ops.append((alu, reg + ",(#)"))
    for code, op in enumerate(ops, 1):
        OPCODES[op] = code


_table()

SYMBOL = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*$")


class AsmError(Exception):
    pass


def _strip(line):
    return line.split(";", 1)[0].strip()


def _operand_form(text):
    """The form of one operand and the value text it carries (or None)."""
    text = text.strip()
    low = text.lower()
    if low in ("a", "b"):
        return low, None
    if text.startswith("(") and text.endswith(")"):
        inner = text[1:-1].strip()
        if inner.lower() == "b":
            return "(b)", None
        return "(#)", inner
    return "#", text


def _parse(source):
    """Pass 1: statements, labels and equates."""
    labels, equates, statements = {}, {}, []
    for number, raw in enumerate(source.split("\n"), 1):
        line = _strip(raw)
        m = re.match(r"^([A-Za-z_][A-Za-z0-9_]*):\s*(.*)$", line)
        if m:
            name, line = m.group(1), m.group(2).strip()
            if name in labels or name in equates:
                raise AsmError("line %d: %s defined twice" % (number, name))
            labels[name] = len(statements)
        if not line:
            continue
        words = line.split(None, 2)
        if len(words) == 3 and words[1].lower() == "equ":
            name = words[0]
            if not SYMBOL.match(name):
                raise AsmError("line %d: bad symbol %s" % (number, name))
            if name in labels or name in equates:
                raise AsmError("line %d: %s defined twice" % (number, name))
            equates[name] = (number, words[2].strip())
            continue
        mnemonic, _, rest = line.partition(" ")
        rest = rest.strip()
        operands = rest.split(",") if rest else []
        forms, values = [], []
        for o in operands:
            form, value = _operand_form(o)
            forms.append(form)
            if value is not None:
                values.append(value)
        op = (mnemonic.lower(), ",".join(forms))
        if op not in OPCODES:
            raise AsmError("line %d: unknown instruction %s" % (number, line))
        if len(values) > 1:
            raise AsmError("line %d: more than one value in %s" % (number, line))
        statements.append((number, OPCODES[op], values[0] if values else None))
    if len(statements) > MAX_INSTRUCTIONS:
        raise AsmError("program of %d instructions does not fit" % len(statements))
    return labels, equates, statements


def _value(text, labels, equates, number, seen=()):
    text = text.strip()
    if re.match(r"^0[xX][0-9a-fA-F]+$", text):
        return int(text, 16)
    if re.match(r"^[0-9]+$", text):
        return int(text, 10)
    if not SYMBOL.match(text):
        raise AsmError("line %d: bad value %s" % (number, text))
    if text in labels:
        return labels[text]
    if text in equates:
        if text in seen:
            raise AsmError("line %d: %s defined through itself" % (number, text))
        at, expr = equates[text]
        return _value(expr, labels, equates, at, seen + (text,))
    raise AsmError("line %d: undefined symbol %s" % (number, text))


def assemble(source):
    """The program's bytes, as a list of numbers; AsmError on any fault."""
    labels, equates, statements = _parse(source)
    for name, (number, expr) in sorted(equates.items()):
        _value(expr, labels, equates, number)
    out = []
    for number, code, value in statements:
        operand = 0
        if value is not None:
            operand = _value(value, labels, equates, number)
            if not 0 <= operand <= 255:
                raise AsmError("line %d: operand %d out of range" % (number, operand))
        out += [code, operand]
    return out


def hex_text(data):
    lines = []
    for i in range(0, len(data), 16):
        lines.append(" ".join("%02X" % b for b in data[i:i + 16]) + "\n")
    return "".join(lines)


def main(argv):
    if len(argv) != 2:
        return 2
    try:
        with open(argv[1] + ".asm") as f:
            source = f.read()
        text = hex_text(assemble(source))
    except (AsmError, IOError, OSError):
        return 1
    with open(argv[1] + ".hex", "w") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
