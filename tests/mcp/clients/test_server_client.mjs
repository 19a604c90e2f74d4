// Drives the tests' tool server with the official client library over one transport:
// initialize, every tools/list page, a call that succeeds and one that fails, progress, a call
// cancelled from the client that the tool sees cancelled, a question to the user, and calls side
// by side.
//
//   node test_server_client.mjs --transport stdio|http -- SERVER COMMAND...

import assert from 'node:assert/strict';
import { ElicitRequestSchema, ErrorCode, McpError } from '@modelcontextprotocol/sdk/types.js';
import { checker, connect, listAllTools, parseArguments } from './harness.mjs';

const { options, command } = parseArguments(process.argv.slice(2));
const transport = options.transport;
const { check, finish } = checker(transport);

const session = await connect({ transport, command, capabilities: { elicitation: {} } });
const { client } = session;
const questions = [];
client.setRequestHandler(ElicitRequestSchema, async (request) => {
  questions.push(request.params);
  return { action: 'accept', content: { name: '李四' } };
});
try {
  await check('initialize', async () => {
    assert.equal(client.getServerVersion().name, 'vendro');
    assert.deepEqual(Object.keys(client.getServerCapabilities()), ['tools']);
    assert.ok(client.getInstructions().length > 0);
  });

  await check('tools/list pages', async () => {
    const { tools, pages } = await listAllTools(client);
    assert.equal(pages, 2);
    assert.equal(tools.length, 28);
    assert.equal(new Set(tools.map((tool) => tool.name)).size, 28);
    assert.equal(tools[0].name, 'echo');
    assert.equal(tools[27].name, 'filler_19');
  });

  await check('call that succeeds', async () => {
    const result = await client.callTool({ name: 'echo', arguments: { text: '你好' } });
    assert.equal(result.isError, false);
    assert.deepEqual(result.structuredContent, { arguments: { text: '你好' } });
    assert.deepEqual(result.content, [{ type: 'text', text: '{"text":"你好"}' }]);
  });

  await check('call that fails', async () => {
    const result = await client.callTool({ name: 'fail', arguments: {} });
    assert.equal(result.isError, true);
    assert.equal(result.content[0].text, '按要求失败');
  });

  await check('stray output of a tool stays off the protocol stream', async () => {
    const result = await client.callTool({ name: 'noisy', arguments: {} });
    assert.equal(result.content[0].text, '已写出');
    assert.equal((await client.callTool({ name: 'echo', arguments: {} })).isError, false);
  });

  await check('unknown tool', async () => {
    await assert.rejects(client.callTool({ name: 'no_such_tool', arguments: {} }), (error) => {
      assert.ok(error instanceof McpError);
      assert.equal(error.code, ErrorCode.InvalidParams);
      return true;
    });
  });

  await check('progress', async () => {
    const seen = [];
    const result = await client.callTool({ name: 'slow', arguments: { steps: 3, step_ms: 30 } },
                                         undefined, { onprogress: (progress) => seen.push(progress) });
    assert.equal(result.content[0].text, '完成 3 步');
    assert.deepEqual(seen.map((p) => [p.progress, p.total, p.message]),
                     [[1, 3, '第 1 步'], [2, 3, '第 2 步'], [3, 3, '第 3 步']]);
  });

  await check('cancellation', async () => {
    const controller = new AbortController();
    let call;
    await new Promise((resolve) => {
      call = client.callTool({ name: 'wait_for_cancel', arguments: {} }, undefined, {
        signal: controller.signal,
        onprogress: resolve,
      });
      call.catch(() => {});
    });
    controller.abort('测试取消');
    await assert.rejects(call);
    let stats;
    for (let attempt = 0; attempt < 100; attempt += 1) {
      stats = (await client.callTool({ name: 'stats', arguments: {} })).structuredContent;
      if (stats.cancellations_seen === 1 && stats.calls_running === 0) break;
      await new Promise((resolve) => setTimeout(resolve, 20));
    }
    assert.deepEqual(stats, { cancellations_seen: 1, calls_running: 0 });
  });

  await check('a question to the user', async () => {
    const result = await client.callTool({ name: 'ask', arguments: {} });
    assert.equal(result.isError, false);
    assert.deepEqual(result.structuredContent, { action: 'accept', content: { name: '李四' } });
    assert.equal(questions.length, 1);
    assert.equal(questions[0].message, '请输入名字');
  });

  await check('calls side by side', async () => {
    const started = Date.now();
    const results = await Promise.all([1, 2, 3, 4].map(() =>
      client.callTool({ name: 'slow', arguments: { steps: 1, step_ms: 400 } })));
    assert.ok(results.every((result) => result.content[0].text === '完成 1 步'));
    assert.ok(Date.now() - started < 1500, `took ${Date.now() - started} ms`);
  });
} finally {
  const exitCode = await session.close();
  if (transport === 'http') {
    // serve_http stops on SIGTERM and returns 0.
    await check('stops on SIGTERM', async () => assert.equal(exitCode, 0));
  }
}

finish();
