"""The README's Python sessions, run as written, and the main job's demo
(tests/demo.py) as a user runs it."""

import codeop
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

from helpers import MODULE_DIR, run_python

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
README = os.path.join(ROOT, "README.md")
DEMO = os.path.join(ROOT, "tests", "demo.py")


class ReadmeTest(unittest.TestCase):

    def test_sessions_run_as_written(self):
        # Every ">>>" example of the README, in one fresh interpreter started
        # in the top folder, as a user pastes them.
        code = ("import doctest, sys\n"
                "r = doctest.testfile(%r, module_relative=False)\n"
                "print 'attempted', r.attempted\n"
                "sys.exit(1 if r.failed else 0)\n" % README)
        status, out, err = run_python(code, cwd=ROOT)
        self.assertEqual(status, 0, out + err)
        with open(README) as f:
            text = f.read()
        # each ">>>" line of every session is one example run
        self.assertEqual(int(out.split()[-1]), len(re.findall(r"^    >>> ", text, re.M)), out)
        self.assertIn("### How `ports.conf` is read\n", text)
        for module in ("skorrel", "pelvane", "glimmet", "murchet"):
            self.assertIn(">>> import %s" % module, text)


    def test_sessions_paste_into_the_interactive_prompt(self):
        # Each example's lines entered one by one, as the interactive prompt
        # reads them: every statement is whole at the example's end, so that
        # the next ">>>" line does not continue it (a compound statement
        # ends with a "..." line of its own).
        with open(README) as f:
            examples = re.findall(r"^    >>> .*(?:\n    \.\.\.(?: .*)?)*", f.read(), re.M)
        self.assertGreater(len(examples), 50)
        for example in examples:
            entered = []
            for line in example.split("\n"):
                entered.append(line[8:])
                if codeop.compile_command("\n".join(entered), "<stdin>", "single"):
                    entered = []
            self.assertEqual(entered, [], example)


