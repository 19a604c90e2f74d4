// The reference driver's half of the driver benchmark: the same scenario as driver_bench, written
// against the reference driver's public API only. bench/driver/run.sh installs the driver into a
// scratch folder and points NODE_PATH at it.
//   node reference_scenario.js scenario|open URL EXECUTABLE
// Prints the same JSON as driver_bench: per-step times (ms) and this process's own peak RSS.
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const { chromium } = require('playwright-core');

const median = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted.length ? sorted[Math.floor(sorted.length / 2)] : 0;
};
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
// The wait row, as in driver_bench: each element appears this long after the evaluate that
// schedules it starts.
const WAIT_DELAYS_MS = [100, 300, 800];
const WAIT_REPEATS = 5;

async function run(mode, url, executablePath, profile) {
  const result = {};
  const t0 = performance.now();
  const context = await chromium.launchPersistentContext(profile, {
    executablePath,
    headless: true,
    viewport: { width: 1440, height: 900 },
  });
  const page = context.pages()[0];
  result.launch_ms = performance.now() - t0;
  const t1 = performance.now();
  await page.goto(url + '/');
  result.goto_ms = performance.now() - t1;
  if (mode === 'open') {
    const t2 = performance.now();
    await context.close();
    result.close_ms = performance.now() - t2;
    return result;
  }

  const fills = [], clicks = [], clicksWithBody = [], evaluates = [];
  const input = page.locator('#q');
  for (let i = 0; i < 100; ++i) {
    const s = performance.now();
    await input.fill('keyword ' + i);
    fills.push(performance.now() - s);
  }
  const button = page.locator('#go');
  for (let i = 0; i < 100; ++i) {
    let captured = null;
    const handler = async (response) => {
      if (!response.url().includes('/api/data')) return;
      await response.json();
      captured = performance.now();
    };
    page.on('response', handler);
    const s = performance.now();
    await button.click();
    clicks.push(performance.now() - s);
    while (captured === null) await sleep(1);
    clicksWithBody.push(captured - s);
    page.off('response', handler);
  }
  for (let i = 0; i < 100; ++i) {
    const s = performance.now();
    await page.evaluate((x) => x + 1, i);
    evaluates.push(performance.now() - s);
  }
  let late = 0;
  for (const delay of WAIT_DELAYS_MS) {
    const noticed = [];
    for (let i = 0; i < WAIT_REPEATS; ++i) {
      const id = 'late-' + ++late;
      const s = performance.now();
      await page.evaluate(([id, delay]) => {
        setTimeout(() => {
          const e = document.createElement('div');
          e.id = id;
          e.textContent = '到了';
          document.body.append(e);
        }, delay);
      }, [id, delay]);
      await page.locator('#' + id).waitFor({ state: 'visible', timeout: 5000 });
      noticed.push(performance.now() - s);
    }
    result['wait_' + delay + '_ms'] = median(noticed);
  }
  const t2 = performance.now();
  await context.close();
  result.close_ms = performance.now() - t2;
  result.fill_median_ms = median(fills);
  result.click_median_ms = median(clicks);
  result.click_until_body_median_ms = median(clicksWithBody);
  result.evaluate_median_ms = median(evaluates);
  return result;
}

async function main() {
  const [mode, url, executablePath] = process.argv.slice(2);
  if (!['scenario', 'open'].includes(mode) || !url || !executablePath) {
    console.error('用法：node reference_scenario.js scenario|open URL EXECUTABLE');
    process.exit(2);
  }
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'vendro-bench-reference-'));
  try {
    const result = await run(mode, url, executablePath, profile);
    result.peak_rss_mb = process.resourceUsage().maxRSS / 1024;  // this process only
    console.log(JSON.stringify(result));
  } finally {
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
