// Drives `vendro mcp` itself with the official client library over one transport: every tool of
// the command table listed page by page with a valid input schema, calls that succeed and fail,
// a collection on the SellerSprite stand-in that reports progress and is cancelled (its browser
// closes and the profile serves the next calls, which wait for each other), the X- headers of
// the request reaching an upload on an OPS stand-in, and no update check.
//
//   node vendro_tools.mjs --transport stdio|http --site SITE_PROGRAM -- VENDRO mcp [...]

import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, readdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import Ajv from 'ajv';
import { ElicitRequestSchema, ErrorCode, McpError } from '@modelcontextprotocol/sdk/types.js';
import { checker, connect, listAllTools, parseArguments, stopChild } from './harness.mjs';

const { options, command } = parseArguments(process.argv.slice(2));
const transport = options.transport;
const { check, finish } = checker(transport);

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// The SellerSprite stand-in: its first stdout line is its origin.
function startSite(program, modes) {
  const child = spawn(program, modes.flatMap((mode) => ['--mode', mode]), {
    stdio: ['ignore', 'pipe', 'inherit'],
  });
  return new Promise((resolve, reject) => {
    let seen = '';
    child.stdout.on('data', (chunk) => {
      seen += chunk.toString();
      const line = seen.split('\n')[0];
      if (seen.includes('\n')) resolve({ origin: line.trim(), child });
    });
    child.on('exit', (code) => reject(new Error(`stand-in exited (${code})`)));
  });
}

// An OPS file service and package index in one: records every request with its raw headers.
function startRecorder() {
  const requests = [];
  const server = createServer((request, response) => {
    const chunks = [];
    request.on('data', (chunk) => chunks.push(chunk));
    request.on('end', () => {
      requests.push({ method: request.method, url: request.url, rawHeaders: request.rawHeaders });
      response.setHeader('Content-Type', 'application/json');
      response.end(JSON.stringify({ code: 0, data: { url: 'https://files.example/a.txt', id: 7 } }));
    });
  });
  return new Promise((resolve) => {
    server.listen(0, '127.0.0.1', () => {
      resolve({ url: `http://127.0.0.1:${server.address().port}`, requests, server });
    });
  });
}

// The browsers still running on `profile`.
function browsersOn(profile) {
  const found = [];
  for (const pid of readdirSync('/proc')) {
    if (!/^\d+$/.test(pid)) continue;
    try {
      const cmdline = readFileSync(`/proc/${pid}/cmdline`, 'utf8');
      if (cmdline.includes(`--user-data-dir=${profile}`)) found.push(pid);
    } catch {
      // gone meanwhile
    }
  }
  return found;
}

const scratch = mkdtempSync(join(tmpdir(), 'vendro-mcp-tools-'));
const configDir = join(scratch, 'config');
const profile = join(configDir, 'seller_sprite', 'browser_profile');
const site = await startSite(options.site, ['login=open', 'slow=keyword_mining:60000']);
const recorder = await startRecorder();
const env = {
  VENDRO_CONFIG_DIR: configDir,
  VENDRO_SELLERSPRITE_ORIGIN: site.origin,
  VENDRO_OPS_URL: recorder.url,
  VENDRO_OPS_TOKEN: 'configured-token',
  VENDRO_PACKAGE_INDEX_URL: recorder.url,
};
// The server must not run the update check even when the environment would allow it.
delete process.env.VENDRO_NO_UPDATE_CHECK;
const headers = { 'x-mcp-api-key': 'key-from-the-assistant', 'X-Request-Source': 'assistant' };
const session = await connect({ transport, command, env, headers });
const { client } = session;

