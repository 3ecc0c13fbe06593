#!/usr/bin/env python3
"""The MCP bundle: unpacked and validated with the official bundle tool, its
manifest checked against the build and the server's own catalogue, and the
server started exactly as the manifest's mcp_config says. Also the hook that
adds a Windows build to the bundle."""

import json
import os
import shutil
import socket
import tempfile
import threading
import unittest
import zipfile

import support
from support import mcp_stdio

TOOL_DIR = os.path.join(support.ARTEFACT_DIR, "mcpb-cli")
MCPB = os.path.join(TOOL_DIR, "node_modules", ".bin", "mcpb")
MAKE_BUNDLE = os.path.join(support.SOURCE_DIR, "packaging", "mcpb", "make_bundle.py")
MCP_CONFIG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "mcp_config.mjs")


class PortWatcher:
    """A TCP listener on 127.0.0.1 that records whether anything connected."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(1)
        self.sock.settimeout(15)
        self.port = self.sock.getsockname()[1]
        self.connected = False
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        try:
            connection, _ = self.sock.accept()
            self.connected = True
            connection.close()
        except OSError:
            pass

    def close(self):
        self.sock.close()
        self.thread.join()


class Bundle(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.bundle = support.artefact(f"tarnel-mcp-server-{support.VERSION}.mcpb")
        support.artefact(MCPB)
        cls.root = tempfile.mkdtemp(prefix="tarnel-packaging-")
        cls.unpacked = os.path.join(cls.root, "unpacked")
        done = support.run([MCPB, "unpack", cls.bundle, cls.unpacked])
        if done.returncode != 0:
            raise RuntimeError(f"mcpb unpack failed: {done.stdout}{done.stderr}")
        with open(os.path.join(cls.unpacked, "manifest.json"), encoding="utf-8") as f:
            cls.manifest = json.load(f)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def test_manifest_passes_the_bundle_tool(self):
        done = support.run([MCPB, "validate", os.path.join(self.unpacked, "manifest.json")])
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

    def test_manifest_describes_this_build(self):
        m = self.manifest
        self.assertEqual((m["name"], m["version"], m["license"]),
                         ("tarnel-mcp-server", support.VERSION, support.BINARY_LICENSE))
        self.assertEqual(m["server"]["type"], "binary")
        entry = os.path.join(self.unpacked, m["server"]["entry_point"])
        self.assertTrue(os.access(entry, os.X_OK), "the unpacked server must be executable")
        # make bundle builds the Windows server first: both are inside.
        with open(os.path.join(self.unpacked, "server", "tarnel-mcp-server.exe"), "rb") as f:
            self.assertEqual(f.read(2), b"MZ")
        self.assertEqual(m["compatibility"]["platforms"], ["linux", "win32"])
        user_config = m["user_config"]
        self.assertEqual(user_config["vault_path"]["type"], "directory")
        self.assertEqual((user_config["ui_port"]["type"], user_config["ui_port"]["default"]), ("number", 9711))
        self.assertEqual(m["server"]["mcp_config"]["env"], {"VAULT_PATH": "${user_config.vault_path}",
                                                            "WS_UI_PORT": "${user_config.ui_port}"})

    def test_tools_are_the_servers_own_catalogue(self):
        entry = os.path.join(self.unpacked, self.manifest["server"]["entry_point"])
        answers = mcp_stdio.exchange([entry], [mcp_stdio.initialize(1), mcp_stdio.request(2, "tools/list")],
                                     support.server_env(support.temp_dir(self)))
        catalogue = [{"name": t["name"], "description": t["description"]}
                     for t in mcp_stdio.result_of(answers, 2)["tools"]]
        self.assertEqual(len(catalogue), 12)
        self.assertEqual(self.manifest["tools"], catalogue)

    def test_licence_and_notices_are_inside(self):
        for name in support.DOC_FILES:
            self.assertTrue(os.path.isfile(os.path.join(self.unpacked, name)), name)

    def launch_config(self, user_config, home):
        done = support.run(["node", MCP_CONFIG, TOOL_DIR, self.unpacked, json.dumps(user_config), home])
        self.assertEqual(done.returncode, 0, done.stderr)
        return json.loads(done.stdout)

    def test_server_starts_as_mcp_config_says(self):
        home = support.temp_dir(self)
        # A host launches nothing while a required setting is missing.
        self.assertIsNone(self.launch_config({}, home))

        watcher = PortWatcher()
        self.addCleanup(watcher.close)
        config = self.launch_config({"vault_path": support.EXAMPLE_VAULT, "ui_port": watcher.port}, home)
        self.assertNotIn("${", json.dumps(config), "every placeholder must be filled in")
        self.assertEqual(config["env"], {"VAULT_PATH": support.EXAMPLE_VAULT, "WS_UI_PORT": str(watcher.port)})

        command = [config["command"], *config.get("args", [])]
        env = support.server_env(home, **config["env"])
        support.check_session(self, command, env)
        # WS_UI_PORT arrived: a UI action goes to the chosen port.
        mcp_stdio.exchange(command, [mcp_stdio.initialize(1), mcp_stdio.tool_call(2, "refresh_vault", {})], env)
        watcher.thread.join(timeout=15)
        self.assertTrue(watcher.connected, "refresh_vault did not reach the configured UI bridge port")

        # With the defaults the port is 9711.
        config = self.launch_config({"vault_path": support.EXAMPLE_VAULT}, home)
        self.assertEqual(config["env"]["WS_UI_PORT"], "9711")


class WindowsBuildHook(unittest.TestCase):
    """make_bundle.py adds a Windows build named by --win32-binary, refusing it
    while the notices lack its runtime."""

    def setUp(self):
        installed = support.artefact(os.path.join("packaging", "bundle-install"))
        support.artefact(MCPB)
        self.root = support.temp_dir(self)
        self.tree = os.path.join(self.root, "install")
        shutil.copytree(installed, self.tree, symlinks=True)
        self.exe = os.path.join(self.root, "tarnel-mcp-server.exe")

    def make_bundle(self, win32_binary):
        return support.run(["python3", MAKE_BUNDLE, "--install-tree", self.tree,
                            "--staging", os.path.join(self.root, "staging"),
                            "--output", os.path.join(self.root, "out.mcpb"),
                            "--version", support.VERSION, "--license", support.BINARY_LICENSE,
                            "--mcpb", MCPB, "--win32-binary", win32_binary])

    def test_a_windows_build_joins_the_bundle(self):
        with open(self.exe, "wb") as f:
            f.write(b"MZ" + bytes(62))
        # Notices that do not list the Windows runtime refuse the Windows build.
        notices = os.path.join(self.tree, "share", "doc", "tarnel-mcp-server", "THIRD-PARTY-NOTICES.txt")
        with open(notices, "w", encoding="utf-8") as f:
            f.write("Notices of the Linux build only.\n")
        done = self.make_bundle(self.exe)
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("mingw-w64 runtime, which THIRD-PARTY-NOTICES.txt does not list", done.stderr)

        with open(notices, "a", encoding="utf-8") as f:
            f.write("\n4. The mingw-w64 runtime (Windows build only)\n")
        done = self.make_bundle(self.exe)
        self.assertEqual(done.returncode, 0, done.stderr)
        with zipfile.ZipFile(os.path.join(self.root, "out.mcpb")) as bundle:
            self.assertIn("server/tarnel-mcp-server.exe", bundle.namelist())
            manifest = json.loads(bundle.read("manifest.json"))
        self.assertEqual(manifest["compatibility"]["platforms"], ["linux", "win32"])
        self.assertEqual(manifest["server"]["mcp_config"]["platform_overrides"],
                         {"win32": {"command": "${__dirname}/server/tarnel-mcp-server.exe"}})

    def test_no_windows_build_no_win32(self):
        done = self.make_bundle(self.exe)  # does not exist
        self.assertEqual(done.returncode, 0, done.stderr)
        with zipfile.ZipFile(os.path.join(self.root, "out.mcpb")) as bundle:
            manifest = json.loads(bundle.read("manifest.json"))
        self.assertEqual(manifest["compatibility"]["platforms"], ["linux"])
        self.assertNotIn("platform_overrides", manifest["server"]["mcp_config"])

    def test_a_file_that_is_no_windows_program_is_refused(self):
        with open(self.exe, "wb") as f:
            f.write(b"\x7fELF")
        done = self.make_bundle(self.exe)
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("is not a Windows executable", done.stderr)


if __name__ == "__main__":
    support.main()
