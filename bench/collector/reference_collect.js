// The reference driver's half of the collector benchmark: one SellerSprite collection done step by
// step as the collector does it (section_capture.cpp, search_forms.cpp, login_flow.cpp,
// trend_details.cpp, captcha.cpp, archiver.cpp, api_recorder.cpp), with the same selectors and the
// same fixed waits, written against the reference driver's public API only. bench/collector/run.sh
// installs the driver and points NODE_PATH at it.
//   node reference_collect.js collect|reverse --origin URL --executable PATH --profile DIR
//       --run-dir DIR [--keyword K] [--asin A] [--trend-limit N] [--trend-tabs search,ppc]
// Prints one JSON line: the sections captured, the missing ones, the trend sections with their
// response counts (the same summary run.sh derives from vendro's result).
'use strict';
const fs = require('fs');
const path = require('path');
const { chromium } = require('playwright-core');

// Copied from captcha.cpp (run.sh checks that the two are still the same text).
const CAPTCHA_CHECK = String.raw`() => {
  const widgets = [
    '.geetest_panel', '.geetest_holder', '.geetest_widget', '.geetest_box', '.geetest_popup_wrap',
    '.geetest_slider', '.geetest_captcha',
    '#nc_1_wrapper', '.nc-container', '.nc_wrapper', '#aliyunCaptcha-window-popup',
    '#aliyunCaptcha-sliding-wrapper', '#baxia-dialog',
    '#tcaptcha_iframe', '#tcaptcha_transform', '#tcaptcha_iframe_dy', '.tcaptcha-transform',
    '.yidun_popup', '.yidun_slider', '.yidun_panel',
    '.h-captcha', '.g-recaptcha',
    '.captcha-slider', '.slider-captcha', '.puzzle-captcha', '.captcha-puzzle',
    '.verify-slider', '.slide-verify',
  ];
  const frames = ['captcha', 'geetest', 'turing.captcha', 'recaptcha', 'hcaptcha', 'nc.alicdn'];
  const overlays = /(^|[-_ ])(captcha|geetest|tcaptcha|verify-?(mask|modal|dialog|popup))([-_ ]|$)/i;
  const shown = (el) => {
    for (let node = el; node && node.nodeType === 1; node = node.parentElement) {
      const style = getComputedStyle(node);
      if (style.display === 'none' || style.visibility === 'hidden' ||
          style.visibility === 'collapse' || Number(style.opacity) === 0) return false;
    }
    const box = el.getBoundingClientRect();
    return box.width > 1 && box.height > 1;
  };
  for (const selector of widgets) {
    for (const el of document.querySelectorAll(selector)) if (shown(el)) return true;
  }
  for (const frame of document.querySelectorAll('iframe')) {
    const where = ((frame.getAttribute('src') || '') + ' ' + (frame.id || '') + ' ' +
                   (frame.getAttribute('title') || '')).toLowerCase();
    if (frames.some((word) => where.includes(word)) && shown(frame)) return true;
  }
  for (const el of document.querySelectorAll('[class*="captcha" i], [id*="captcha" i], ' +
                                             '[class*="verify" i], [id*="verify" i]')) {
    const names = (typeof el.className === 'string' ? el.className : '') + ' ' + (el.id || '');
    if (el.closest('input, button, label, a, form')) continue;
    if (!overlays.test(names)) continue;
    const box = el.getBoundingClientRect();
    if (box.width >= 120 && box.height >= 60 && shown(el)) return true;
  }
  return false;
}`;

// The collector's fixed waits and bounds (ms).
const NAVIGATION_TIMEOUT = 120000;
const SETTLE = 3000;
const NETWORK_IDLE_TIMEOUT = 10000;
const BEFORE_LOGIN_CHECK = 1000;
const DROPDOWN_CLICK_TIMEOUT = 10000;
const AFTER_DROPDOWN = 500;
const RADIO_CLICK_TIMEOUT = 5000;
const AFTER_PHRASE_COUNT = 1000;
const PAYLOAD_POLL = 200;
const PAYLOAD_WAIT = 3000;
const REVERSE_PAYLOAD_WAIT = 10000;
const AFTER_PAYLOADS = 1000;
const DRAWER_STEP_TIMEOUT = 10000;
const ROW_TEXT_TIMEOUT = 3000;
const AFTER_OPEN = 1500;
const AFTER_TAB = 2000;

