// In-page tests of the injected selector engine, evaluated by the driver in the engine's
// isolated world of selector_engine_test.html (right after the engine's source once more). The
// completion value, the last line's, is a promise of {total, failures: [{name, message}]}. The
// world shares the page's DOM but none of its script, so fixtures that need script are made
// here.
'use strict';

const engine = globalThis.__vendro;
const cases = [];

function test(name, body) {
  cases.push({ name, body });
}

function byId(id) {
  const element = document.getElementById(id);
  if (!element) throw new Error(`fixture #${id} is missing`);
  return element;
}

function label(element) {
  return element.id ? `#${element.id}` : element.localName;
}

function assertEqual(actual, expected, what) {
  const a = JSON.stringify(actual);
  const e = JSON.stringify(expected);
  if (a !== e) throw new Error(`${what}: expected ${e}, got ${a}`);
}

function assertTrue(value, what) {
  if (value !== true) throw new Error(`${what}: expected true, got ${JSON.stringify(value)}`);
}

function assertFalse(value, what) {
  if (value !== false) throw new Error(`${what}: expected false, got ${JSON.stringify(value)}`);
}

// Ids of what the selector finds under root (labels for elements without an id).
function query(selector, root) {
  return engine.querySelectorAll(selector, root).map(label);
}

function expectQuery(selector, expected, root) {
  assertEqual(query(selector, root), expected, `querySelectorAll(${JSON.stringify(selector)})`);
}

function assertThrows(body, pattern, what) {
  try {
    body();
  } catch (error) {
    if (!pattern.test(String(error && error.message))) {
      throw new Error(`${what}: error "${error.message}" does not match ${pattern}`);
    }
    return error;
  }
  throw new Error(`${what}: nothing was thrown`);
}

const nextFrame = () => new Promise((resolve) => requestAnimationFrame(() => resolve()));

const OK = { ok: true };
const NEEDS_INPUT = { ok: true, needsInput: true };
const FILLED = { ok: true, needsInput: false };
const notOk = (reason) => ({ ok: false, reason });
const element = (target) => (typeof target === 'string' ? byId(target) : target);
const fill = (target, value) => engine.selectAndFocusForFill(element(target), value);
const states = (target, list) => engine.checkElementStates(element(target), list);
const textMatches = (text, root) => engine.getByText(text, root).map(label);

// ---------------------------------------------------------------------------------------------

test('the global is defined once and frozen', () => {
  assertTrue(!!engine && globalThis.__firstEngine === engine,
    'second evaluation keeps the first object');
  assertTrue(Object.isFrozen(engine), 'frozen');
  assertEqual(Object.keys(globalThis).includes('__vendro'), false, 'not enumerable');
});

test('plain CSS: classes, child and sibling combinators, :not, :nth-child, :scope', () => {
  expectQuery('#list > li.item', ['#li1', '#li2']);
  expectQuery("#list li:not(.item)", ["#li3"]);
  expectQuery('#list li + li', ['#li2', '#li3']);
  expectQuery('#li1 ~ li', ['#li2', '#li3']);
  expectQuery('[id^="li"]:nth-child(2)', ['#li2']);
  expectQuery('li', ['#li1', '#li2', '#li3'], byId('list'));
  expectQuery(':scope > li.sel', ['#li2'], byId('list'));
  assertEqual(engine.querySelector('li.item', byId('list')).id, 'li1', 'querySelector: first');
  assertEqual(engine.querySelector('li.nothing'), null, 'querySelector without a match');
});

test(':has-text matches every element holding the text, ancestors included', () => {
  expectQuery(':has-text("red apple")', ['#apple', '#apple-name'], byId('fruits'));
  const everywhere = query(':has-text("red apple")');
  assertEqual(everywhere, ['html', 'body', '#fruits', '#apple', '#apple-name'], 'from document');
  expectQuery('div.item:has-text("Apple")', ['#apple']);
  expectQuery('#fruits div:has-text("apple pie")', ['#apple']);
  expectQuery('#fruits :has-text(Banana)', ['#banana', '#banana-name']);
});

test(':has-text ignores case and white space, reads button values, skips head and scripts', () => {
  expectQuery('span:has-text("  RED\n\t apple ")', ['#apple-name']);
  expectQuery('button:has-text("buy now")', ['#buy']);
  expectQuery('input:has-text("send ORDER")', ['#submit-in']);
  expectQuery(':has-text("Cherry")', []);
  expectQuery(':has-text("Selector engine tests")', []);
  expectQuery('span:has-text(\'自定义\')', ['span']);
  expectQuery('span:has-text("\\41 pple")', ['#apple-name']);
  expectQuery('#quoted:has-text("say \\"hi\\" >> now")', ['#quoted']);
});

