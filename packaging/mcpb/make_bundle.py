#!/usr/bin/env python3
"""Builds the MCP bundle (.mcpb) of the server: stages the installed server and
its licence files, writes manifest.json (tools taken from the built server's own
`tools/list`, version and licence from the build), then validates and packs it
with the official bundle tool.

A Windows build of the server, when --win32-binary names an existing file, is
added beside the Linux one as server/tarnel-mcp-server.exe, with "win32" in the
platforms and a win32 override of the command."""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import build_info  # noqa: E402  (BUILD-INFO's package look-ups, beside this folder)
import mcp_stdio  # noqa: E402  (the shared session helper beside this folder)

SERVER_NAME = "tarnel-mcp-server"
LINUX_ENTRY = f"server/{SERVER_NAME}"
WIN32_ENTRY = f"server/{SERVER_NAME}.exe"
# The Windows binary links the mingw-w64 runtime: its notice must be in the
# notices before that binary may be shipped.
WIN32_RUNTIME_NOTICE = "mingw-w64"


def fail(message):
    sys.exit(f"make_bundle: {message}")


def server_catalogue(binary, version):
    """Returns the (name, description) pairs of the server's `tools/list`,
    after checking that the server reports `version`."""
    with tempfile.TemporaryDirectory(prefix="tarnel-bundle-") as home:
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": home,
               "XDG_CONFIG_HOME": os.path.join(home, "config")}
        answers = mcp_stdio.exchange([binary], [mcp_stdio.initialize(1),
                                                mcp_stdio.request(2, "tools/list")], env)
    reported = mcp_stdio.result_of(answers, 1)["serverInfo"]["version"]
    if reported != version:
        fail(f"the server reports version {reported}, the build says {version}")
    return [{"name": t["name"], "description": t["description"]}
            for t in mcp_stdio.result_of(answers, 2)["tools"]]


def win32_build_info(win32_binary):
    """Returns the lines that BUILD-INFO adds for the Windows program file: the
    Debian source packages of the mingw-w64 runtime and compiler linked into
    it, and libfyaml's version as the Windows build staged it."""
    compiler = "x86_64-w64-mingw32-g++-posix"
    runtime = build_info.run(compiler, "-print-file-name=libmingwex.a") or "/usr/x86_64-w64-mingw32/lib/libmingwex.a"
    libstdcxx = build_info.run(compiler, "-print-file-name=libstdc++.a")
    fyaml = "unknown"
    pc = os.path.join(os.path.dirname(win32_binary), "deps", "lib", "pkgconfig", "libfyaml.pc")
    try:
        with open(pc, encoding="utf-8") as f:
            fyaml = next((line.split(":", 1)[1].strip() for line in f if line.startswith("Version:")), "unknown")
    except OSError:
        pass
    compiler_version = build_info.run(compiler, "-dumpfullversion") or "unknown"
    return [
        "",
        f"The Windows program file ({WIN32_ENTRY}) is built from the same commit:",
        f"{'mingw-w64':<13} Debian source package {build_info.debian_source_of(runtime)}",
        f"{'libstdc++':<13} Debian source package "
        f"{build_info.debian_source_of(libstdcxx) if libstdcxx else 'unknown'}",
        f"{'libfyaml':<13} version {fyaml}, from the Debian source package libfyaml (scripts/windows-deps)",
        f"{'compiler':<13} {compiler} {compiler_version}, Debian source package "
        f"{build_info.debian_source_of('/usr/bin/' + compiler)}",
    ]


