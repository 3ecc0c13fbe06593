#!/usr/bin/env python3
"""The Debian package: its control fields and contents, then installed with
dpkg, run from /usr/bin, and removed. Installing needs root (CI runs as root);
without it the test is skipped."""

import os
import re
import subprocess
import unittest

import support

PACKAGE = "tarnel-mcp-server"
DOCS = f"/usr/share/doc/{PACKAGE}"
BINARY = f"/usr/bin/{PACKAGE}"


def field(deb, name):
    return subprocess.run(["dpkg-deb", "-f", deb, name], capture_output=True, text=True,
                          check=True).stdout.strip()


def installed(package):
    done = support.run(["dpkg-query", "-W", "-f=${Status}", package])
    return done.returncode == 0 and "install ok installed" in done.stdout


def packages_of_needed_libraries(binary):
    """Returns the Debian packages that own the shared libraries `binary`
    needs (its DT_NEEDED entries, resolved by the dynamic loader)."""
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]",
                        support.run(["readelf", "-d", binary]).stdout)
    resolved = dict(re.findall(r"^\s*(\S+) => (/\S+)", support.run(["ldd", binary]).stdout, re.M))
    owners = set()
    for soname in needed:
        path = resolved.get(soname)
        if path is None:  # the loader itself is named by its full path
            path = next((p for p in re.findall(r"^\s*(/\S+)", support.run(["ldd", binary]).stdout, re.M)
                         if os.path.basename(p) == soname), None)
        if path is None:
            raise AssertionError(f"cannot resolve {soname}")
        owner = support.run(["dpkg-query", "-S", os.path.realpath(path)])
        if owner.returncode != 0:
            owner = support.run(["dpkg-query", "-S", path])
        owners.add(owner.stdout.split(":")[0].strip())
    return owners


def the_deb():
    arch = support.run(["dpkg", "--print-architecture"]).stdout.strip()
    return support.artefact(f"{PACKAGE}_{support.VERSION}_{arch}.deb")


class PackageFile(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.deb = the_deb()

    def test_control_fields(self):
        self.assertEqual(field(self.deb, "Package"), PACKAGE)
        self.assertEqual(field(self.deb, "Version"), support.VERSION)
        self.assertEqual(field(self.deb, "Suggests"), "git")
        # Every dependency carries the minimum version dpkg-shlibdeps found.
        for dependency in field(self.deb, "Depends").split(","):
            self.assertRegex(dependency.strip(), r"^[a-z0-9.+-]+ \(>= \S+\)$")

    def test_contents(self):
        listing = support.run(["dpkg-deb", "-c", self.deb]).stdout
        entries = {line.split()[-1].lstrip("."): line.split()[0] for line in listing.splitlines()}
        self.assertEqual(entries.get(BINARY), "-rwxr-xr-x")
        for name in support.DOC_FILES + ["copyright"]:
            self.assertEqual(entries.get(f"{DOCS}/{name}"), "-rw-r--r--", name)
        self.assertTrue(all(" root/root " in line for line in listing.splitlines()), listing)
        # Nothing outside the program and its documentation.
        stray = [p for p in entries if not (p == BINARY or p.startswith(f"{DOCS}/") or
                                            (p.endswith("/") and (BINARY.startswith(p) or
                                                                  DOCS.startswith(p))))]
        self.assertEqual(stray, [])


class InstalledPackage(unittest.TestCase):
    """ctest runs this class on its own (packaging.deb_install), so that it
    shows as skipped without root."""

    @classmethod
    def setUpClass(cls):
        cls.deb = the_deb()

    def test_install_run_remove(self):
        if os.geteuid() != 0:
            self.skipTest("installing a .deb needs root (CI runs as root)")
        if installed(PACKAGE):
            self.skipTest(f"{PACKAGE} is already installed on this machine; not replacing it")
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        done = support.run(["dpkg", "-i", self.deb], env=env)
        self.addCleanup(support.run, ["dpkg", "--purge", PACKAGE], env=env)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertTrue(installed(PACKAGE))

        support.check_session(self, [BINARY], support.server_env(
            support.temp_dir(self), VAULT_PATH=support.EXAMPLE_VAULT))
        with open(f"{DOCS}/copyright", encoding="utf-8") as f:
            copyright_text = f.read()
        self.assertIn("GPL-2.0-only", copyright_text)
        self.assertIn("MIT License", copyright_text)

        # Depends names exactly the packages of the libraries the binary loads.
        depends = {d.split()[0] for d in field(self.deb, "Depends").split(",")}
        self.assertEqual(depends, packages_of_needed_libraries(BINARY))

        done = support.run(["dpkg", "--purge", PACKAGE], env=env)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertFalse(installed(PACKAGE))
        self.assertFalse(os.path.exists(BINARY))
        self.assertFalse(os.path.exists(DOCS))


if __name__ == "__main__":
    support.main()
