// Starts the server binary (TARNEL_SERVER_BINARY) under the official MCP SDK
// client, with HOME and XDG_CONFIG_HOME in a fresh temporary folder.
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

const binary = process.env.TARNEL_SERVER_BINARY;

export async function connect(extraEnv = {}) {
  assert.ok(binary, 'TARNEL_SERVER_BINARY must name the server binary');
  const root = mkdtempSync(join(tmpdir(), 'tarnel-interop-'));
  const transport = new StdioClientTransport({
    command: binary,
    args: [],
    env: {
      PATH: process.env.PATH,
      HOME: join(root, 'home'),
      XDG_CONFIG_HOME: join(root, 'config'),
      WS_UI_PORT: '1',
      ...(process.env.ASAN_OPTIONS ? { ASAN_OPTIONS: process.env.ASAN_OPTIONS } : {}),
      ...extraEnv,
    },
    stderr: 'pipe',
  });
  let stderr = '';
  transport.stderr?.on('data', (chunk) => { stderr += chunk; });
  const client = new Client({ name: 'tarnel-interop', version: '1.0.0' });
  await client.connect(transport);
  return {
    client,
    root,
    stderr: () => stderr,
    async close() {
      await client.close();
      rmSync(root, { recursive: true, force: true });
    },
  };
}