def manifest(version, license_id, tools, with_win32):
    """Returns the manifest.json object of the bundle."""
    mcp_config = {
        "command": "${__dirname}/" + LINUX_ENTRY,
        "args": [],
        "env": {
            "VAULT_PATH": "${user_config.vault_path}",
            "WS_UI_PORT": "${user_config.ui_port}",
        },
    }
    platforms = ["linux"]
    if with_win32:
        mcp_config["platform_overrides"] = {"win32": {"command": "${__dirname}/" + WIN32_ENTRY}}
        platforms.append("win32")
    return {
        "manifest_version": "0.3",
        "name": SERVER_NAME,
        "display_name": "Tarnel note vaults",
        "version": version,
        "description": "Safe access for an AI agent to your markdown note vaults: "
                       "search, read, create and update notes.",
        "long_description":
            "Searches, reads and writes the markdown notes of a vault (a folder of `.md` notes "
            "with optional YAML frontmatter) and only inside it. Creating a note never overwrites "
            "one, a replacement can be guarded by the note's modification time, saves are atomic, "
            "and runaway writes are refused. It can also register and clone vaults and tell the "
            "desktop note application what changed over a local WebSocket.",
        "author": {"name": "The tarnel-mcp-server developers"},
        "license": license_id,
        "keywords": ["notes", "markdown", "vault", "frontmatter", "yaml"],
        "server": {"type": "binary", "entry_point": LINUX_ENTRY, "mcp_config": mcp_config},
        "tools": tools,
        "compatibility": {"platforms": platforms},
        "user_config": {
            "vault_path": {
                "type": "directory",
                "title": "Vault folder",
                "description": "The folder of markdown notes the server works in (VAULT_PATH).",
                "required": True,
            },
            "ui_port": {
                "type": "number",
                "title": "UI bridge port",
                "description": "The port of the desktop note application's UI bridge on "
                               "127.0.0.1 (WS_UI_PORT).",
                "default": 9711,
                "min": 1,
                "max": 65535,
                "required": False,
            },
        },
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--install-tree", required=True,
                        help="a prefix the server was installed into (bin/, share/doc/)")
    parser.add_argument("--staging", required=True, help="folder to lay the bundle out in (emptied)")
    parser.add_argument("--output", required=True, help="the .mcpb file to write")
    parser.add_argument("--version", required=True)
    parser.add_argument("--license", required=True, help="SPDX licence of the bundled binaries")
    parser.add_argument("--mcpb", required=True, help="the bundle tool's executable")
    parser.add_argument("--win32-binary", help="the Windows build of the server; added when it exists")
    args = parser.parse_args()

    binary = os.path.join(args.install_tree, "bin", SERVER_NAME)
    docs = os.path.join(args.install_tree, "share", "doc", SERVER_NAME)
    if not os.access(binary, os.X_OK):
        fail(f"no server binary at {binary}")

    shutil.rmtree(args.staging, ignore_errors=True)
    os.makedirs(os.path.join(args.staging, "server"))
    shutil.copy2(binary, os.path.join(args.staging, LINUX_ENTRY))
    # The licence, the notices, the licence texts and BUILD-INFO; Debian's
    # `copyright` is only their concatenation.
    shutil.copytree(docs, args.staging, dirs_exist_ok=True,
                    ignore=lambda folder, names: ["copyright"] if folder == docs else [])

    with_win32 = bool(args.win32_binary) and os.path.isfile(args.win32_binary)
    if with_win32:
        with open(args.win32_binary, "rb") as f:
            if f.read(2) != b"MZ":
                fail(f"{args.win32_binary} is not a Windows executable")
        with open(os.path.join(args.staging, "THIRD-PARTY-NOTICES.txt"), encoding="utf-8") as f:
            if WIN32_RUNTIME_NOTICE not in f.read():
                fail(f"{args.win32_binary} contains the {WIN32_RUNTIME_NOTICE} runtime, which "
                     "THIRD-PARTY-NOTICES.txt does not list yet: add its notice before bundling it")
        shutil.copy2(args.win32_binary, os.path.join(args.staging, WIN32_ENTRY))
        with open(os.path.join(args.staging, "BUILD-INFO"), "a", encoding="utf-8") as f:
            f.write("\n".join(win32_build_info(args.win32_binary)) + "\n")

    tools = server_catalogue(os.path.join(args.staging, LINUX_ENTRY), args.version)
    with open(os.path.join(args.staging, "manifest.json"), "w", encoding="utf-8") as f:
        json.dump(manifest(args.version, args.license, tools, with_win32), f, indent=2)
        f.write("\n")

    # The tool validates the manifest, then packs; its report goes to standard error.
    for command in ([args.mcpb, "validate", os.path.join(args.staging, "manifest.json")],
                    [args.mcpb, "pack", args.staging, args.output]):
        if subprocess.run(command, stdout=sys.stderr, check=False).returncode != 0:
            fail(f"{' '.join(command)} failed")


if __name__ == "__main__":
    main()
