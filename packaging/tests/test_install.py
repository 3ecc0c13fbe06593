#!/usr/bin/env python3
"""`make install PREFIX=...` installs a server that answers and its licence
files; `make uninstall` takes all of it away again."""

import os
import unittest

import support


class MakeInstall(unittest.TestCase):
    def make(self, *arguments):
        # A clean make: the outer `make test` must not hand its job server down.
        env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
        done = support.run(["make", "--no-print-directory", "-C", support.SOURCE_DIR, *arguments], env=env)
        self.assertEqual(done.returncode, 0, done.stderr[-3000:])
        # The Makefile's rule: build and install output goes to standard error.
        self.assertEqual(done.stdout, "")

    def keep_installed_files_list(self):
        """make install and make uninstall rewrite build/installed-files.txt:
        whatever a developer's own `make install` left there is put back."""
        path = os.path.join(support.ARTEFACT_DIR, "installed-files.txt")
        try:
            with open(path, "rb") as f:
                kept = f.read()
        except FileNotFoundError:
            kept = None

        def restore():
            if kept is None:
                if os.path.exists(path):
                    os.remove(path)
            else:
                with open(path, "wb") as f:
                    f.write(kept)
        self.addCleanup(restore)
        return path

    def test_install_then_uninstall(self):
        installed_files = self.keep_installed_files_list()
        root = support.temp_dir(self)
        prefix = os.path.join(root, "a prefix")  # a space must survive install and uninstall
        self.make("install", f"PREFIX={prefix}")

        binary = os.path.join(prefix, "bin", "tarnel-mcp-server")
        docs = os.path.join(prefix, "share", "doc", "tarnel-mcp-server")
        self.assertTrue(os.access(binary, os.X_OK))
        for name in support.DOC_FILES + ["copyright"]:
            self.assertTrue(os.path.isfile(os.path.join(docs, name)), name)
        with open(os.path.join(docs, "BUILD-INFO"), encoding="utf-8") as f:
            build_info = f.read()
        commit = support.run(["git", "-C", support.SOURCE_DIR, "rev-parse", "HEAD"]).stdout.strip()
        self.assertIn(f"at commit {commit}", build_info)
        self.assertRegex(build_info, r"libfyaml +Debian source package libfyaml \S+")
        support.check_session(self, [binary], support.server_env(
            os.path.join(root, "home"), VAULT_PATH=support.EXAMPLE_VAULT))

        self.make("uninstall")
        left = [os.path.join(folder, name) for folder, _, names in os.walk(prefix) for name in names]
        self.assertEqual(left, [])
        self.assertFalse(os.path.exists(docs))
        self.assertFalse(os.path.exists(installed_files))


if __name__ == "__main__":
    support.main()
