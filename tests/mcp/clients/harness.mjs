// Connects the official client library to a tool server started from a command line, over
// stdio or over HTTP. The server command is the caller's: vendro's tests give the test server,
// and tests of vendro's own tools give `vendro mcp ...`.
//
//   const session = await connect({ transport: 'stdio' | 'http', command: [prog, ...args] });
//   session.client   // a connected Client
//   await session.close();
//
// Over HTTP the command must print its listening URL (http://.../mcp) on stderr.

import { spawn } from 'node:child_process';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { StreamableHTTPClientTransport } from '@modelcontextprotocol/sdk/client/streamableHttp.js';

const START_TIMEOUT_MS = 20000;

// Starts `command` and resolves with the first http://...:PORT/mcp it prints on stderr.
export function startHttpServer(command, { env } = {}) {
  const child = spawn(command[0], command.slice(1), {
    stdio: ['ignore', 'inherit', 'pipe'],
    env: { ...process.env, ...env },
  });
  return new Promise((resolve, reject) => {
    let seen = '';
    const timer = setTimeout(() => {
      child.kill('SIGKILL');
      reject(new Error(`server printed no URL within ${START_TIMEOUT_MS} ms: ${seen}`));
    }, START_TIMEOUT_MS);
    child.stderr.on('data', (chunk) => {
      process.stderr.write(chunk);
      if (seen.length < 65536) seen += chunk.toString();
      const match = seen.match(/http:\/\/\S+\/mcp/);
      if (match && timer) {
        clearTimeout(timer);
        resolve({ url: match[0], child, stop: () => stopChild(child) });
      }
    });
    child.on('exit', (code, signal) => {
      clearTimeout(timer);
      reject(new Error(`server exited before listening (${code ?? signal}): ${seen}`));
    });
  });
}

// SIGTERM, then SIGKILL if it has not exited after 15 s; resolves with its exit code.
export function stopChild(child) {
  if (child.exitCode !== null || child.signalCode !== null) return Promise.resolve(child.exitCode);
  return new Promise((resolve) => {
    const killer = setTimeout(() => child.kill('SIGKILL'), 15000);
    child.once('exit', (code) => {
      clearTimeout(killer);
      resolve(code);
    });
    child.kill('SIGTERM');
  });
}

export async function connect({ transport, command, env, capabilities = {}, headers = {} }) {
  const client = new Client({ name: 'vendro-test-client', version: '1.0.0' }, { capabilities });
  if (transport === 'stdio') {
    const stdio = new StdioClientTransport({
      command: command[0],
      args: command.slice(1),
      env: { ...process.env, ...env },
      stderr: 'inherit',
    });
    await client.connect(stdio);
    return { client, close: () => client.close() };
  }
  if (transport !== 'http') throw new Error(`unknown transport ${transport}`);
  const server = await startHttpServer(command, { env });
  try {
    const http = new StreamableHTTPClientTransport(new URL(server.url), {
      requestInit: { headers },
    });
    await client.connect(http);
    return {
      client,
      url: server.url,
      close: async () => {
        await http.terminateSession().catch(() => {});
        await client.close();
        return server.stop();
      },
    };
  } catch (error) {
    await server.stop();
    throw error;
  }
}

// Every tool, following nextCursor; also returns how many pages there were.
export async function listAllTools(client) {
  const tools = [];
  let cursor;
  let pages = 0;
  do {
    const page = await client.listTools(cursor === undefined ? {} : { cursor });
    tools.push(...page.tools);
    cursor = page.nextCursor;
    pages += 1;
  } while (cursor !== undefined && pages < 1000);
  return { tools, pages };
}

// Parses `--transport T [--api-key K] -- COMMAND...` as the scripts take it.
export function parseArguments(argv) {
  const split = argv.indexOf('--');
  if (split < 0 || split === argv.length - 1) {
    throw new Error('usage: SCRIPT --transport stdio|http [...] -- SERVER COMMAND...');
  }
  const options = {};
  const own = argv.slice(0, split);
  for (let i = 0; i < own.length; i += 2) options[own[i].replace(/^--/, '')] = own[i + 1];
  return { options, command: argv.slice(split + 1) };
}

// A script's named checks: each prints "ok" or "not ok" with the failure, and finish() prints
// the counts and exits 0 only when all passed.
export function checker(transport) {
  let passed = 0;
  let failed = 0;
  return {
    async check(name, body) {
      try {
        await body();
        passed += 1;
        console.log(`ok - ${transport}: ${name}`);
      } catch (error) {
        failed += 1;
        console.log(`not ok - ${transport}: ${name}\n  ${error.stack ?? error}`);
      }
    },
    finish() {
      console.log(`${passed} passed, ${failed} failed`);
      process.exit(failed === 0 ? 0 : 1);
    },
  };
}