test(':visible follows the box and the visibility style', () => {
  const ids = ['v-shown', 'v-none', 'v-none-child', 'v-hidden', 'v-opacity', 'v-zero', 'v-contents',
    'v-contents-child', 'v-contents-empty', 'v-details-body', 'v-shows-through', 'v-option'];
  const seen = ids.filter((id) => engine.isVisible(byId(id)));
  assertEqual(seen, ['v-shown', 'v-opacity', 'v-contents', 'v-contents-child', 'v-shows-through',
    'v-option'], 'visible fixtures');
  expectQuery('#vis > div:visible', ['#v-shown', '#v-opacity', '#v-contents']);
  expectQuery('#vis :visible:has-text("transparent"), #vis :has-text("hidden"):visible',
    ['#v-opacity']);
  assertFalse(engine.isVisible(document.createElement('div')), 'detached element');
});

test(':has with native arguments and with our extensions inside', () => {
  expectQuery("label.el-radio:has(input[value='custom'])", ['#r2']);
  expectQuery('label:has(span:has-text("自定义"))', ['#r2']);
  expectQuery('label:has(> input[value=one])', ['#r1']);
  expectQuery('div:has(> label:has-text("一个词"))', ['#radios']);
  expectQuery('label:has(+ label:has-text("自定义"))', ['#r1']);
  expectQuery('#radios label:not(:has-text("自定义"))', ["#r1"]);
  expectQuery('label:is(:has-text("一个词"), #r2)', ['#r1', '#r2']);
  expectQuery('#fruits > div:has(:visible:has-text("pie"))', ['#apple']);
  expectQuery('body > div:has(label:has(input[value=custom]))', ['#radios']);
  // The last one is the visibility:hidden parent of a child that shows through.
  expectQuery('#vis > div:not(:visible)',
    ['#v-none', '#v-hidden', '#v-zero', '#v-contents-empty', 'div']);
});

test('comma lists keep document order without duplicates', () => {
  const account = "input[placeholder*='手机号']:visible:not([readonly]):not([disabled]), " +
    "input[type='text']:visible:not([readonly]):not([disabled])";
  expectQuery(account, ['#acc']);
  const loginButton = "button:visible:has-text('登录'), button:visible:has-text('登 录')";
  expectQuery(loginButton, ['#login-btn']);
  expectQuery("input[type='password']:visible", ['#pw']);
  expectQuery('#pw, #acc, #acc', ['#acc', '#pw']);
});

test('xpath selectors, absolute and relative to a root', () => {
  expectQuery('xpath=//table[@id="results-table"]//tr', ['#row1', '#row2']);
  expectQuery('//tr[@id="row1"]', ['#row1']);
  expectQuery('xpath=ancestor::tr[1]', ['#row2'], byId('icon2'));
  expectQuery('xpath=//i', ['#icon2'], byId('row2'));
  expectQuery('xpath=//tr/td/text()', []);
});

test('chains with >> search under every result of the step before', () => {
  expectQuery('.icon-historical-trend >> xpath=ancestor::tr[1]', ['#row1', '#row2']);
  expectQuery('#fruits >> div.item:has-text("Apple") >> span', ['#apple-name']);
  expectQuery('#fruits >> css=b', ['#apple-pie']);
  // Results gathered from several roots come back in document order, each once.
  expectQuery('#apple, #banana >> xpath=preceding-sibling::*[1] | following-sibling::*[1]',
    ['#apple', '#banana', '#buy']);
  expectQuery('span', ['#apple-name'], byId('apple'));
});

test('getByText picks the smallest elements holding the text', () => {
  assertEqual(textMatches('Hello World', byId('gbt')), ['#gbt-p', '#gbt-span'], 'split text');
  assertEqual(textMatches('WORLD', byId('gbt')), ['#gbt-b', '#gbt-span'], 'smallest');
  assertEqual(textMatches('Send order'), ['#submit-in'], 'button value');
  assertEqual(textMatches('no such text anywhere'), [], 'no match');
});

test('resolveLocator applies selector, text, filter and index steps in one call', () => {
  const resolve = (steps, root) => engine.resolveLocator(steps, root).map(label);
  assertEqual(resolve([{ selector: '#fruits .item' }, { hasText: 'banana' }]), ['#banana'],
    'filter');
  assertEqual(resolve([{ selector: '#list li' }, { nth: -1 }]), ['#li3'], 'last');
  assertEqual(resolve([{ selector: '#list li' }, { nth: 0 }]), ['#li1'], 'first');
  assertEqual(resolve([{ selector: '#list li' }, { nth: 3 }]), [], 'out of range');
  assertEqual(resolve([{ selector: '#results-table tr' }, { selector: 'xpath=.//i' }]),
    ['#icon1', '#icon2'], 'chained relative xpath');
  assertEqual(resolve([{ selector: '#gbt' }, { text: 'world' }, { nth: 0 }]), ['#gbt-b'],
    'text under a root');
  assertEqual(resolve([{ selector: 'li' }], byId('list')), ['#li1', '#li2', '#li3'], 'root');
  assertThrows(() => engine.resolveLocator([{ frobnicate: 1 }]), /Unknown locator step/,
    'unknown step');
});

test('filterHasText narrows a list by its text', () => {
  const items = engine.querySelectorAll('#fruits .item');
  assertEqual(engine.filterHasText(items, ' BANANA ').map(label), ['#banana'], 'filter');
  assertEqual(engine.filterHasText(items, 'kiwi').length, 0, 'no match');
});

