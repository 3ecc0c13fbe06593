// The official MCP TypeScript SDK client drives the server binary over stdio.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { connect } from './server_session.mjs';
import { LATEST_PROTOCOL_VERSION, ListResourcesResultSchema } from '@modelcontextprotocol/sdk/types.js';

test('the SDK client connects, lists the tools and calls them', async () => {
  const session = await connect();
  try {
    const info = session.client.getServerVersion();
    assert.deepEqual(info, { name: 'tarnel-mcp-server', version: '0.3.0' });
    assert.deepEqual(session.client.getServerCapabilities(), { tools: {} });
    // The client asked for its latest version and accepted the echoed answer.
    assert.equal(LATEST_PROTOCOL_VERSION, '2025-11-25');

    const { tools } = await session.client.listTools();
    assert.equal(tools.length, 12);
    assert.equal(tools[0].name, 'search_notes');
    assert.equal(tools[11].name, 'refresh_vault');
    assert.deepEqual(tools.map((t) => t.name), [
      'search_notes', 'get_vault_context', 'list_vaults', 'attach_vault', 'clone_vault', 'get_note',
      'create_note', 'update_note', 'append_to_note', 'open_note', 'highlight_editor', 'refresh_vault',
    ]);

    const unknown = await session.client.callTool({ name: 'no_such_tool', arguments: {} });
    assert.equal(unknown.isError, true);
    assert.deepEqual(unknown.content, [{ type: 'text', text: 'Error: Unknown tool: no_such_tool' }]);

    assert.deepEqual(await session.client.ping(), {});

    await assert.rejects(
      session.client.request({ method: 'resources/list', params: {} }, ListResourcesResultSchema),
      (err) => err.code === -32601 && /Method not found: resources\/list/.test(err.message),
    );
    assert.equal(session.stderr(), '');
  } finally {
    await session.close();
  }
});