try {
  await check('every command is a tool with a valid input schema', async () => {
    const { tools, pages } = await listAllTools(client);
    assert.ok(pages >= 2, `${pages} page(s)`);
    const names = tools.map((tool) => tool.name);
    assert.equal(new Set(names).size, names.length);
    for (const name of ['keepa_time', 'keepa_convert', 'sif_site', 'sif_compare', 'upload_file',
                        'xiyou_notify', 'shopify_build', 'shopify_preview', 'rufus_capture',
                        'rufus_ask', 'rufus_marketplaces', 'seller_sprite_collect',
                        'seller_sprite_reverse', 'seller_sprite_login',
                        'seller_sprite_account_set', 'browser_check', 'browser_install']) {
      assert.ok(names.includes(name), name);
    }
    const ajv = new Ajv({ strict: false });
    for (const tool of tools) {
      assert.equal(tool.inputSchema.type, 'object', tool.name);
      ajv.compile(tool.inputSchema);
      if (tool.outputSchema) ajv.compile(tool.outputSchema);
      assert.match(tool.description, /[\u4e00-\u9fff]/, tool.name);
      assert.equal(typeof tool.annotations.readOnlyHint, 'boolean', tool.name);
    }
    const collect = tools.find((tool) => tool.name === 'seller_sprite_collect');
    assert.equal(collect.inputSchema.properties.phrase_count.type, 'integer');
    assert.equal(collect.annotations.openWorldHint, true);
    assert.equal(tools.find((tool) => tool.name === 'keepa_time').annotations.readOnlyHint, true);
  });

  await check('calls that succeed', async () => {
    const time = await client.callTool({ name: 'keepa_time', arguments: { minutes: 7654321 } });
    assert.equal(time.isError, false);
    assert.equal(time.structuredContent.utc, '2025-07-21T12:01:00Z');
    assert.deepEqual(JSON.parse(time.content[0].text), time.structuredContent);
    const site = await client.callTool({ name: 'sif_site', arguments: { value: '英国站' } });
    assert.deepEqual(site.structuredContent, { result: 'UK' });
    const payload = join(scratch, 'keepa.json');
    writeFileSync(payload, JSON.stringify({ products: [{ lastUpdate: 7654321 }] }));
    const converted = await client.callTool({ name: 'keepa_convert', arguments: { file: payload } });
    assert.equal(converted.isError, false, converted.content[0].text);
    assert.equal(converted.structuredContent.products[0].lastUpdateUtc, '2025-07-21T12:01:00Z');
    const markets = await client.callTool({ name: 'rufus_marketplaces', arguments: {} });
    assert.ok(markets.structuredContent.result.some((m) => m.country === 'US'));
  });

  await check('calls that fail', async () => {
    const bad = await client.callTool({ name: 'keepa_time', arguments: { minutes: 'abc' } });
    assert.equal(bad.isError, true);
    assert.match(bad.content[0].text, /^错误 \[[A-Z_]+\]：/);
    const refused = await client.callTool({ name: 'seller_sprite_collect',
                                            arguments: { phrase_count: 'two' } });
    assert.equal(refused.isError, true);
    assert.match(refused.content[0].text, /phrase_count/);
    const login = await client.callTool({ name: 'seller_sprite_login', arguments: {} });
    assert.equal(login.isError, true);
    assert.match(login.content[0].text, /vendro seller-sprite login/);
    await assert.rejects(client.callTool({ name: 'no_such_tool', arguments: {} }), (error) => {
      assert.ok(error instanceof McpError);
      assert.equal(error.code, ErrorCode.InvalidParams);
      return true;
    });
  });

  await check('a collection reports progress, and cancelling it closes its browser', async () => {
    const controller = new AbortController();
    const steps = [];
    const call = client.callTool(
      { name: 'seller_sprite_collect',
        arguments: { keyword: 'earbuds', headless: true, run_dir: join(scratch, 'run-1') } },
      undefined,
      { signal: controller.signal, timeout: 120000, onprogress: (p) => steps.push(p.message) });
    call.catch(() => {});
    for (let i = 0; i < 1200 && !steps.some((s) => s.includes('正在等待接口响应')); i += 1) {
      await sleep(50);
    }
    assert.ok(steps.some((s) => s.includes('正在打开页面')), steps.join(' | '));
    assert.ok(browsersOn(profile).length > 0, 'no browser while collecting');
    controller.abort('测试取消');
    await assert.rejects(call);
    let left = browsersOn(profile);
    for (let i = 0; i < 300 && left.length > 0; i += 1) {
      await sleep(50);
      left = browsersOn(profile);
    }
    assert.deepEqual(left, []);
  });

  await check('calls on the same profile wait for each other', async () => {
    const status = (dir) => client.callTool(
      { name: 'seller_sprite_status', arguments: { headless: true, run_dir: join(scratch, dir) } },
      undefined, { timeout: 120000 });
    const results = await Promise.all([status('s1'), status('s2')]);
    for (const result of results) {
      assert.equal(result.isError, false, result.content[0].text);
      assert.equal(result.structuredContent.logged_in, true);
    }
  });

  await check('the X- headers of the request reach the upload', async () => {
    const file = join(scratch, 'a.txt');
    writeFileSync(file, 'x');
    const result = await client.callTool({ name: 'upload_file',
                                           arguments: { file, purpose: 'test', public: 1 } });
    assert.equal(result.isError, false, result.content[0].text);
    assert.equal(result.structuredContent.url, 'https://files.example/a.txt');
    const upload = recorder.requests.find((r) => r.method === 'POST');
    const sent = {};
    for (let i = 0; i < upload.rawHeaders.length; i += 2) sent[upload.rawHeaders[i]] = upload.rawHeaders[i + 1];
    if (transport === 'http') {
      assert.equal(sent['X-MCP-API-Key'], 'key-from-the-assistant');
      assert.equal(sent['X-Request-Source'], 'assistant');
      assert.equal(sent.Authorization, undefined);
    } else {
      assert.equal(sent['X-MCP-API-Key'], undefined);
      assert.equal(sent.Authorization, 'Bearer configured-token');
    }
  });

  await check('a login by hand asks the person through the client', async () => {
    const asking = await connect({ transport, command, env, capabilities: { elicitation: {} } });
    try {
      const questions = [];
      let answer = 'accept';
      asking.client.setRequestHandler(ElicitRequestSchema, async (request) => {
        questions.push(request.params.message);
        return { action: answer, content: {} };
      });
      const login = () => asking.client.callTool(
        { name: 'seller_sprite_login', arguments: { headless: true } }, undefined,
        { timeout: 120000 });
      const accepted = await login();
      assert.equal(accepted.isError, false, accepted.content[0].text);
      assert.equal(accepted.structuredContent.logged_in, true);
      assert.equal(questions.length, 1);
      assert.match(questions[0], /卖家精灵/);
      answer = 'decline';
      const declined = await login();
      assert.equal(declined.isError, true);
      assert.match(declined.content[0].text, /decline/);
      assert.equal(questions.length, 2);
    } finally {
      await asking.close();
    }
  });

  await check('the server runs no update check', async () => {
    assert.deepEqual(recorder.requests.filter((r) => r.method === 'GET'), []);
  });
} finally {
  await session.close();
  await stopChild(site.child);
  recorder.server.close();
  rmSync(scratch, { recursive: true, force: true });
}

finish();