test('dropdown options outside the trigger are found once opened', () => {
  byId('trigger').addEventListener('click', () => {
    byId('dropdown').style.display = '';
  });
  expectQuery('.el-select-dropdown__item:visible', []);
  expectQuery('.el-select-dropdown__item:has-text("Option B")', ['#opt-b']);
  expectQuery('.el-select:has-text("Option B")', []);
  byId('trigger').click();
  const visible = engine.querySelectorAll('.el-select-dropdown__item:visible');
  assertEqual(visible.map(label), ['#opt-a', '#opt-b', '#opt-c'], 'visible after opening');
  assertEqual(engine.filterHasText(visible, 'option b').map(label), ['#opt-b'], 'narrowed by text');
  byId('dropdown').style.display = 'none';
});

test('enabled: disabled controls, inside a disabled button or fieldset, aria-disabled', () => {
  const disabled = ['s-disabled', 's-inner-span', 's-aria', 's-aria-child', 's-fs-input',
    's-fs-span', 's-option', 's-select'];
  for (const id of disabled) assertFalse(engine.isEnabled(byId(id)), `#${id} enabled`);
  for (const id of ['s-legend-input', 's-readonly', 's-plain', 's-div', 'hit-btn']) {
    assertTrue(engine.isEnabled(byId(id)), `#${id} enabled`);
  }
});

test('editable: readonly, contenteditable, aria-readonly; a readonly input can be clicked', () => {
  for (const id of ['s-plain', 's-textarea', 's-ce', 's-label']) {
    assertTrue(engine.isEditable(byId(id)), `#${id} editable`);
  }
  for (const id of ['s-readonly', 's-div', 's-textbox', 's-fs-input', 's-disabled']) {
    assertFalse(engine.isEditable(byId(id)), `#${id} editable`);
  }
  const forFill = ['attached', 'visible', 'enabled', 'editable'];
  assertEqual(states('s-readonly', forFill), notOk('element is not editable'), 'fill on readonly');
  assertEqual(states('s-readonly', ['visible', 'enabled']), OK, 'click on readonly');
  assertEqual(states('s-fs-input', forFill), notOk('element is not enabled'), 'disabled fieldset');
  assertEqual(states('v-none', ['visible']), notOk('element is not visible'), 'hidden');
  assertEqual(states('v-none', ['hidden']), OK, 'hidden awaited');
  assertEqual(states(document.createElement('input'), ['attached']),
    notOk('element is not attached to the DOM'), 'detached');
  assertThrows(() => states('s-div', ['editable']),
    /Element is not an <input>, <textarea> or \[contenteditable\] element/, 'plain div');
});

test('selectAndFocusForFill selects existing content and rejects what cannot be filled', () => {
  const plain = byId('s-plain');
  assertEqual(fill(plain, 'xyz'), NEEDS_INPUT, 'input');
  assertTrue(document.activeElement === plain, 'input focused');
  assertEqual([plain.selectionStart, plain.selectionEnd], [0, 3], 'whole value selected');
  document.execCommand('insertText', false, 'xyz');
  assertEqual(plain.value, 'xyz', 'typed text replaces the selection');

  assertEqual(fill('s-label', 'q'), NEEDS_INPUT, 'label');
  assertTrue(document.activeElement === plain, 'label stands for its control');

  assertEqual(fill('s-ce', 'new'), NEEDS_INPUT, 'contenteditable');
  assertEqual(String(getSelection()), 'edit me', 'contenteditable content selected');

  const textarea = byId('s-textarea');
  let inputEvents = 0;
  textarea.addEventListener('input', () => inputEvents++);
  assertEqual(fill(textarea, ''), FILLED, 'empty value');
  assertEqual([textarea.value, inputEvents], ['', 1], 'empty value clears with an input event');

  const date = byId('s-date');
  let changes = 0;
  date.addEventListener('change', () => changes++);
  assertEqual(fill(date, '2024-05-01'), FILLED, 'date');
  assertEqual([date.value, changes], ['2024-05-01', 1], 'date set directly');
  plain.focus();
  const badDate = assertThrows(() => fill(date, 'tomorrow'), /Malformed value "tomorrow"/,
    'bad date');
  assertEqual([badDate.name, date.value, changes], ['InvalidValueError', '2024-05-01', 1],
    'a bad date changes nothing');
  assertTrue(document.activeElement === plain, 'a bad date takes no focus');
  const range = byId('s-range');
  assertEqual(fill(range, '8'), FILLED, 'range within its bounds');
  assertEqual(range.value, '8', 'range set');
  assertThrows(() => fill(range, '12'), /Malformed value "12"/, 'range beyond its max');
  assertThrows(() => fill(range, '7.5'), /Malformed value "7.5"/, 'range off its step');

  assertEqual(fill('s-readonly', 'x'), notOk('element is not editable'), 'readonly waits');
  assertEqual(fill('s-fs-input', 'x'), notOk('element is not enabled'), 'disabled waits');
  assertEqual(fill('acc-hidden', 'x'), notOk('element is not visible'), 'hidden waits');
  const div = assertThrows(() => fill('s-div', 'x'),
    /^Element is not an <input>, <textarea> or \[contenteditable\] element$/, 'div');
  const checkbox = assertThrows(() => fill('s-checkbox', 'x'),
    /Input of type "checkbox" cannot be filled/, 'checkbox');
  const number = assertThrows(() => fill('s-number', 'abc'),
    /Cannot type text into input\[type=number\]/, 'number');
  assertEqual([div.name, checkbox.name, number.name],
    ['NotFillableError', 'NotFillableError', 'InvalidValueError'], 'error names');
  assertEqual(fill('s-number', '-1.5e3'), NEEDS_INPUT, 'a number in number notation');
});

