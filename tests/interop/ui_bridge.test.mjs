// The UI bridge against a real WebSocket server library: the `ws` server must
// accept the server's handshake and decode its frames (all three length
// forms) to the exact message texts.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { once } from 'node:events';
import { setTimeout as sleep } from 'node:timers/promises';
import { WebSocketServer } from 'ws';
import { connect } from './server_session.mjs';

// A ws server on an ephemeral loopback port that records handshakes, messages and errors.
async function startBridge() {
  const wss = new WebSocketServer({ host: '127.0.0.1', port: 0 });
  await once(wss, 'listening');
  const seen = { headers: [], messages: [], errors: [] };
  wss.on('connection', (socket, request) => {
    seen.headers.push(request.headers);
    socket.on('message', (data, isBinary) => seen.messages.push({ text: data.toString('utf8'), isBinary }));
    socket.on('error', (err) => seen.errors.push(err.message));
  });
  wss.on('wsClientError', (err) => seen.errors.push(err.message));
  return { wss, port: wss.address().port, seen };
}

async function waitFor(condition, ms = 5000) {
  const deadline = Date.now() + ms;
  while (!condition()) {
    if (Date.now() > deadline) return false;
    await sleep(10);
  }
  return true;
}

test('highlight_editor messages reach a ws server intact', async () => {
  const bridge = await startBridge();
  const session = await connect({ WS_UI_PORT: String(bridge.port) });
  try {
    const cases = [
      // 1-byte length form
      { args: {}, text: 'Highlighting undefined',
        message: '{"action":"highlight","element":"undefined","path":null,"type":"ui_action"}' },
      { args: { element: 'editor', path: 5 }, text: 'Highlighting editor',
        message: '{"action":"highlight","element":"editor","path":5,"type":"ui_action"}' },
      // 2-byte length form
      { args: { element: 'sidebar', path: 'p'.repeat(1000) }, text: 'Highlighting sidebar',
        message: `{"action":"highlight","element":"sidebar","path":"${'p'.repeat(1000)}","type":"ui_action"}` },
      // 8-byte length form, with text beyond ASCII
      { args: { element: 'é', path: 'q'.repeat(70000) }, text: 'Highlighting é',
        message: `{"action":"highlight","element":"é","path":"${'q'.repeat(70000)}","type":"ui_action"}` },
    ];
    for (const c of cases) {
      const result = await session.client.callTool({ name: 'highlight_editor', arguments: c.args });
      assert.equal(result.isError, undefined);
      assert.deepEqual(result.content, [{ type: 'text', text: c.text }]);
    }
    assert.ok(await waitFor(() => bridge.seen.messages.length >= cases.length), 'messages did not all arrive');
    assert.deepEqual(bridge.seen.errors, []);
    assert.deepEqual(bridge.seen.messages, cases.map((c) => ({ text: c.message, isBinary: false })));
    assert.equal(bridge.seen.headers.length, cases.length);
    for (const headers of bridge.seen.headers) {
      assert.equal(headers.host, `localhost:${bridge.port}`);
      assert.equal(headers['sec-websocket-version'], '13');
      assert.match(headers['sec-websocket-key'], /^[A-Za-z0-9+/]{22}==$/);
      assert.equal(headers.origin, undefined);
    }
    assert.equal(new Set(bridge.seen.headers.map((h) => h['sec-websocket-key'])).size, cases.length);
    assert.equal(session.stderr(), '');
  } finally {
    await session.close();
    bridge.wss.close();
  }
});
