"""pelvane against hostile input: paths, links, names and map entries built
to make the configuration writer fail, lose files or write what reads back
otherwise."""
import errno
import os
import shutil
import tempfile
import unittest

import pelvane
import skorrel
from helpers import namespace_python

HEADER = "# XXX - default config file (needs documentation comments)\n"


class WriteConfigTest(unittest.TestCase):
    """write_config: every failure is open()'s IOError with nothing left
    behind; links stay links; what is written reads back as it was."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        p = skorrel.Platform()
        p.switch = skorrel.BCMSwitch(skorrel.BCMChip())
        p.switch.ports = []
        self.c = pelvane.Config(p, dummy=True)
        self.c.config_map = {"1": "40G"}

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def read(self, path):
        with open(path) as f:
            return f.read()

    def assertIOError(self, path, code):
        with self.assertRaises(IOError) as cm:
            self.c.write_config(path)
        self.assertEqual((cm.exception.errno, cm.exception.filename), (code, path))

    def test_unopenable_paths(self):
        # A directory fails where the new file would be renamed over it;
        # an empty path names nothing.
        os.mkdir(self.path("ports.conf"))
        self.assertIOError(self.path("ports.conf"), errno.EISDIR)
        self.assertEqual(os.listdir(self.path("ports.conf")), [])
        self.assertEqual(os.listdir(self.tmp), ["ports.conf"])
        cwd = os.getcwd()
        os.chdir(self.path("ports.conf"))
        try:
            self.assertIOError("", errno.ENOENT)
        finally:
            os.chdir(cwd)
        self.assertEqual(os.listdir(self.path("ports.conf")), [])

    def test_dangling_link_and_loop(self):
        os.mkdir(self.path("links"))
        os.mkdir(self.path("real"))
        link = self.path("links", "ports.conf")
        os.symlink("../real/ports.conf", link)
        self.c.write_config(link)
        self.assertEqual(os.readlink(link), "../real/ports.conf")
        self.assertEqual(self.read(self.path("real", "ports.conf")), HEADER + "1=40G\n")
        self.assertEqual(os.listdir(self.path("links")), ["ports.conf"])
        self.assertEqual(os.listdir(self.path("real")), ["ports.conf"])
        os.symlink("b", self.path("a"))
        os.symlink("a", self.path("b"))
        self.assertIOError(self.path("a"), errno.ELOOP)
        self.assertEqual((os.readlink(self.path("a")), os.readlink(self.path("b"))), ("b", "a"))
        self.assertEqual(sorted(os.listdir(self.tmp)), ["a", "b", "links", "real"])

    def test_longest_file_name(self):
        out = self.path("p" * 255)
        self.c.write_config(out)
        self.assertEqual(self.read(out), HEADER + "1=40G\n")
        self.assertEqual(os.listdir(self.tmp), ["p" * 255])

    def test_entries_that_read_back_otherwise(self):
        out = self.path("ports.conf")
        with open(out, "w") as f:
            f.write("old text\n")
        # A continuation under a label that names no port stays in the map;
        # written out it would configure port 4.
        self.c.config("99=40G\n 4=4x10G\n")
        self.assertEqual(self.c.config_map, {"99": "40G\n4=4x10G"})
        with self.assertRaises(ValueError) as cm:
            self.c.write_config(out)
        self.assertEqual(str(cm.exception), "invalid mode for label '99': '40G\\n4=4x10G'")
        # A label with a blank in front would continue the line before it.
        self.c.config_map = {"1": "40G", " 3": "4x10G"}
        with self.assertRaises(ValueError) as cm:
            self.c.write_config(out)
        self.assertEqual(str(cm.exception), "invalid label: ' 3'")
        for mode in ("40G ", '""', "40G ;x", "40G\r"):
            self.c.config_map = {"1": mode}
            self.assertRaises(ValueError, self.c.write_config, out)
        self.assertEqual(self.read(out), "old text\n")
        self.assertEqual(os.listdir(self.tmp), ["ports.conf"])

    def test_pipe_written_in_place(self):
        fifo = self.path("ports.conf")
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        try:
            self.c.write_config(fifo)
            self.assertEqual(os.read(reader, 4096), HEADER + "1=40G\n")
        finally:
            os.close(reader)
        self.assertTrue(os.path.exists(fifo) and not os.path.isfile(fifo))
        self.assertEqual(os.listdir(self.tmp), ["ports.conf"])

    def test_mount_point_written_in_place(self):
        # A file mounted over another cannot be renamed over.
        out, source = self.path("ports.conf"), self.path("source")
        for path in (out, source):
            with open(path, "w") as f:
                f.write("old text\n")
        code = ("import skorrel, pelvane\n"
                "p = skorrel.Platform(); p.switch = skorrel.BCMSwitch(skorrel.BCMChip())\n"
                "c = pelvane.Config(p, dummy=True)\n"
                "c.config_map = {'1': '40G'}\n"
                "c.write_config(%r)\n" % out)
        status, _, err = namespace_python(code, setup="mount --bind %s %s" % (source, out))
        self.assertEqual(status, 0, err)
        self.assertEqual(self.read(source), HEADER + "1=40G\n")
        self.assertEqual(self.read(out), "old text\n")
        self.assertEqual(sorted(os.listdir(self.tmp)), ["ports.conf", "source"])


if __name__ == "__main__":
    unittest.main()