test('innerText gives rendered text and refuses non-HTML elements', () => {
  assertEqual(engine.innerText(byId('gbt-p')), 'Hello World', 'paragraph');
  assertEqual(engine.innerText(byId('v-none')), 'none child', 'hidden element keeps its text');
  assertThrows(() => engine.innerText(byId('s-svg')), /not an HTMLElement/, 'svg');
});

test('malformed selectors fail with an error naming the selector', () => {
  const malformed = [
    'div:has-text("x', 'div >', ', div', 'div,,p', 'div:visible(1)', 'div[', 'div)', 'foo=bar',
    'xpath=', 'xpath=//tr[', 'div:bogus-pseudo', 'div >> ', 'div:has-text', 'label:has()', '>> div',
    'text=', 'text="x',
  ];
  for (const selector of malformed) {
    const error = assertThrows(() => engine.querySelectorAll(selector), /Malformed selector/,
      selector);
    assertEqual(error.name, 'SelectorError', `${selector} error name`);
    if (!error.message.includes(`"${selector}"`)) {
      throw new Error(`error for ${selector} does not quote it: ${error.message}`);
    }
  }
  assertThrows(() => engine.querySelectorAll(42), /must be a string/, 'not a string');
});

test('CSS searches open shadow roots', () => {
  const host = byId('shadow-host');
  const root = host.attachShadow({ mode: 'open' });
  root.innerHTML = '<div class="inner"><button id="shadow-btn">Shadow button</button></div>';
  expectQuery('#shadow-host .inner > button', ['#shadow-btn']);
  expectQuery('#shadow-host:has-text("shadow button")', ['#shadow-host']);
  expectQuery('button:has-text("shadow")', ['#shadow-btn']);
  assertEqual(engine.getByText('Shadow button').map(label), ['#shadow-btn'], 'getByText');
});

test('scrollIntoViewIfNeeded brings a far element into the viewport', async () => {
  const far = byId('far');
  assertEqual(await engine.scrollIntoViewIfNeeded(far), OK, 'scrolled');
  const box = far.getBoundingClientRect();
  assertTrue(box.top >= 0 && box.bottom <= innerHeight, `in viewport (top ${box.top})`);
  assertEqual(await engine.scrollIntoViewIfNeeded(byId('v-none')),
    notOk('element is not visible'), 'hidden');
  window.scrollTo(0, 0);
});

test('hit target: an overlay intercepts, descendants and shadow content count', async () => {
  const button = byId('hit-btn');
  assertEqual(await engine.scrollIntoViewIfNeeded(button), OK, 'scrolled');
  const point = engine.clickPoint(button);
  const covered = engine.checkHitTarget(button, point.x, point.y);
  assertFalse(covered.ok, 'covered button');
  const overlay = /<div id="hit-overlay" class="mask"><\/div> intercepts pointer events/;
  if (!overlay.test(covered.reason)) {
    throw new Error(`reason does not name the overlay: ${covered.reason}`);
  }
  const blocked = await engine.prepareClick(button);
  assertEqual([blocked.ok, overlay.test(blocked.reason)], [false, true],
    `prepareClick on the covered button: ${blocked.reason}`);
  byId('hit-overlay').style.display = 'none';
  assertEqual(engine.checkHitTarget(button, point.x, point.y), OK, 'uncovered (span hit)');
  assertEqual(await engine.prepareClick(button), { ok: true, x: point.x, y: point.y },
    'prepareClick');
  assertFalse(engine.checkHitTarget(byId('hit-span'), point.x + 50, point.y + 10).ok,
    'outside the span');

  const shadowButton = engine.querySelector('#shadow-btn');
  await engine.scrollIntoViewIfNeeded(shadowButton);
  const inside = engine.clickPoint(shadowButton);
  assertEqual(engine.checkHitTarget(shadowButton, inside.x, inside.y), OK, 'shadow button');
  assertEqual(engine.checkHitTarget(byId('shadow-host'), inside.x, inside.y), OK, 'its host');
  assertFalse(engine.checkHitTarget(byId('still'), inside.x, inside.y).ok, 'another element');
  window.scrollTo(0, 0);
});

test('text= selectors find the smallest elements, alone or as a chained step', () => {
  expectQuery('text=WORLD', ['#gbt-b', '#gbt-span'], byId('gbt'));
  expectQuery('#gbt >> text="hello   world"', ['#gbt-p', '#gbt-span']);
  expectQuery("#fruits >> text='send order'", ['#submit-in']);
  assertThrows(() => engine.querySelectorAll('text="open'), /Malformed selector/, 'unterminated');
});

