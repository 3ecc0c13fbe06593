// The official MCP SDK client calls every tool of the catalogue once on a
// temporary vault and checks what comes back.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, realpathSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { connect, serverJoin, serverPath } from './server_session.mjs';

function text(result) {
  assert.equal(result.isError, undefined, JSON.stringify(result));
  assert.equal(result.content.length, 1);
  assert.equal(result.content[0].type, 'text');
  return result.content[0].text;
}

test('every tool answers the SDK client', async () => {
  const work = realpathSync(mkdtempSync(join(tmpdir(), 'tarnel-every-tool-')));
  const vault = join(work, 'vault');
  mkdirSync(vault);
  // The vault as the server sees and names it.
  const served = serverPath(vault);
  writeFileSync(join(vault, 'hello.md'), '---\ntags: [greeting]\n---\n# Hello\n\nHello world from the interop test.\n');
  writeFileSync(join(vault, 'AGENTS.md'), 'Be brief.\n');
  const repo = join(work, 'repo');
  mkdirSync(repo);
  writeFileSync(join(repo, 'cloned.md'), '# Cloned\n');
  execFileSync('git', ['init', '-q'], { cwd: repo });
  execFileSync('git', ['add', 'cloned.md'], { cwd: repo });
  execFileSync('git', ['-c', 'user.name=t', '-c', 'user.email=t@t.invalid', 'commit', '-qm', 'init'], { cwd: repo });
  const other = join(work, 'other');
  mkdirSync(other);

  const session = await connect({ VAULT_PATH: served });
  const call = (name, args = {}) => session.client.callTool({ name, arguments: args });
  try {
    const listed = JSON.parse(text(await call('list_vaults')));
    assert.deepEqual(listed, {
      vaults: [{
        agentInstructionsPath: serverJoin(served, 'AGENTS.md'), hasAgentInstructions: true, label: 'vault', path: served,
      }],
    });

    const context = JSON.parse(text(await call('get_vault_context')));
    assert.equal(context.noteCount, 2); // hello.md and AGENTS.md
    assert.deepEqual(context.tags, ['greeting']);
    assert.deepEqual(context.agentInstructions, { content: 'Be brief.\n', path: serverJoin(served, 'AGENTS.md') });

    assert.equal(text(await call('search_notes', { query: 'WORLD' })),
      '**Hello** (vault / hello.md)\n# Hello\n\nHello world from the interop test.');

    const note = JSON.parse(text(await call('get_note', { path: 'hello.md' })));
    assert.equal(note.content, '# Hello\n\nHello world from the interop test.');
    assert.deepEqual(note.frontmatter, { tags: ['greeting'] });
    assert.equal(typeof note.mtimeMs, 'number');

    const created = JSON.parse(text(await call('create_note', { path: 'new/idea.md', title: 'Idea', tags: ['x'] })));
    assert.deepEqual(created, { absolutePath: serverJoin(served, 'new/idea.md'), path: 'new/idea.md', vaultPath: served });
    assert.match(readFileSync(join(vault, 'new/idea.md'), 'utf8'),
      /^---\ntags: \["x"\]\n_id: [0-9a-z]{7}\n_date: "\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"\n---\n\n# Idea\n$/);

    const updated = JSON.parse(text(await call('update_note',
      { path: 'hello.md', content: '# Hello again\n', expectedMtime: note.mtimeMs })));
    assert.equal(updated.path, 'hello.md');
    assert.equal(readFileSync(join(vault, 'hello.md'), 'utf8'), '# Hello again\n');

    const appended = JSON.parse(text(await call('append_to_note', { path: 'hello.md', content: 'more' })));
    assert.deepEqual(Object.keys(appended), ['absolutePath', 'mtimeMs', 'path', 'vaultPath']);
    assert.equal(readFileSync(join(vault, 'hello.md'), 'utf8'), '# Hello again\nmore');

    assert.equal(text(await call('open_note', { path: 'hello.md' })), `Opening ${serverJoin(served, 'hello.md')} in tarnel`);
    assert.equal(text(await call('highlight_editor', { element: 'editor' })), 'Highlighting editor');
    assert.equal(text(await call('refresh_vault')), 'Vault refresh triggered');

    assert.deepEqual(JSON.parse(text(await call('attach_vault', { path: serverPath(other) }))),
      { label: 'other', path: serverPath(other) });
    const clone = join(work, 'clones', 'mine');
    assert.deepEqual(
      JSON.parse(text(await call('clone_vault', { remoteUrl: serverPath(repo), destinationPath: serverPath(clone) }))),
      { label: 'mine', path: serverPath(clone) });
    assert.equal(readFileSync(join(clone, 'cloned.md'), 'utf8'), '# Cloned\n');
    // The clone is now the session's vault.
    assert.equal(JSON.parse(text(await call('list_vaults'))).vaults[0].path, serverPath(clone));

    assert.equal(session.stderr(), '');
  } finally {
    await session.close();
    rmSync(work, { recursive: true, force: true });
  }
});
