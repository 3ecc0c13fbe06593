#!/usr/bin/env python3
"""Writes BUILD-INFO, unless it already says the same: the commit of this
project and the Debian source packages whose code was linked into the server
binary, so that a recipient of the binary can find its complete corresponding
source (THIRD-PARTY-NOTICES.txt).

Never fails the build: what cannot be found is written as "unknown"."""

import argparse
import os
import subprocess


def run(*command):
    """Returns the command's standard output stripped, or "" when it fails."""
    try:
        done = subprocess.run(command, capture_output=True, text=True, check=False)
    except OSError:
        return ""
    return done.stdout.strip() if done.returncode == 0 else ""


def debian_source_of(path):
    """Returns "source version (binary package)" for the Debian package that
    owns `path`, or "unknown"."""
    owner = run("dpkg-query", "-S", os.path.realpath(path)) or run("dpkg-query", "-S", path)
    if not owner:
        return "unknown"
    package = owner.split(":")[0].split(",")[0].strip()
    source = run("dpkg-query", "-W", "-f=${source:Package} ${source:Version}", package)
    return f"{source or 'unknown'} (binary package {package})"


def os_name():
    """Returns PRETTY_NAME of /etc/os-release, or "unknown"."""
    try:
        with open("/etc/os-release", encoding="utf-8") as f:
            for line in f:
                if line.startswith("PRETTY_NAME="):
                    return line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass
    return "unknown"


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--output", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--compiler", required=True)
    parser.add_argument("--linked", action="append", default=[], metavar="NAME=FILE",
                        help="a library linked into the binary and a file of it")
    parser.add_argument("--static-runtime", action="store_true",
                        help="libstdc++ and libgcc are linked statically")
    args = parser.parse_args()

    commit = run("git", "-C", args.source_dir, "rev-parse", "HEAD") or "unknown"
    if commit != "unknown" and run("git", "-C", args.source_dir, "status", "--porcelain",
                                   "--untracked-files=no"):
        commit += " with uncommitted changes"

    linked = [item.split("=", 1) for item in args.linked]
    if args.static_runtime:
        linked.append(("libstdc++", run(args.compiler, "-print-file-name=libstdc++.a")))
        linked.append(("libgcc", run(args.compiler, "-print-libgcc-file-name")))

    lines = [
        f"tarnel-mcp-server {args.version}",
        "",
        f"source code   this project at commit {commit}",
    ]
    for name, path in linked:
        lines.append(f"{name:<13} Debian source package {debian_source_of(path) if path else 'unknown'}")
    compiler_version = run(args.compiler, "-dumpfullversion") or "unknown"
    lines.append(f"{'compiler':<13} {os.path.basename(args.compiler)} {compiler_version}, "
                 f"Debian source package {debian_source_of(args.compiler)}")
    lines.append(f"{'built on':<13} {os_name()}")
    lines.append("")
    lines.append("The source of a Debian package at a given version is fetched with")
    lines.append("`apt-get source <source package>=<version>`.")

    text = "\n".join(lines) + "\n"
    try:
        with open(args.output, encoding="utf-8") as f:
            if f.read() == text:
                return
    except OSError:
        pass
    with open(args.output, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()