test('scrollIntoViewIfNeeded also scrolls a clipping container', async () => {
  const button = byId('clip-btn');
  assertEqual(await engine.scrollIntoViewIfNeeded(button), OK, 'scrolled');
  const box = button.getBoundingClientRect();
  const clip = byId('clip').getBoundingClientRect();
  assertTrue(box.top >= clip.top && box.bottom <= clip.bottom, `inside (top ${box.top})`);
  assertTrue(byId('clip').scrollTop > 0, 'the container scrolled');
  const point = engine.clickPoint(button);
  assertEqual(engine.checkHitTarget(button, point.x, point.y), OK, 'reachable');
  window.scrollTo(0, 0);
});

test('locatorAction: one attempt of a driver action, strict, answered in plain data', async () => {
  const act = (selector, action, argument) =>
    engine.locatorAction(typeof selector === 'string' ? [{ selector }] : selector, action,
      argument);
  assertEqual(await act('#list li', 'count'), { ok: true, count: 3 }, 'count is never strict');
  assertEqual(await act('#nothing', 'count'), { ok: true, count: 0 }, 'count of none');
  for (const action of ['isVisible', 'click', 'fill', 'innerText', 'settle', 'states']) {
    const answer = await act('#list li', action, action === 'states' ? [] : 'x');
    assertEqual([answer.ok, answer.reason, answer.count], [false, 'strict', 3], action);
  }
  assertEqual((await act('#list li', 'isVisible')).elements.length, 3, 'strict names them');
  assertEqual(await act('#nothing', 'isVisible'), { ok: true, visible: false }, 'absent');
  assertEqual(await act('#v-opacity', 'isVisible'), { ok: true, visible: true }, 'opacity 0');
  assertEqual(await act('#v-none', 'isVisible'), { ok: true, visible: false }, 'display none');
  assertEqual(await act('#nothing', 'click'), notOk('missing'), 'missing');
  assertEqual(await act([{ selector: '#list li' }, { nth: 1 }], 'innerText'),
    { ok: true, text: 'Two' }, 'narrowed by nth');
  assertEqual(await act([{ selector: '#list li' }, { hasText: 'three' }], 'innerText'),
    { ok: true, text: 'Three' }, 'narrowed by text');
  assertEqual(await act('#s-readonly', 'fill', 'x'), notOk('element is not editable'),
    'readonly fill waits');
  assertEqual(await act('#s-disabled', 'click'), notOk('element is not enabled'), 'disabled');
  assertEqual(await act('#s-inner-span', 'click'), notOk('element is not enabled'),
    'inside a disabled button');
  assertEqual(await act('#s-aria', 'click'), notOk('element is not enabled'), 'aria-disabled');
  assertTrue((await act('#s-readonly', 'click')).ok, 'a readonly input can be clicked');
  assertEqual(await act('#s-readonly', 'states', ['attached']), OK, 'attached');
  const settled = await act('#far', 'settle');
  const far = byId('far').getBoundingClientRect();
  assertEqual([settled.ok, settled.rect.y, settled.rect.height],
    [true, far.top + scrollY, far.height], 'settle: page coordinates of a scrolled element');
  window.scrollTo(0, 0);
  const malformed = await act('div >', 'count');
  assertEqual([malformed.ok, malformed.reason, malformed.kind], [false, 'error', 'selector'],
    'malformed selector');
  assertTrue(malformed.message.startsWith('Malformed selector "div >"'), malformed.message);
  assertEqual(await act('#s-div', 'states', ['editable']), {
    ok: false,
    reason: 'error',
    kind: 'notFillable',
    message: 'Element is not an <input>, <textarea> or [contenteditable] element',
  }, 'never editable');
  const rejection = async (promise) => promise.then(() => null, (error) => error.message);
  assertTrue(/Unknown locator action/.test(await rejection(act('#s-plain', 'frobnicate'))),
    'unknown action');
  assertTrue(/Unknown state "gone"/.test(await rejection(act('#s-plain', 'waitFor', 'gone'))),
    'unknown state');
});

test('stableRect: a moving element is not stable, a still one is', async () => {
  const moving = await engine.stableRect(byId('mover'));
  assertEqual(moving, notOk('element is not stable'), 'animated');
  const prepared = async (id) => engine.prepareClick(byId(id));
  assertEqual(await prepared('mover'), notOk('element is not stable'), 'click a moving element');
  assertEqual(await prepared('s-disabled'), notOk('element is not enabled'), 'click disabled');
  assertEqual(await prepared('v-none'), notOk('element is not visible'), 'click hidden');
  const still = await engine.stableRect(byId('still'));
  assertTrue(still.ok && still.rect.width > 0 && still.rect.height > 0, 'still element');
  byId('mover').style.animation = 'none';
  await nextFrame();
  assertTrue((await engine.stableRect(byId('mover'))).ok, 'stable once the animation stops');
  const detached = document.createElement('div');
  assertEqual(await engine.stableRect(detached), notOk('element is not attached to the DOM'),
    'detached');
});

