// Prints, as JSON, the launch configuration (command, args, env) that a host
// derives from an unpacked bundle's manifest and the user's settings, through
// the official bundle library's own getMcpConfigForManifest.
// Usage: node mcp_config.mjs <bundle tool folder> <unpacked bundle> <user config JSON> <home>
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';

const [toolDir, bundleDir, userConfigJson, home] = process.argv.slice(2);
const library = join(toolDir, 'node_modules', '@anthropic-ai', 'mcpb', 'dist', 'index.js');
const { getMcpConfigForManifest } = await import(pathToFileURL(library).href);
const manifest = JSON.parse(readFileSync(join(bundleDir, 'manifest.json'), 'utf8'));
const config = await getMcpConfigForManifest({
  manifest,
  extensionPath: bundleDir,
  systemDirs: {
    HOME: home,
    DESKTOP: join(home, 'Desktop'),
    DOCUMENTS: join(home, 'Documents'),
    DOWNLOADS: join(home, 'Downloads'),
  },
  userConfig: JSON.parse(userConfigJson),
  pathSeparator: '/',
});
process.stdout.write(JSON.stringify(config ?? null));