class DemoTest(unittest.TestCase):

    def setUp(self):
        self.folder = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.folder)

    def demo(self, ports_conf_text=None):
        args = [os.path.join(self.folder, "out")]
        if ports_conf_text is not None:
            path = os.path.join(self.folder, "ports.conf")
            with open(path, "w") as f:
                f.write(ports_conf_text)
            args.append(path)
        return self.run_demo(args)

    def run_demo(self, args, env=None):
        """Runs the demo in the test's folder as a program, as the README
        shows it, its "python2.7" this interpreter; answers (status, stdout,
        stderr)."""
        env = dict(os.environ if env is None else env)
        env["PATH"] = os.pathsep.join((os.path.dirname(sys.executable), env.get("PATH", "")))
        proc = subprocess.Popen([DEMO] + args, cwd=self.folder, env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, err = proc.communicate()
        return proc.returncode, out, err

    def test_sizes_and_lines_as_wc_counts_them(self):
        status, out, err = self.demo()
        self.assertEqual(status, 0, err)
        listed = re.findall(r"^  (\S+) +(\d+) +(\d+)$", out, re.M)
        self.assertEqual(len(listed), 19, out)  # riot: the chip has no such file
        for name, size, lines in listed:
            with open(os.path.join(self.folder, "out", name)) as f:
                text = f.read()
            self.assertEqual((int(size), int(lines)), (len(text), text.count("\n")), name)
        self.assertIn("  rcphy               0     0\n", out)  # an empty file: 0 lines

    def port_table(self, out):
        """The demo's port table: its lines (the heading first), and its rows
        by label, each row's cells as they stand between the column gaps."""
        lines = ("label " + out.split("\nlabel ")[1].split("\n\n")[0]).splitlines()
        rows = [re.split(r"  +", line) for line in lines[1:]]
        return lines, dict((row[0], row[1:]) for row in rows)

    def test_port_table_is_the_configuration_read(self):
        # a shorthand shows completed, as read_config keeps it
        status, out, err = self.demo("1=2x\n3=Disabled\n5=loopback\n")
        self.assertEqual(status, 0, err)
        _, rows = self.port_table(out)
        self.assertEqual(rows["1"], ["Tomahawk100GPort", "2x50G", "2x50G", "swp1s0 swp1s1",
                                     "xe0 xe1", "xe0 xe2", "0 2", "0 1"])
        self.assertEqual(rows["2"][1:6], ["-", "100G", "swp2", "ce0", "ce4"])
        self.assertEqual(rows["3"][1:], ["Disabled", "(not configured)"])
        self.assertEqual(rows["4"][1:6], ["-", "100G", "swp4", "ce1", "ce12"])
        self.assertEqual(rows["5"][1:6], ["loopback", "100G", "swp5", "ce2", "ce16"])
        self.assertEqual(len(rows), 34)

    def test_port_table_names_devices_as_the_port_table_file(self):
        # Each configured port's Linux devices and SDK interfaces are the
        # rows of the quillet file written, in its order; the hardware
        # interface names are the platform's own.
        status, out, err = self.demo()
        self.assertEqual(status, 0, err)
        with open(os.path.join(self.folder, "out", "quillet")) as f:
            written = [tuple(row.split("\t")[:2]) for row in f.read().splitlines()[1:]]
        lines, rows = self.port_table(out)
        self.assertEqual(re.split(r"  +", lines[0]), [
            "label", "class", "ports.conf", "mode", "Linux devices", "SDK interfaces",
            "hw interfaces", "LED numbers", "hw port numbers"])
        # every configured port's cells start where their column's name does
        starts = [[m.start() for m in re.finditer(r"(?:^|(?<=  ))\S", line)]
                  for line in lines if "(not configured)" not in line]
        self.assertEqual(len(starts), 34)
        self.assertEqual(starts, [starts[0]] * len(starts))
        shown = []
        for label in sorted(rows, key=int):
            if rows[label][2] != "(not configured)":
                shown += zip(rows[label][3].split(), rows[label][4].split())
        self.assertEqual(shown, written)
        self.assertEqual(rows["2"][3:6], ["swp2s0 swp2s1", "xe4 xe5", "xe4 xe6"])
        self.assertEqual(rows["3"][3:6], ["swp3", "ce0", "ce8"])
        self.assertEqual(rows["34"][3:6], ["swp34", "xe7", "xe129"])

    def test_unreadable_ports_conf_ends_with_its_message(self):
        for text, message in [
                ("1=4x25G\ngarbage\n",
                 "ParsingError: File contains parsing errors: <???> [line  3]: 'garbage\\n'"),
                ("1=7x9G\n", "NoSuchMode: error: mode not found: 7x9G, must be one of: ")]:
            status, out, err = self.demo(text)
            self.assertEqual(status, 1, err)
            self.assertEqual(out, "")
            self.assertEqual(err.count("\n"), 1, err)
            self.assertTrue(err.startswith("demo.py: %s: %s" % (
                os.path.join(self.folder, "ports.conf"), message)), err)
        self.assertFalse(os.path.exists(os.path.join(self.folder, "out")))

    def test_other_failures_end_with_one_line(self):
        # The platform package missing from the path, and a folder that
        # cannot be made: one line naming the step, status 1, nothing written.
        env = dict(os.environ, PYTHONPATH=MODULE_DIR)
        status, out, err = self.run_demo(["out"], env)
        self.assertEqual((status, out), (1, ""), err)
        self.assertEqual(err, "demo.py: loading the modules and the platform package: "
                              "ImportError: No module named quorvel.platforms\n")
        open(os.path.join(self.folder, "taken"), "w").close()
        status, out, err = self.run_demo(["taken"])
        self.assertEqual((status, out), (1, ""), err)
        self.assertEqual(err, "demo.py: making the folder taken: OSError: [Errno 17] "
                              "File exists: 'taken'\n")
        self.assertEqual(sorted(os.listdir(self.folder)), ["taken"])

    def test_validator_findings_end_with_one_line(self):
        # The stand-in validator given a finding: the one line names the
        # validator and the status read_config asked the process to end with.
        ports_conf = os.path.join(ROOT, "tests", "demo_ports.conf")
        code = ("import runpy, sys\n"
                "from quorvel import kelvish\n"
                "kelvish.findings.append('port 1: no such mode')\n"
                "sys.argv = [%r, 'out']\n"
                "runpy.run_path(%r, run_name='__main__')\n" % (DEMO, DEMO))
        status, out, err = run_python(code, cwd=self.folder)
        self.assertEqual((status, out), (1, ""), err)
        self.assertEqual(err, "demo.py: %s: the validator found errors: SystemExit: "
                              "status -1\n" % ports_conf)
        self.assertEqual(os.listdir(self.folder), [])

    def test_closed_pipe_ends_quietly(self):
        # The reader gone before the first line: the demo is ended by
        # SIGPIPE, as ls is, with nothing on standard error.
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            proc = subprocess.Popen([sys.executable, DEMO, "out"], cwd=self.folder,
                                    stdout=write_end, stderr=subprocess.PIPE)
        finally:
            os.close(write_end)
        err = proc.communicate()[1]
        self.assertEqual((proc.returncode, err), (-signal.SIGPIPE, ""))

    def test_help_writes_nothing(self):
        for args in (["--help"], ["-h"], ["out", "--help"]):
            status, out, err = self.run_demo(args)
            self.assertEqual((status, err), (0, ""), args)
            self.assertTrue(out.startswith("usage: demo.py [-h] FOLDER [PORTS_CONF]\n"), out)
            self.assertIn("\n  PORTS_CONF ", out)
            self.assertEqual(os.listdir(self.folder), [], args)

    def test_wrong_command_line_is_refused_with_the_usage(self):
        for args, error in [(["--bogus", "out"], "unrecognized arguments: --bogus"),
                            (["out", "-x"], "unrecognized arguments: -x"),
                            ([], "too few arguments"),
                            (["out", "ports.conf", "more"], "unrecognized arguments: more")]:
            status, out, err = self.run_demo(args)
            self.assertEqual((status, out), (2, ""), args)
            self.assertEqual(err, "usage: demo.py [-h] FOLDER [PORTS_CONF]\n"
                                  "demo.py: error: %s\n" % error)
            self.assertEqual(os.listdir(self.folder), [], args)


if __name__ == "__main__":
    unittest.main()
