// Runs scenarios of the conformance suite against a tool server's HTTP transport: starts the
// server command, runs each scenario against the URL it prints, and fails when a scenario does.
//
//   node conformance.mjs --scenarios a,b,c -- SERVER COMMAND...

import { spawnSync } from 'node:child_process';
import { createRequire } from 'node:module';
import path from 'node:path';
import { parseArguments, startHttpServer } from './harness.mjs';

const { options, command } = parseArguments(process.argv.slice(2));
const scenarios = options.scenarios.split(',');
const require = createRequire(import.meta.url);
const cli = path.join(path.dirname(require.resolve('@modelcontextprotocol/conformance/package.json')),
                      'dist', 'index.js');

const server = await startHttpServer(command);
let passed = 0;
let failed = 0;
try {
  for (const scenario of scenarios) {
    const run = spawnSync(process.execPath, [cli, 'server', '--url', server.url, '--scenario', scenario],
                          { encoding: 'utf8', timeout: 120000 });
    process.stdout.write(run.stdout ?? '');
    process.stderr.write(run.stderr ?? '');
    // A scenario passes with exit status 0; its warnings (advice it could not confirm) count
    // as failures here too, so that a regression cannot hide behind one.
    const warnings = Number((run.stdout ?? '').match(/(\d+) warnings?/)?.[1] ?? 0);
    if (run.status === 0 && warnings === 0) {
      passed += 1;
      console.log(`ok - ${scenario}`);
    } else {
      failed += 1;
      console.log(`not ok - ${scenario} (exit ${run.status ?? run.signal ?? run.error}, ${warnings} warnings)`);
    }
  }
} finally {
  await server.stop();
}
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