const TREND_TABS = [['search', '搜索趋势'], ['google', 'Google Trends'], ['aba', 'ABA集中度'],
                    ['ppc', 'PPC竞价'], ['market', '市场分析']];
const TREND_ARCHIVE_SELECTOR = '#search-anlysis-drawer-echarts-trends';

// The wanted sections per flow: [section, URL keyword], in the collector's order.
const RULES = {
  collect: [['frequency', 'frequency'], ['keyword_mining', 'keyword']],
  reverse: [['reverse_monthly', 'relation/ta/monthly'], ['reverse_stats', 'relation/stat-keywords'],
            ['keyword_reverse', 'relation/reversing'],
            ['reverse_frequency', 'high-frequency-words-new']],
};
const REQUIRED = { collect: ['frequency', 'keyword_mining'],
                   reverse: ['keyword_reverse', 'reverse_frequency'] };

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function parseArgs(argv) {
  const [flow, ...rest] = argv;
  const args = { flow, trendLimit: 0, trendTabs: 'all' };
  const names = { '--origin': 'origin', '--executable': 'executable', '--profile': 'profile',
                  '--run-dir': 'runDir', '--keyword': 'keyword', '--asin': 'asin',
                  '--trend-limit': 'trendLimit', '--trend-tabs': 'trendTabs' };
  for (let i = 0; i < rest.length; i += 2) {
    const name = names[rest[i]];
    if (!name || i + 1 >= rest.length) throw new Error('无法识别的参数：' + rest[i]);
    args[name] = rest[i + 1];
  }
  args.trendLimit = Number(args.trendLimit);
  if (!RULES[flow] || !args.origin || !args.executable || !args.profile || !args.runDir ||
      !Number.isInteger(args.trendLimit) || args.trendLimit < 0) {
    throw new Error('用法：node reference_collect.js collect|reverse --origin URL --executable PATH ' +
                    '--profile DIR --run-dir DIR [--keyword K] [--asin A] [--trend-limit N] ' +
                    '[--trend-tabs LIST]');
  }
  return args;
}

// As files::write_atomic: a sibling temporary file renamed over the target.
function writeAtomic(file, data) {
  fs.mkdirSync(path.dirname(file), { recursive: true });
  const temporary = file + '.tmp';
  fs.writeFileSync(temporary, data);
  fs.renameSync(temporary, file);
}

// The recorder: per section the JSON of the last answer to arrive whose URL holds its keyword.
class Recorder {
  constructor() {
    this.arrivals = 0;
    this.captures = new Map();
  }
  async capture(response, section, keyword) {
    if (!response.url().includes(keyword)) return;
    const status = response.status();
    if (response.request().redirectedTo() || (status >= 300 && status < 400 && status !== 304) ||
        status === 204 || status === 304) {
      return;
    }
    const arrival = ++this.arrivals;
    let payload;
    try {
      payload = await response.json();
    } catch {
      return;
    }
    const kept = this.captures.get(section);
    if (kept && arrival < kept.arrival) return;
    this.captures.set(section, { arrival, payload });
  }
  payload(section) {
    const kept = this.captures.get(section);
    return kept ? kept.payload : null;
  }
  saveAll(dir) {
    for (const [section, { payload }] of this.captures) {
      writeAtomic(path.join(dir, section + '.json'), JSON.stringify(payload, null, 2));
    }
  }
}

// vendro::truthy: null, false, 0, "" and empty containers are falsy.
function truthy(value) {
  if (value === null || value === undefined || value === false || value === 0 || value === '') {
    return false;
  }
  if (Array.isArray(value)) return value.length > 0;
  if (typeof value === 'object') return Object.keys(value).length > 0;
  return true;
}

async function openSitePage(page, url) {
  const response = await page.goto(url, { waitUntil: 'domcontentloaded',
                                          timeout: NAVIGATION_TIMEOUT });
  await page.waitForTimeout(SETTLE);
  if (response && response.status() >= 400) {
    throw new Error('卖家精灵页面打不开（HTTP ' + response.status() + '）：' + response.url());
  }
}

async function hasVisibleText(page, text) {
  try {
    return await page.getByText(text).first().isVisible();
  } catch {
    return false;
  }
}

