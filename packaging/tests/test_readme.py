#!/usr/bin/env python3
"""The host set-up snippets of README.md's "Connect it to your MCP host" are
parsed and checked, so that a typo in them fails the build: the JSON blocks,
the one-line registration command, the inspector commands and the make
commands. The server's tool catalogue comes from the built server."""

import json
import os
import re
import shlex
import tempfile
import unittest

import support
from support import mcp_stdio

SECTION = "## Connect it to your MCP host"
# Where make install (default PREFIX) and the Debian package put the server.
COMMANDS = {"/usr/local/bin/tarnel-mcp-server", "/usr/bin/tarnel-mcp-server"}


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def blocks(markdown, language):
    """Returns the contents of the fenced code blocks of `language`."""
    return re.findall(r"^```" + language + r"\n(.*?)^```$", markdown, re.M | re.S)


def commands(markdown):
    """Returns the shell commands of the sh blocks, comments stripped, each split into words."""
    found = []
    for block in blocks(markdown, "sh"):
        for line in block.splitlines():
            words = shlex.split(line, comments=True)
            if words:
                found.append(words)
    return found


class Readme(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.readme = read(os.path.join(support.SOURCE_DIR, "README.md"))
        start = cls.readme.index(SECTION)
        end = cls.readme.find("\n## ", start + len(SECTION))
        cls.section = cls.readme[start:end if end >= 0 else None]
        cls.variables = set(re.findall(r"^\| `([A-Za-z_]+)` \|", cls.section, re.M))
        binary = os.environ["TARNEL_SERVER_BINARY"]
        with tempfile.TemporaryDirectory(prefix="tarnel-packaging-") as home:
            answers = mcp_stdio.exchange([binary], [mcp_stdio.initialize(1), mcp_stdio.request(2, "tools/list")],
                                         support.server_env(home))
        cls.tools = {t["name"]: t for t in mcp_stdio.result_of(answers, 2)["tools"]}

    def check_env(self, env, where):
        self.assertIsInstance(env, dict, where)
        self.assertIn("VAULT_PATH", env, where)
        for name, value in env.items():
            self.assertIn(name, self.variables, f"{where}: {name} is not in the table of environment variables")
            self.assertIn(name, ("VAULT_PATH", "WS_UI_PORT"), f"{where}: a host sets only these two")
            self.assertIsInstance(value, str, f"{where}: hosts take environment values as strings")
        self.assertTrue(env["VAULT_PATH"].startswith("/"), f"{where}: VAULT_PATH must be absolute")
        if "WS_UI_PORT" in env:
            self.assertEqual(env["WS_UI_PORT"], "9711", where)

    def test_the_two_contract_commands_come_first(self):
        first = commands(self.readme)[:2]
        self.assertEqual(first, [["make", "run"], ["make", "test"]])

    def test_json_blocks(self):
        configs = [json.loads(block) for block in blocks(self.section, "json")]  # each must parse
        by_kind = {kind: servers for c in configs if isinstance(c, dict) for kind, servers in c.items()}
        self.assertEqual(sorted(by_kind), ["mcpServers", "servers"], "one generic and one VS Code block")

        (name, server), = by_kind["mcpServers"].items()
        self.assertEqual(name, "tarnel")
        self.assertIn(server["command"], COMMANDS)
        self.assertEqual(server.get("args", []), [])
        self.assertLessEqual(set(server), {"command", "args", "env"})
        self.check_env(server["env"], "mcpServers")

        (name, server), = by_kind["servers"].items()
        self.assertEqual(name, "tarnel")
        self.assertEqual(server["type"], "stdio")
        self.assertIn(server["command"], COMMANDS)
        self.assertLessEqual(set(server), {"type", "command", "args", "env"})
        self.check_env(server["env"], "servers")

    def test_registration_command(self):
        lines = [c for c in commands(self.section) if c[:3] == ["claude", "mcp", "add"]]
        self.assertEqual(len(lines), 1)
        words = lines[0][3:]
        separator = words.index("--")
        self.assertIn(words[separator + 1], COMMANDS)
        self.assertEqual(words[separator + 2:], [], "the server takes no arguments")
        options, env, positionals = iter(words[:separator]), {}, []
        for word in options:
            if word in ("--transport", "-t"):
                self.assertEqual(next(options), "stdio")
            elif word in ("--env", "-e"):
                self.assertEqual(positionals, ["tarnel"], "the name must come before --env, which takes several values")
                key, _, value = next(options).partition("=")
                env[key] = value
            else:
                self.assertFalse(word.startswith("-"), f"unexpected option {word}")
                positionals.append(word)
        self.assertEqual(positionals, ["tarnel"])
        self.check_env(env, "claude mcp add")

    def test_inspector_commands(self):
        lines = [c for c in commands(self.section) if c[:3] == ["npx", "@modelcontextprotocol/inspector", "--cli"]]
        self.assertEqual(len(lines), 2)
        for words in lines:
            where = " ".join(words)
            # The CLI takes the leading words up to the first option as the server's command.
            self.assertIn(words[3], COMMANDS, where)
            self.assertTrue(words[4].startswith("-"), f"{where}: the server takes no arguments")
            options, env, tool_args = iter(words[4:]), {}, {}
            method = tool = None
            for word in options:
                if word == "-e":
                    key, _, value = next(options).partition("=")
                    env[key] = value
                elif word == "--method":
                    method = next(options)
                elif word == "--tool-name":
                    tool = next(options)
                elif word == "--tool-arg":
                    key, _, value = next(options).partition("=")
                    tool_args[key] = value
                else:
                    self.fail(f"{where}: unexpected word {word}")
            self.check_env(env, where)
            self.assertIn(method, ("tools/list", "tools/call"), where)
            if method == "tools/call":
                self.assertIn(tool, self.tools, where)
                properties = self.tools[tool]["inputSchema"]["properties"]
                self.assertLessEqual(set(tool_args), set(properties), where)
                self.assertLessEqual(set(self.tools[tool]["inputSchema"].get("required", [])), set(tool_args), where)

    def test_make_commands_name_real_targets(self):
        makefile = read(os.path.join(support.SOURCE_DIR, "Makefile"))
        phony = set(re.search(r"^\.PHONY:(.*)$", makefile, re.M).group(1).split())
        lines = [c for c in commands(self.section) if c[0] == "make"]
        self.assertGreaterEqual({c[1] for c in lines}, {"install", "package", "bundle"})
        for words in lines:
            self.assertIn(words[1], phony, " ".join(words))
            for assignment in words[2:]:
                self.assertRegex(assignment, r"^PREFIX=\S+$")
                self.assertIn("PREFIX ?=", makefile)

    def test_artefact_names_are_this_versions(self):
        names = re.findall(r"tarnel-mcp-server(?:_[^_\s]+_amd64\.deb|-[^\s`]+?\.mcpb)", self.section)
        self.assertGreaterEqual(len(names), 2)
        self.assertEqual({n.replace("_amd64.deb", "").replace(".mcpb", "")[len("tarnel-mcp-server") + 1:]
                          for n in names}, {support.VERSION})


if __name__ == "__main__":
    support.main()
