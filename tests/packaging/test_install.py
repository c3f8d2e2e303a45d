"""cmake --install and cpack -G DEB from the build tree: the files, the unit
(checked by systemd-analyze where systemd is present) and the package's fields.
VKN_BUILD names the build folder."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

BUILD = os.environ.get("VKN_BUILD", "build")


def run(*cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, check=True, **kw).stdout


class Install(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.tmp)

    def test_install_tree_and_unit(self):
        prefix = os.path.join(self.tmp, "usr")
        run("cmake", "--install", BUILD, "--prefix", prefix)
        unit = os.path.join(prefix, "lib/systemd/system/vkn-miner.service")
        for path in ("bin/vkn-miner", "share/doc/vkn-miner/README.md", "share/doc/vkn-miner/vkn-miner.example.json"):
            self.assertTrue(os.path.isfile(os.path.join(prefix, path)), path)
        with open(unit) as f:
            text = f.read()
        for line in ("ExecStart=%s/bin/vkn-miner" % prefix, "Restart=on-failure", "DynamicUser=yes",
                     "LoadCredential=config.json:/etc/vkn-miner/config.json",
                     "ConditionPathExists=/etc/vkn-miner/config.json", "StateDirectory=vkn-miner"):
            self.assertIn("\n" + line + "\n", text)
        self.assertTrue(re.search(r"\nRestartSec=\d+s\n", text))
        self.assertNotIn("\nSupplementaryGroups=", text)  # a group the host lacks fails the start
        p = subprocess.run(["systemd-analyze", "verify", "--man=no", unit], capture_output=True, text=True)
        self.assertEqual((p.returncode, p.stdout + p.stderr), (0, ""))  # a warning fails too
        # No capability, namespace, privileged call, clock or kernel-log access: a low exposure score.
        score = run("systemd-analyze", "security", "--offline=true", unit).splitlines()[-1]
        self.assertLessEqual(float(re.search(r"level for \S+: (\d+\.\d)", score)[1]), 2.0, score)

    def test_debian_package(self):
        run("cpack", "-G", "DEB", "-B", self.tmp, cwd=BUILD)
        deb = [os.path.join(self.tmp, f) for f in os.listdir(self.tmp) if f.endswith(".deb")][0]
        files = {line.split()[-1] for line in run("dpkg-deb", "-c", deb).splitlines()}
        doc = "./usr/share/doc/vkn-miner/"
        self.assertLessEqual({"./usr/bin/vkn-miner", "./usr/lib/systemd/system/vkn-miner.service", doc + "README.md",
                              doc + "vkn-miner.example.json", doc + "copyright", doc + "changelog.gz",
                              "./usr/share/man/man1/vkn-miner.1.gz"}, files)
        self.assertLessEqual({"postinst", "prerm", "postrm"}, set(run("dpkg-deb", "-I", deb).split()))
        # Debian's own checker: no error (copyright, changelog, a stripped binary, a real maintainer).
        p = subprocess.run(["lintian", "--fail-on", "error", deb], capture_output=True, text=True)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        fields = dict(re.findall(r"^(\S+): (.*)$", run("dpkg-deb", "-f", deb), re.M))
        self.assertEqual((fields["Package"], fields["Architecture"]), ("vkn-miner", run("dpkg", "--print-architecture")
                                                                       .strip()))
        self.assertRegex(fields["Version"], r"^\d+\.\d+\.\d+$")
        for library in ("libcurl4", "libmicrohttpd12", "libstdc++6"):
            self.assertIn(library + " ", fields["Depends"])
        run("dpkg-deb", "-x", deb, self.tmp)
        with open(os.path.join(self.tmp, "usr/lib/systemd/system/vkn-miner.service")) as f:
            self.assertIn("\nExecStart=/usr/bin/vkn-miner\n", f.read())


if __name__ == "__main__":
    unittest.main()
