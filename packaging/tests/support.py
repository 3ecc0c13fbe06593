"""What the packaging tests share: the build's facts from ctest's environment,
a clean environment for the servers they start, and the skip convention."""

import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import mcp_stdio  # noqa: E402,F401  (re-exported for the tests)

SOURCE_DIR = os.environ.get("TARNEL_SOURCE_DIR",
                            os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
ARTEFACT_DIR = os.environ.get("TARNEL_ARTEFACT_DIR", os.path.join(SOURCE_DIR, "build"))
VERSION = os.environ.get("TARNEL_VERSION", "")
BINARY_LICENSE = os.environ.get("TARNEL_BINARY_LICENSE", "")
EXAMPLE_VAULT = os.path.join(SOURCE_DIR, "examples", "vault")
DOC_FILES = ["LICENSE", "THIRD-PARTY-NOTICES.txt", "BUILD-INFO",
             "LICENSES/GPL-2.0.txt", "LICENSES/GPL-3.0.txt", "LICENSES/GCC-exception-3.1.txt"]

# ctest's SKIP_RETURN_CODE for these tests.
SKIPPED = 77


def main():
    """Runs the test module's tests, naming each with its outcome. Exits with
    SKIPPED when every test was skipped, so that ctest reports the skip."""
    result = unittest.main(verbosity=2, exit=False).result
    if result.testsRun and len(result.skipped) == result.testsRun:
        sys.exit(SKIPPED)
    sys.exit(0 if result.wasSuccessful() else 1)


def artefact(name):
    """Returns the path of a Release artefact in ARTEFACT_DIR; raises with a
    hint when it is missing (`make test` makes them first)."""
    path = os.path.join(ARTEFACT_DIR, name)
    if not os.path.exists(path):
        raise RuntimeError(f"{path} is missing: `make package bundle` makes it "
                           "(`make test` does so first)")
    return path


def server_env(home, **extra):
    """Returns an environment for a server under test: PATH, and HOME and
    XDG_CONFIG_HOME inside the temporary folder `home`, so that no test
    touches the real configuration folder; plus `extra`."""
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": home,
           "XDG_CONFIG_HOME": os.path.join(home, "config")}
    env.update(extra)
    return env


def run(command, **kwargs):
    """Runs a command and returns its CompletedProcess (text output captured)."""
    return subprocess.run(command, capture_output=True, text=True, check=False, **kwargs)


def temp_dir(test_case):
    """Returns a fresh temporary folder removed when `test_case` ends."""
    folder = tempfile.TemporaryDirectory(prefix="tarnel-packaging-")
    test_case.addCleanup(folder.cleanup)
    return folder.name


def check_session(test_case, command, env):
    """Starts the server as `command` with `env` (whose VAULT_PATH is the
    example vault) and checks what a host needs first: an `initialize` answer
    naming this version, and a `search_notes` result from the example vault."""
    answers = mcp_stdio.exchange(command, [
        mcp_stdio.initialize(1),
        mcp_stdio.tool_call(2, "search_notes", {"query": "garden"}),
    ], env)
    info = mcp_stdio.result_of(answers, 1)["serverInfo"]
    test_case.assertEqual(info, {"name": "tarnel-mcp-server", "version": VERSION})
    found = mcp_stdio.result_of(answers, 2)
    test_case.assertFalse(found.get("isError", False), found)
    test_case.assertIn("**Garden plan** (vault / projects/Garden plan.md)", found["content"][0]["text"])