test('stableRect waits out animations still to start and frames whose clock stood still',
  async () => {
    const still = byId('still');
    const realGetAnimations = Element.prototype.getAnimations;
    const pending = { pending: true, playState: 'running' };
    // A parent's animation that has not started yet moves the element once it does.
    Element.prototype.getAnimations = function getAnimations() {
      return this === still.parentElement ? [pending] : realGetAnimations.call(this);
    };
    try {
      assertEqual(await engine.stableRect(still), notOk('element is not stable'),
        'an ancestor animation is pending');
      setTimeout(() => { pending.pending = false; }, 50);
      const started = await engine.stableRect(still);
      assertTrue(started.ok && !pending.pending, 'stable once the animation started');
    } finally {
      Element.prototype.getAnimations = realGetAnimations;
    }
    // Frames whose clock stands still show nothing that moves: they prove no rest.
    Object.defineProperty(document, 'timeline', { configurable: true, value: { currentTime: 5 } });
    try {
      assertEqual(await engine.stableRect(still), notOk('element is not stable'),
        'the same frame time in every frame');
    } finally {
      delete document.timeline;
    }
    assertTrue((await engine.stableRect(still)).ok, 'the real clock');
  });

// Dynamic fixtures of the waiting cases live in the fixed #wait-area and go with the case.
function addToWaitArea(html) {
  const area = byId('wait-area');
  area.insertAdjacentHTML('beforeend', html);
  return area.lastElementChild;
}

function clearWaitArea() {
  byId('wait-area').replaceChildren();
}

const waitFor = (selector, action, argument, timeoutMs) =>
  engine.waitForAction([{ selector }], action, argument, timeoutMs);
const timedOut = (last) => ({ ok: false, reason: 'timeout', last });

// Runs body after `ms`; the promise gives the time it ran.
function later(ms, body) {
  return new Promise((resolve) => setTimeout(() => {
    body();
    resolve(performance.now());
  }, ms));
}

function waitCase(name, body) {
  test(name, async () => {
    try {
      await body();
    } finally {
      clearWaitArea();
      window.scrollTo(0, 0);
    }
  });
}

waitCase('waitForAction notices a late element within a frame or two of its insertion',
  async () => {
    for (const delay of [100, 300, 800]) {
      const id = `late-${delay}`;
      const started = performance.now();
      const inserted = later(delay, () => addToWaitArea(`<button id="${id}">晚到</button>`));
      const answer = await waitFor(`#${id}:has-text("晚到")`, 'waitFor', 'visible', 5000);
      const resolved = performance.now();
      const insertedAt = await inserted;
      assertEqual(answer, OK, `after ${delay} ms`);
      assertTrue(insertedAt - started >= delay - 1 && resolved >= insertedAt,
        `resolved only once inserted (${delay} ms)`);
      assertTrue(resolved - insertedAt < 100,
        `noticed ${Math.round(resolved - insertedAt)} ms after the insertion at ${delay} ms`);
    }
    const inserted = later(100, () => addToWaitArea('<button id="late-click">晚到</button>'));
    const at = await waitFor('#late-click', 'click', undefined, 5000);
    const resolved = performance.now();
    const box = byId('late-click').getBoundingClientRect();
    assertEqual([at.ok, at.x, at.y], [true, box.left + box.width / 2, box.top + box.height / 2],
      'click point of the late button');
    const delay = resolved - (await inserted);
    assertTrue(delay < 150, `click ready ${Math.round(delay)} ms after the insertion`);
    later(50, () => addToWaitArea('<p id="late-unlimited">x</p>'));
    assertEqual(await waitFor('#late-unlimited', 'waitFor', 'attached', null), OK,
      'null: no time limit');
  });

waitCase('waitForAction waits for hidden and detached, and times out naming the last reason',
  async () => {
    const fading = addToWaitArea('<div id="w-fade">fading</div>');
    later(60, () => { fading.style.visibility = 'hidden'; });
    assertEqual(await waitFor('#w-fade', 'waitFor', 'hidden', 3000), OK, 'becomes hidden');
    assertEqual(getComputedStyle(fading).visibility, 'hidden', 'only once hidden');
    assertEqual(await waitFor('#w-nothing', 'waitFor', 'hidden', 3000), OK, 'absent is hidden');
    later(60, () => fading.remove());
    assertEqual(await waitFor('#w-fade', 'waitFor', 'detached', 3000), OK, 'removed');
    assertFalse(fading.isConnected, 'only once removed');

    const started = performance.now();
    assertEqual(await waitFor('#never', 'waitFor', 'attached', 150), timedOut('missing'),
      'never appears');
    const waited = performance.now() - started;
    assertTrue(waited >= 145 && waited < 1000, `waited the timeout (${Math.round(waited)} ms)`);
    assertEqual(await waitFor('#list li', 'waitFor', 'detached', 100),
      timedOut('element is attached'), 'detached is never strict');
    assertEqual(await waitFor('#v-shown', 'waitFor', 'hidden', 100),
      timedOut('element is visible'), 'stays visible');
    assertEqual(await waitFor('#v-none', 'waitFor', 'visible', 100),
      timedOut('element is not visible'), 'stays hidden');
    assertEqual(await waitFor('#v-shown', 'waitFor', 'visible', 0), OK, 'no time: one attempt');
    assertEqual(await waitFor('#never', 'waitFor', 'attached', 0), timedOut('missing'),
      'no time: no second attempt');
    assertEqual(await waitFor('#s-disabled', 'click', undefined, 100),
      timedOut('element is not enabled'), 'disabled');
    const spinning = addToWaitArea('<button id="w-spin" ' +
      'style="position:relative;animation:slide .3s linear infinite alternate">spin</button>');
    assertEqual(await waitFor('#w-spin', 'click', undefined, 300),
      timedOut('element is not stable'), 'always moving');
    spinning.remove();

    const input = byId('s-readonly');
    byId('s-plain').focus();
    assertEqual(await waitFor('#s-readonly', 'fill', 'x', 100), timedOut('element is not editable'),
      'readonly');
    assertTrue(document.activeElement !== input, 'an unfinished fill takes no focus');
  });