async function detectLoggedIn(page) {
  await page.waitForLoadState('networkidle', { timeout: NETWORK_IDLE_TIMEOUT }).catch(() => {});
  await page.waitForTimeout(BEFORE_LOGIN_CHECK);
  if (page.url().includes('/w/user/login')) return false;
  if (await hasVisibleText(page, '未登录')) return false;
  if (await hasVisibleText(page, '游客')) return false;
  return true;
}

async function selectDropdown(page, trigger, label) {
  const within = { timeout: DROPDOWN_CLICK_TIMEOUT };
  await page.locator(trigger).first().click(within);
  await page.locator('.el-select-dropdown__item:visible').filter({ hasText: label }).first()
    .click(within);
  await page.waitForTimeout(AFTER_DROPDOWN);
}

// Site us and period 30d, as the collector's defaults.
async function fillForm(page, input, value) {
  await selectDropdown(page, '.el-input-group__prepend .el-select:not(.date-select) .el-input',
                       '美国站');
  await selectDropdown(page, '.el-input-group__prepend .date-select .el-input', '最近30天');
  if (value !== undefined) await page.locator(input).first().fill(value);
  await page.locator("button:has-text('立即查询')").first().click();
}

async function waitForPayloads(recorder, sections, timeout) {
  const deadline = performance.now() + timeout;
  while (performance.now() < deadline) {
    if (sections.every((section) => truthy(recorder.payload(section)))) return;
    await sleep(PAYLOAD_POLL);
  }
}

async function archivePage(page, dir) {
  const html = await page.content();
  const png = await page.screenshot({ fullPage: true });
  writeAtomic(path.join(dir, 'page.html'), html);
  writeAtomic(path.join(dir, 'page.png'), png);
  writeAtomic(path.join(dir, 'page_url.txt'), page.url() + '\n');
}

function keywordsFromPayload(payload) {
  const items = payload && payload.data && payload.data.items;
  if (!Array.isArray(items)) return [];
  const keywords = [];
  for (const item of items) {
    if (!item || typeof item !== 'object' || Array.isArray(item)) continue;
    const value = truthy(item.keyword) ? item.keyword : item.keywords;
    if (truthy(value)) keywords.push(typeof value === 'string' ? value : JSON.stringify(value));
  }
  return keywords;
}

function selectedTabs(list) {
  if (list === 'all') return TREND_TABS;
  const pieces = list.split(',').map((piece) => piece.trim());
  const chosen = [];
  for (const piece of pieces) chosen.push(...TREND_TABS.filter(([key]) => key === piece));
  return chosen.length ? chosen : TREND_TABS;
}

function slug(value) {
  let mapped = '';
  for (const c of value) mapped += /[\p{L}\p{N}]/u.test(c) ? c.toLowerCase() : '_';
  const collapsed = mapped.replace(/_+/g, '_').replace(/^_|_$/g, '') || 'keyword';
  return [...collapsed].slice(0, 40).join('');
}

async function keywordFromRow(icon, index) {
  let text;
  try {
    text = await icon.locator('xpath=ancestor::tr[1]').innerText({ timeout: ROW_TEXT_TIMEOUT });
  } catch {
    return 'keyword_' + (index + 1);
  }
  for (const line of text.split(/[\r\n]/).map((l) => l.trim())) {
    if (line && !/^\p{Nd}+$/u.test(line) && line !== 'AC') return line;
  }
  return 'keyword_' + (index + 1);
}

