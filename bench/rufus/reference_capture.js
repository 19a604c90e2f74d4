// The reference driver's half of the Rufus benchmark: one seed capture done as
// src/vendro/amazon_rufus/capture.cpp does it (launch headless with the same switches, a new
// context, the cookie header's pairs added for the product page's host, a new page listening for
// requests, open the page until its DOM is ready, then wait for a streaming request that comes
// later), written against the reference driver's public API only. One page attempt: the stand-in
// answers every time. bench/rufus/run.sh installs the driver and points NODE_PATH at it.
//   node reference_capture.js --asin A --domain HOST --cookie-file F --timeout S
//       --executable PATH [--switches TEXT]
// Prints the seed record as one JSON line, with the keys and order of `vendro rufus capture`.
'use strict';
const fs = require('fs');
const { chromium } = require('playwright-core');

const RUFUS_STREAMING_PATH = '/rufus/cl/streaming';
// A request that comes after the DOM is ready is waited for at most this long (ms).
const LATE_REQUEST_WAIT = 30000;
// Larger cookie files are refused rather than read.
const COOKIE_FILE_LIMIT = 64 * 1024;
// vendro's own switches for this launch; the stand-in's come after them.
const LAUNCH_SWITCHES = ['--disable-dev-shm-usage', '--disable-gpu'];

function parseArgs(argv) {
  const names = { '--asin': 'asin', '--domain': 'domain', '--cookie-file': 'cookieFile',
                  '--timeout': 'timeout', '--executable': 'executable', '--switches': 'switches' };
  const args = { switches: '' };
  for (let i = 0; i < argv.length; i += 2) {
    const name = names[argv[i]];
    if (!name || i + 1 >= argv.length) throw new Error('无法识别的参数：' + argv[i]);
    args[name] = argv[i + 1];
  }
  args.timeout = Number(args.timeout);
  if (!args.asin || !args.domain || !args.cookieFile || !args.executable ||
      !Number.isInteger(args.timeout) || args.timeout < 0 || args.timeout > 3600) {
    throw new Error('用法：node reference_capture.js --asin A --domain HOST --cookie-file F ' +
                    '--timeout 秒数(0–3600) --executable PATH [--switches TEXT]');
  }
  return args;
}

// As browser::split_switches: spaces, tabs and newlines separate, single and double quotes group
// (an unclosed quote runs to the end).
function splitSwitches(text) {
  const switches = [];
  let current = '';
  let started = false;
  let quote = null;
  for (const c of text) {
    if (quote) {
      if (c === quote) quote = null;
      else current += c;
    } else if (c === '"' || c === "'") {
      quote = c;
      started = true;
    } else if (c === ' ' || c === '\t' || c === '\n') {
      if (started) switches.push(current);
      current = '';
      started = false;
    } else {
      current += c;
      started = true;
    }
  }
  if (started) switches.push(current);
  return switches;
}

// As _parse_cookie_header: "a=b; c=d" pairs, pieces without '=' or a name skipped.
function parseCookieHeader(header) {
  const pairs = [];
  for (const piece of header.split(';')) {
    const eq = piece.indexOf('=');
    if (eq < 0) continue;
    const name = piece.slice(0, eq).trim();
    if (name) pairs.push({ name, value: piece.slice(eq + 1).trim() });
  }
  return pairs;
}

function readCookie(file) {
  const size = fs.statSync(file).size;
  if (size > COOKIE_FILE_LIMIT) throw new Error('cookie 文件过大：' + file);
  const cookie = fs.readFileSync(file, 'utf8').trim();
  if (!cookie) throw new Error('cookie 不能为空');
  return cookie;
}

// As _extract_tab_id: the URL's tabId, else the body's tabId or tab_id.
function tabId(url, body) {
  const at = url.indexOf('tabId=');
  if (at >= 0) return url.slice(at + 'tabId='.length).split('&')[0];
  let parsed;
  try {
    parsed = JSON.parse(body);
  } catch {
    return '';
  }
  if (!parsed || typeof parsed !== 'object' || Array.isArray(parsed)) return '';
  const id = parsed.tabId || parsed.tab_id;
  if (id === undefined || id === null || id === false || id === 0 || id === '') return '';
  return typeof id === 'string' ? id : JSON.stringify(id);
}

const isRufusRequest = (request) => request.url().includes(RUFUS_STREAMING_PATH);

async function capture(context, args, pageUrl, deadline) {
  const page = await context.newPage();
  let record = null;
  const onRequest = (request) => {
    if (record || !isRufusRequest(request)) return;
    const body = request.postData() || '{}';
    record = {
      request_url: request.url(),
      request_headers: request.headers(),
      request_body: body,
      page_url: page.url() || pageUrl,
      tab_id: tabId(request.url(), body),
      asin: args.asin.trim().toUpperCase(),
      country: 'US',
      captured_at: Date.now(),
    };
  };
  page.on('request', onRequest);
  await page.goto(pageUrl, { waitUntil: 'domcontentloaded',
                             timeout: Math.max(1, deadline - Date.now()) });
  if (!record) {
    const left = Math.max(1, Math.min(deadline - Date.now(), LATE_REQUEST_WAIT));
    onRequest(await page.waitForEvent('request', { predicate: isRufusRequest, timeout: left }));
  }
  return record;
}

async function main() {
  const args = parseArgs(process.argv.slice(2));
  const cookie = readCookie(args.cookieFile);
  const deadline = Date.now() + args.timeout * 1000;
  const pageUrl = 'https://' + args.domain + '/dp/' + args.asin;
  const browser = await chromium.launch({
    executablePath: args.executable,
    headless: true,
    args: [...LAUNCH_SWITCHES, ...splitSwitches(args.switches)],
  });
  try {
    const context = await browser.newContext();
    try {
      await context.addCookies(parseCookieHeader(cookie).map(({ name, value }) => (
        { name, value, domain: args.domain, path: '/', secure: true })));
      console.log(JSON.stringify(await capture(context, args, pageUrl, deadline)));
    } finally {
      await context.close();
    }
  } finally {
    await browser.close();
  }
}

main().catch((error) => {
  console.error('参考驱动捕获失败：', error);
  process.exit(1);
});
