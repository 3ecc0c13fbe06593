"""One MCP session with a server process over its standard input and output,
for the bundle build (which asks the built server for its tool catalogue) and
the packaging tests (which run installed or unpacked servers)."""

import json
import subprocess


def request(request_id, method, params=None):
    """Returns a JSON-RPC request object."""
    message = {"jsonrpc": "2.0", "id": request_id, "method": method}
    if params is not None:
        message["params"] = params
    return message


def initialize(request_id=1):
    """Returns the `initialize` request a host sends first."""
    return request(request_id, "initialize", {
        "protocolVersion": "2025-06-18",
        "capabilities": {},
        "clientInfo": {"name": "tarnel-packaging", "version": "1"},
    })


def tool_call(request_id, name, arguments):
    """Returns a `tools/call` request for tool `name`."""
    return request(request_id, "tools/call", {"name": name, "arguments": arguments})


def exchange(command, requests, env, timeout=30):
    """Starts `command` (a list: program and arguments) with exactly the
    environment `env`, writes each request as one line, closes standard input
    and waits for the server to exit. Returns the answers, one parsed JSON
    value per line of standard output, in order.

    Raises RuntimeError when the server does not exit with status 0 within
    `timeout` seconds, writes anything to standard error, or writes a line that
    is not JSON: a server started by a host must do none of these."""
    text = "".join(json.dumps(r) + "\n" for r in requests)
    try:
        done = subprocess.run(command, input=text.encode(), env=env, capture_output=True,
                              timeout=timeout, check=False)
    except subprocess.TimeoutExpired as e:
        raise RuntimeError(f"{command[0]} did not exit within {timeout} s") from e
    if done.returncode != 0:
        raise RuntimeError(f"{command[0]} exited with status {done.returncode}")
    if done.stderr:
        raise RuntimeError(f"{command[0]} wrote to standard error: {done.stderr[:500]!r}")
    answers = []
    for line in done.stdout.decode().splitlines():
        try:
            answers.append(json.loads(line))
        except json.JSONDecodeError as e:
            raise RuntimeError(f"{command[0]} wrote a line that is not JSON: {line[:200]!r}") from e
    return answers


def result_of(answers, request_id):
    """Returns the `result` of the answer to `request_id`; raises RuntimeError
    when there is no such answer or it is an error."""
    for answer in answers:
        if answer.get("id") == request_id:
            if "result" not in answer:
                raise RuntimeError(f"request {request_id} failed: {answer}")
            return answer["result"]
    raise RuntimeError(f"no answer to request {request_id} among {answers}")
