// Starts the server binary (TARNEL_SERVER_BINARY) under the official MCP SDK
// client, with HOME and XDG_CONFIG_HOME in a fresh temporary folder. With
// TARNEL_SERVER_WINE set the binary is the Windows .exe, run by that wine64:
// the server then sees Windows paths (serverPath), finds git.exe along the
// folders of WINEPATH (TARNEL_STAND_IN_GIT, the stand-in the Windows tests
// build) and gets the wine prefix's settings.
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path, { join } from 'node:path';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

const binary = process.env.TARNEL_SERVER_BINARY;
const wine = process.env.TARNEL_SERVER_WINE;

// True when the server is the Windows .exe under wine.
export const onWindows = Boolean(wine);

// A path of this machine as the server sees it: under wine the root folder
// is drive Z: ("/tmp/x" is "Z:\tmp\x").
export function serverPath(p) {
  return onWindows ? `Z:${p.replaceAll('/', '\\')}` : p;
}

// Joins paths the server's way.
export const serverJoin = onWindows ? path.win32.join : path.posix.join;

export async function connect(extraEnv = {}) {
  assert.ok(binary, 'TARNEL_SERVER_BINARY must name the server binary');
  const root = mkdtempSync(join(tmpdir(), 'tarnel-interop-'));
  const wineEnv = onWindows
    ? {
      WINEPREFIX: process.env.WINEPREFIX,
      WINEDEBUG: '-all',
      WINEDLLOVERRIDES: 'mscoree,mshtml=',
      ...(process.env.TARNEL_STAND_IN_GIT ? { WINEPATH: serverPath(process.env.TARNEL_STAND_IN_GIT) } : {}),
    }
    : {};
  const transport = new StdioClientTransport({
    command: onWindows ? wine : binary,
    args: onWindows ? [binary] : [],
    env: {
      PATH: process.env.PATH,
      HOME: serverPath(join(root, 'home')),
      XDG_CONFIG_HOME: serverPath(join(root, 'config')),
      WS_UI_PORT: '1',
      ...(process.env.ASAN_OPTIONS ? { ASAN_OPTIONS: process.env.ASAN_OPTIONS } : {}),
      ...wineEnv,
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