async function trendDetails(page, args, runDir, keywords, host) {
  const details = [];
  const tabs = selectedTabs(args.trendTabs);
  const icons = page.locator('.icon-historical-trend:visible');
  const count = Math.min(await icons.count(), args.trendLimit);
  const within = { timeout: DRAWER_STEP_TIMEOUT };
  const listen = (into) => {
    const handler = async (response) => {
      if (!response.url().toLowerCase().includes(host)) return;
      let payload;
      try {
        payload = await response.json();
      } catch {
        return;
      }
      into.push({ url: response.url(), status: response.status(), payload });
    };
    page.on('response', handler);
    return handler;
  };
  for (let i = 0; i < count; ++i) {
    const icon = icons.nth(i);
    const keyword = i < keywords.length ? keywords[i] : await keywordFromRow(icon, i);
    const opened = [];
    const openHandler = listen(opened);
    await icon.scrollIntoViewIfNeeded(within);
    await icon.click();
    await page.waitForTimeout(AFTER_OPEN);
    page.off('response', openHandler);

    const entries = [];
    for (let p = 0; p < tabs.length; ++p) {
      const [key, label] = tabs[p];
      const responses = p === 0 ? [...opened] : [];
      const handler = listen(responses);
      await page.locator('.el-tabs__item:visible').filter({ hasText: label }).first().click(within);
      await page.waitForTimeout(AFTER_TAB);
      page.off('response', handler);
      const section = 'trend_' + String(i + 1).padStart(2, '0') + '_' + slug(keyword) + '_' + key;
      const dir = path.join(runDir, section);
      writeAtomic(path.join(dir, 'element.png'),
                  await page.locator(TREND_ARCHIVE_SELECTOR).first().screenshot());
      const saved = { keyword, tab: label, responses: [...responses] };
      writeAtomic(path.join(dir, 'responses.json'), JSON.stringify(saved, null, 2));
      entries.push({ section, response_count: saved.responses.length });
    }
    details.push(...entries);
    const drawer = page.locator(TREND_ARCHIVE_SELECTOR).first();
    await drawer.locator('.close-btn').first().click(within);
    await drawer.waitFor({ state: 'hidden', timeout: DRAWER_STEP_TIMEOUT });
  }
  return details;
}

async function collect(page, args) {
  const flow = args.flow;
  const recorder = new Recorder();
  const handler = async (response) => {
    for (const [section, keyword] of RULES[flow]) await recorder.capture(response, section, keyword);
  };
  page.on('response', handler);
  const url = args.origin + (flow === 'reverse' ? '/v3/keyword-reverse' : '/v3/keyword-miner');
  await openSitePage(page, url);
  const captcha = await page.evaluate('(' + CAPTCHA_CHECK + ')()');
  const loggedIn = await detectLoggedIn(page);
  if (captcha === true || !loggedIn) {
    throw new Error('页面被拦截：' + (captcha === true ? '出现验证码' : '未登录'));
  }

  const archiveName = flow === 'reverse' ? 'keyword_reverse' : 'collect';
  if (flow === 'reverse') {
    await fillForm(page, "input[placeholder*='ASIN'], input[placeholder*='产品链接']",
                   args.asin || '');
    await waitForPayloads(recorder, REQUIRED[flow], REVERSE_PAYLOAD_WAIT);
  } else {
    await fillForm(page, "input[placeholder*='输入关键词']", args.keyword || undefined);
    await page.locator("label.el-radio:has-text('一个词')").first()
      .click({ timeout: RADIO_CLICK_TIMEOUT });
    await page.waitForTimeout(AFTER_PHRASE_COUNT);
    await waitForPayloads(recorder, REQUIRED[flow], PAYLOAD_WAIT);
  }
  await page.waitForTimeout(AFTER_PAYLOADS);
  page.off('response', handler);

  const sectionDir = path.join(args.runDir, archiveName);
  await archivePage(page, sectionDir);
  recorder.saveAll(sectionDir);

  let trend = [];
  if (args.trendLimit > 0) {
    const source = flow === 'reverse' ? 'keyword_reverse' : 'keyword_mining';
    const host = new URL(args.origin).hostname.replace(/^www\./, '');
    trend = await trendDetails(page, args, args.runDir, keywordsFromPayload(recorder.payload(source)),
                               host);
  }
  const sections = RULES[flow].map(([section]) => section)
                     .filter((section) => truthy(recorder.payload(section))).sort();
  return {
    sections,
    missing_sections: REQUIRED[flow].filter((section) => !truthy(recorder.payload(section))),
    trend,
  };
}

async function main() {
  const args = parseArgs(process.argv.slice(2));
  const context = await chromium.launchPersistentContext(args.profile, {
    executablePath: args.executable,
    headless: true,
    viewport: { width: 1440, height: 900 },
    locale: 'zh-CN',
  });
  try {
    const page = context.pages()[0] || (await context.newPage());
    console.log(JSON.stringify(await collect(page, args)));
  } finally {
    await context.close();
  }
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
