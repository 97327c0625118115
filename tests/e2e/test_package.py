"""The Debian package: builds from the test build's tree and holds the
program and its manual page, with the runtime dependencies declared."""

import os
import shutil
import subprocess
import tempfile
import unittest

from ostrelle_testbed.bed import skip_file_unless

BUILD_DIR = os.environ.get("OSTRELLE_BUILD_DIR", "")


@skip_file_unless(None if shutil.which("cpack") and shutil.which("dpkg-deb") else
                  "cpack or dpkg-deb is not installed")
class PackageTest(unittest.TestCase):
    def test_deb_holds_binary_and_manual(self):
        self.assertTrue(os.path.isfile(os.path.join(BUILD_DIR, "CPackConfig.cmake")),
                        "OSTRELLE_BUILD_DIR must point at a configured build")
        with tempfile.TemporaryDirectory() as out:
            run = subprocess.run(
                ["cpack", "-G", "DEB", "--config",
                 os.path.join(BUILD_DIR, "CPackConfig.cmake"), "-B", out],
                capture_output=True, text=True, timeout=300)
            self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
            debs = [f for f in os.listdir(out) if f.endswith(".deb")]
            self.assertEqual(len(debs), 1, os.listdir(out))
            deb = os.path.join(out, debs[0])

            listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True,
                                     text=True, check=True).stdout
            names = [line.split()[-1] for line in listing.splitlines()]
            self.assertIn("./usr/bin/ostrelle", names)
            self.assertIn("./usr/share/man/man1/ostrelle.1.gz", names)

            fields = subprocess.run(["dpkg-deb", "-f", deb, "Package", "Depends"],
                                    capture_output=True, text=True, check=True).stdout
            self.assertIn("Package: ostrelle", fields)
            for dep in ("libjson-c5", "wget", "unzip", "coreutils"):
                self.assertIn(dep, fields)


if __name__ == "__main__":
    unittest.main()