waitCase('waitForAction answers strict and error at once, however long it may wait', async () => {
  const actions = [['click'], ['fill', 'x'], ['innerText'], ['settle'], ['waitFor', 'attached'],
    ['waitFor', 'visible'], ['waitFor', 'hidden']];
  for (const [action, argument] of actions) {
    const started = performance.now();
    const answer = await waitFor('#list li', action, argument, 10000);
    assertEqual([answer.ok, answer.reason, answer.count], [false, 'strict', 3],
      `${action} ${argument || ''}`);
    assertEqual(answer.elements[1], '<li id="li2" class="item sel">Two</li>', 'describes them');
    assertTrue(performance.now() - started < 2000, `${action}: at once`);
  }
  const errors = [
    ['div >', 'click', undefined, 'selector', /^Malformed selector "div >": /],
    ['xpath=//tr[', 'waitFor', 'detached', 'selector', /invalid XPath/],
    ['#s-div', 'fill', 'x', 'notFillable', /^Element is not an <input>, <textarea>/],
    ['#s-checkbox', 'fill', 'x', 'notFillable', /Input of type "checkbox" cannot be filled/],
    ['#s-number', 'fill', 'abc', 'invalidValue', /input\[type=number\]/],
    ['#s-date', 'fill', '2024-13-45', 'invalidValue', /Malformed value "2024-13-45"/],
    ['#s-svg', 'innerText', undefined, 'other', /not an HTMLElement/],
  ];
  for (const [selector, action, argument, kind, message] of errors) {
    const started = performance.now();
    const waited = await waitFor(selector, action, argument, 10000);
    const once = await engine.locatorAction([{ selector }], action, argument);
    for (const answer of [waited, once]) {
      assertEqual([answer.ok, answer.reason, answer.kind], [false, 'error', kind],
        `${selector} ${action}`);
      assertTrue(message.test(answer.message), `${selector}: ${answer.message}`);
    }
    assertTrue(performance.now() - started < 2000, `${selector}: at once`);
  }
  const rejection = async (promise) => promise.then(() => null, (error) => error.message);
  assertTrue(/Unknown locator action/.test(await rejection(waitFor('#li1', 'press'))),
    'unknown action');
  assertTrue(/Unknown state/.test(await rejection(waitFor('#li1', 'waitFor', 'gone', 100))),
    'unknown state');
  assertTrue(/cannot be awaited/.test(await rejection(waitFor('#li1', 'count', undefined, 100))),
    'count never waits');
});

waitCase('waitForAction clicks once a cover goes and once a button is enabled', async () => {
  addToWaitArea('<button id="w-covered">covered</button>');
  addToWaitArea('<div id="w-cover" style="position:fixed;inset:0"></div>');
  const covered = await waitFor('#w-covered', 'click', undefined, 150);
  assertEqual([covered.reason, /^<div id="w-cover"><\/div> intercepts pointer events$/.test(
    covered.last)], ['timeout', true], `names the cover: ${covered.last}`);
  const uncovered = later(150, () => byId('w-cover').remove());
  const at = await waitFor('#w-covered', 'click', undefined, 5000);
  const resolved = performance.now();
  assertTrue(at.ok, `clicked: ${JSON.stringify(at)}`);
  const removedAt = await uncovered;
  assertTrue(resolved >= removedAt && resolved - removedAt < 150,
    `ready ${Math.round(resolved - removedAt)} ms after the cover went`);
  assertEqual(engine.checkHitTarget(byId('w-covered'), at.x, at.y), OK, 'the point reaches it');

  const button = addToWaitArea('<button id="w-later" disabled>later</button>');
  const enabled = later(150, () => { button.disabled = false; });
  const clicked = await waitFor('#w-later', 'click', undefined, 5000);
  const clickedAt = performance.now();
  const enabledAt = await enabled;
  assertTrue(clicked.ok, `clicked: ${JSON.stringify(clicked)}`);
  assertTrue(clickedAt >= enabledAt && clickedAt - enabledAt < 150,
    `ready ${Math.round(clickedAt - enabledAt)} ms after it was enabled`);
});

waitCase('waitForAction fills once editable, focusing only then', async () => {
  const input = addToWaitArea('<input id="w-ro" readonly value="old">');
  const focusedWhileReadOnly = [];
  input.addEventListener('focus', () => focusedWhileReadOnly.push(input.readOnly));
  later(150, () => { input.readOnly = false; });
  assertEqual(await waitFor('#w-ro', 'fill', 'new', 5000), NEEDS_INPUT, 'ready to type');
  assertEqual(focusedWhileReadOnly, [false], 'focused once, after it became editable');
  assertEqual([input.selectionStart, input.selectionEnd], [0, 3], 'old value selected');
});

waitCase('waitForAction clicks a moving element only once it rests', async () => {
  const slider = addToWaitArea(
    '<button id="w-slide" style="position:relative;left:0;transition:left .4s linear">' +
    'slide</button>');
  await nextFrame();
  const start = slider.getBoundingClientRect().left;
  const started = performance.now();
  slider.style.left = '150px';
  const at = await waitFor('#w-slide', 'click', undefined, 5000);
  const waited = performance.now() - started;
  const box = slider.getBoundingClientRect();
  assertEqual([at.ok, at.x], [true, box.left + box.width / 2], 'click point at rest');
  assertEqual(Math.round(box.left - start), 150, 'moved all the way');
  assertEqual(slider.getAnimations().length, 0, 'the transition had ended');
  // The transition's clock starts at the frame that began it, which a busy machine may have begun
  // well before `started`: only a return at once is ruled out here.
  assertTrue(waited >= 200, `waited for the transition (${Math.round(waited)} ms)`);
});

waitCase('waitForAction clicks a transform transition only once it has started and ended',
  async () => {
    for (let round = 0; round < 5; round++) {
      const slider = addToWaitArea(
        '<button id="w-pending" style="transition:transform .25s linear">pending</button>');
      await nextFrame();
      const before = slider.getBoundingClientRect().left;
      slider.style.transform = 'translateX(120px)';
      // Starting it makes the box hold still for a frame or two.
      assertTrue(slider.getAnimations().some((animation) => animation.pending),
        'the transition waits for its start');
      const at = await waitFor('#w-pending', 'click', undefined, 5000);
      const box = slider.getBoundingClientRect();
      assertEqual([at.ok, at.x], [true, box.left + box.width / 2], `round ${round}: at rest`);
      assertEqual(Math.round(box.left - before), 120, `round ${round}: moved all the way`);
      slider.remove();
    }
  });

waitCase('waitForAction leaves no observer, timer or frame request behind', async () => {
  const observing = new Set();
  const live = new Set();
  const real = {
    observe: MutationObserver.prototype.observe,
    disconnect: MutationObserver.prototype.disconnect,
    setTimeout: globalThis.setTimeout,
    clearTimeout: globalThis.clearTimeout,
    requestAnimationFrame: globalThis.requestAnimationFrame,
    cancelAnimationFrame: globalThis.cancelAnimationFrame,
  };
  MutationObserver.prototype.observe = function observe(...args) {
    observing.add(this);
    return real.observe.apply(this, args);
  };
  MutationObserver.prototype.disconnect = function disconnect() {
    observing.delete(this);
    return real.disconnect.call(this);
  };
  const track = (schedule, cancel, kind) => {
    globalThis[schedule] = (callback, ...rest) => {
      const id = real[schedule].call(globalThis, (...args) => {
        live.delete(`${kind}${id}`);
        callback(...args);
      }, ...rest);
      live.add(`${kind}${id}`);
      return id;
    };
    globalThis[cancel] = (id) => {
      live.delete(`${kind}${id}`);
      real[cancel].call(globalThis, id);
    };
  };
  track('setTimeout', 'clearTimeout', 't');
  track('requestAnimationFrame', 'cancelAnimationFrame', 'f');
  try {
    const element = addToWaitArea('<button id="w-track" disabled>track</button>');
    const outcomes = [
      [() => waitFor('#w-track', 'click', undefined, 80), 'timeout'],
      [() => waitFor('#list li', 'click', undefined, 1000), 'strict'],
      [() => waitFor('div >', 'click', undefined, 1000), 'error'],
      [() => {
        real.setTimeout.call(globalThis, () => { element.disabled = false; }, 40);
        return waitFor('#w-track', 'click', undefined, 1000);
      }, undefined],
    ];
    for (const [start, reason] of outcomes) {
      const answer = await start();
      assertEqual(answer.reason, reason, 'outcome');
      assertEqual([observing.size, live.size], [0, 0], `left behind after ${reason || 'ok'}`);
    }
  } finally {
    MutationObserver.prototype.observe = real.observe;
    MutationObserver.prototype.disconnect = real.disconnect;
    for (const name of ['setTimeout', 'clearTimeout', 'requestAnimationFrame',
      'cancelAnimationFrame']) {
      globalThis[name] = real[name];
    }
  }
});

// ---------------------------------------------------------------------------------------------

async function runAll() {
  const failures = [];
  for (const { name, body } of cases) {
    try {
      await body();
    } catch (error) {
      failures.push({ name, message: String(error && error.message) });
    }
  }
  return { total: cases.length, failures };
}

runAll();
