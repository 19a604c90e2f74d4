// Selector engine and actionability checks evaluated in every page by the browser driver.
//
// Evaluating this file defines one global, `__vendro`, once per JavaScript world; evaluating it
// again leaves the first definition in place. It needs nothing else in the page and should be
// run in an isolated world so that page scripts can neither see nor replace it.
//
// Contract (what the driver may call):
//
//   querySelectorAll(selector, root?) -> Element[]
//       Elements under `root` (a Document, Element or ShadowRoot; default: document), in tree
//       order without duplicates. The selector is CSS extended with :has-text("..."), :visible,
//       :has(...) holding extensions, :scope, comma lists and any combinators; or XPath after
//       "xpath=" (or starting with "/" or ".."), relative to `root` when it is an element; or
//       "text=..." (what getByText finds); or a chain of those joined by ">>", each step searched
//       under every result of the previous one. CSS steps look into open shadow roots. Throws an
//       Error named "SelectorError" whose message quotes the selector when it is malformed.
//       Errors that no waiting cures are named by kind: "SelectorError", "NotFillableError",
//       "InvalidValueError".
//   querySelector(selector, root?) -> Element | null        the first of the above.
//   resolveLocator(steps, root?) -> Element[]
//       A whole locator in one call: steps [{selector}, {text}, {hasText}, {nth}] applied in
//       order (see the function).
//   locatorAction(steps, action, argument?) -> Promise<JSON-serialisable answer>
//       One attempt of a locator action, answered without elements. "count" -> {ok: true,
//       count} (never strict). Every other action needs exactly one element: otherwise {ok:
//       false, reason: 'missing'} or {ok: false, reason: 'strict', count, elements:
//       [descriptions]}. "isVisible" -> {ok: true, visible} (no element: not visible); "states"
//       (argument: a states list) -> checkElementStates; "click" -> prepareClick, {ok: true, x,
//       y}; "fill" (argument: the value) -> selectAndFocusForFill, {ok: true, needsInput};
//       "focus" -> the element focused, {ok: true}; "innerText" -> {ok: true, text}; "settle" -> scrolled into view and stable, {ok: true,
//       rect, viewport} in CSS pixels of the page (viewport: the part on screen); "waitFor" (argument: "attached" | "visible" | "hidden"
//       | "detached") -> {ok: true} once the state holds (hidden: absent or not visible;
//       detached: no match, never strict). Not ready: {ok: false, reason} naming what is awaited
//       ('missing', 'element is not visible', 'element is not enabled', 'element is not
//       editable', 'element is not stable', '<div id="overlay"> intercepts pointer events',
//       'element is visible', 'element is attached', ...). A failure that waiting cannot cure
//       answers {ok: false, reason: 'error', kind, message}, kind one of 'selector' (malformed
//       selector), 'notFillable' (fill on something that never takes text), 'invalidValue' (a
//       value the input refuses) or 'other' (anything else thrown). An unknown action or state
//       rejects: that is the caller's mistake.
//   waitForAction(steps, action, argument, timeoutMs) -> Promise<answer>
//       Attempts the action (as locatorAction, except "count" and "isVisible", which reject)
//       until it is ready and answers as soon as it is; strict and error answers come at once.
//       Between attempts it waits for a DOM mutation (noticed at once), the next animation frame
//       or a timer, so a change is seen within a frame. When `timeoutMs` (null: no limit) runs
//       out: {ok: false, reason: 'timeout', last} with `last` the reason of the last attempt.
//       The fill's focus and selection happen only in the attempt that succeeds. Leaves no
//       observer or timer behind; a navigation ends the promise with the page's context.
//   getByText(text, root?) -> Element[]
//       The smallest elements holding `text`: an element whose text contains it while none of
//       its child elements does.
//   filterHasText(elements, text) -> Element[]   those whose text contains `text`.
//       Text matching normalises white space (runs collapse to one space, ends trimmed) and
//       ignores case; <head>, <script>, <style>, <noscript> and <template> never count.
//       Buttons made of <input type=button|submit|reset> count with their value.
//   isVisible(el), isEnabled(el), isEditable(el) -> boolean   answer at once, never wait.
//   checkElementStates(el, states) -> {ok: true} | {ok: false, reason}
//       `states` lists any of "attached", "visible", "hidden", "enabled", "editable"; the reason
//       names the first state that does not hold ("element is not visible"). Throws a
//       NotFillableError when the element can never be edited (see selectAndFocusForFill).
//   innerText(el) -> string   the rendered text; throws for non-HTML elements.
//   stableRect(el, maxFrames = 10) -> Promise<{ok: true, rect} | {ok: false, reason}>
//       Samples the bounding box once per animation frame; succeeds as soon as two consecutive
//       frames with different frame times agree while no animation of the element or an
//       ancestor is waiting to start. rect = {x, y, width, height} in CSS pixels of the frame's
//       viewport.
//   scrollIntoViewIfNeeded(el) -> Promise<{ok: true} | {ok: false, reason}>
//       Scrolls every scrolling ancestor so that the element is fully visible when it is not.
//   clickPoint(el) -> {x, y} | null   centre of the element's box clipped to the viewport.
//   checkHitTarget(el, x, y) -> {ok: true} | {ok: false, reason}
//       Whether the element, or something inside it, is what a pointer event at viewport point
//       (x, y) would reach, following open shadow roots. The reason names the element that would
//       receive the event instead ('<div class="mask"> intercepts pointer events').
//   prepareClick(el) -> Promise<{ok: true, x, y} | {ok: false, reason}>
//       Everything a click waits for, checked once: attached, visible, enabled, scrolled into
//       view, stable, and the hit target at its centre (x, y), where the mouse should go.
//   selectAndFocusForFill(el, value) -> {ok: true, needsInput} | {ok: false, reason}
//       Focuses a visible <input>, <textarea> or [contenteditable] (a <label> stands for its
//       control) and selects its content. needsInput: the caller must now insert `value` as
//       typed text; otherwise the fill is complete (value types like date are set directly; an
//       empty value deletes the selection). A hidden, disabled, read-only or detached element
//       gives ok: false so that the caller may retry. Throws a NotFillableError for one that can
//       never be filled, an InvalidValueError for a value its type refuses (text in a number
//       input, a malformed date), before anything gets focus.
//   describeElement(el) -> string   short HTML-like description for error messages.
//   normalizeWhiteSpace(text) -> string
(() => {
  'use strict';
  if (globalThis.__vendro) return;

  // ---------------------------------------------------------------------------------------
  // Errors

  // Failures that waiting can never cure carry a name per kind, so that an answer can classify
  // them without reading their text.
  const kErrorKinds = new Map([
    ['SelectorError', 'selector'],
    ['NotFillableError', 'notFillable'],
    ['InvalidValueError', 'invalidValue'],
  ]);

  function namedError(name, message) {
    const error = new Error(message);
    error.name = name;
    return error;
  }

  function selectorError(selector, detail) {
    return namedError('SelectorError', `Malformed selector "${selector}": ${detail}`);
  }

  function notFillableError(message) {
    return namedError('NotFillableError', message);
  }

  function invalidValueError(message) {
    return namedError('InvalidValueError', message);
  }

  function errorAnswer(error) {
    const named = error instanceof Error;
    return {
      ok: false,
      reason: 'error',
      kind: (named && kErrorKinds.get(error.name)) || 'other',
      message: named ? error.message : String(error),
    };
  }

  // ---------------------------------------------------------------------------------------
  // Tree helpers: the composed tree, so that open shadow roots are searched like the light DOM.

  function composedParent(node) {
    if (node.parentElement) return node.parentElement;
    const parent = node.parentNode;
    const isShadowRoot = parent && parent.nodeType === Node.DOCUMENT_FRAGMENT_NODE;
    if (isShadowRoot && parent.host) return parent.host;
    return null;
  }

  function composedContains(ancestor, node) {
    for (let current = node; current; current = composedParent(current)) {
      if (current === ancestor) return true;
    }
    return false;
  }

  function childElements(element) {
    const children = Array.from(element.children);
    if (element.shadowRoot) children.push(...element.shadowRoot.children);
    return children;
  }

  // Calls visit(element) for every element under container (not the container itself), shadow
  // content of an element before its light children. Stops early when visit returns true.
  function walkDescendants(container, visit) {
    if (container.nodeType === Node.ELEMENT_NODE && container.shadowRoot) {
      if (walkDescendants(container.shadowRoot, visit)) return true;
    }
    for (let child = container.firstElementChild; child; child = child.nextElementSibling) {
      if (visit(child) || walkDescendants(child, visit)) return true;
    }
    return false;
  }

  function descendants(container) {
    const out = [];
    walkDescendants(container, (element) => {
      out.push(element);
      return false;
    });
    return out;
  }

  // The elements of `set` in tree order of their document.
  function inTreeOrder(set) {
    if (set.size <= 1) return Array.from(set);
    const ordered = [];
    const doc = set.values().next().value.ownerDocument;
    walkDescendants(doc, (element) => {
      if (set.has(element)) ordered.push(element);
      return ordered.length === set.size;
    });
    if (ordered.length < set.size) {
      const seen = new Set(ordered);
      for (const element of set) if (!seen.has(element)) ordered.push(element);
    }
    return ordered;
  }

  // Open shadow roots inside `container`, nested ones included.
  function shadowRootsIn(container) {
    const found = [];
    const pending = [container];
    while (pending.length) {
      const scope = pending.pop();
      if (scope.nodeType === Node.ELEMENT_NODE && scope.shadowRoot) {
        found.push(scope.shadowRoot);
        pending.push(scope.shadowRoot);
      }
      for (const element of scope.querySelectorAll('*')) {
        if (element.shadowRoot) {
          found.push(element.shadowRoot);
          pending.push(element.shadowRoot);
        }
      }
    }
    return found;
  }

  // The tree scopes a search under `root` covers: root itself and the open shadow roots below it.
  function treeScopes(root, cache) {
    if (root.nodeType === Node.DOCUMENT_FRAGMENT_NODE) return [root, ...shadowRootsIn(root)];
    const doc = root.nodeType === Node.DOCUMENT_NODE ? root : root.ownerDocument;
    let all = cache.shadowRoots.get(doc);
    if (!all) {
      all = shadowRootsIn(doc);
      cache.shadowRoots.set(doc, all);
    }
    if (root === doc) return [root, ...all];
    return [root, ...all.filter((shadowRoot) => composedContains(root, shadowRoot.host))];
  }

  // Elements found in `scopes`, in tree order.
  function ordered(found, scopes) {
    if (scopes.length > 1) return inTreeOrder(found);
    return Array.from(found).sort((a, b) =>
      a === b ? 0 : a.compareDocumentPosition(b) & Node.DOCUMENT_POSITION_FOLLOWING ? -1 : 1);
  }

  function assertElement(el, what) {
    if (!el || el.nodeType !== Node.ELEMENT_NODE) {
      throw new Error(`${what} expects an element, got ${el === null ? 'null' : typeof el}`);
    }
  }

  // ---------------------------------------------------------------------------------------
  // Text

  function normalizeWhiteSpace(text) {
    return String(text).replace(/\u200b/g, '').trim().replace(/\s+/g, ' ');
  }

  const kSkippedForText = new Set(['HEAD', 'SCRIPT', 'STYLE', 'NOSCRIPT', 'TEMPLATE']);

  function skippedTag(element) {
    return kSkippedForText.has(element.nodeName.toUpperCase());
  }

  function skippedForText(element) {
    if (skippedTag(element)) return true;
    const head = element.ownerDocument.head;
    return !!head && head.contains(element);
  }

  function isButtonInput(element) {
    return (
      element.localName === 'input' && ['button', 'submit', 'reset'].includes(element.type)
    );
  }

  // Caches live for one call into the engine; the page may change between calls.
  function newCache() {
    return {
      rawText: new Map(),
      lowerText: new Map(),
      textMatch: new Map(),
      visible: new Map(),
      shadowRoots: new Map(),
    };
  }

  function rawText(element, cache) {
    let text = cache.rawText.get(element);
    if (text !== undefined) return text;
    if (isButtonInput(element)) {
      text = element.value;
    } else {
      text = '';
      const appendChildren = (parent) => {
        for (let node = parent.firstChild; node; node = node.nextSibling) {
          if (node.nodeType === Node.TEXT_NODE || node.nodeType === Node.CDATA_SECTION_NODE) {
            text += node.data;
          } else if (node.nodeType === Node.ELEMENT_NODE && !skippedTag(node)) {
            text += rawText(node, cache);
          }
        }
      };
      appendChildren(element);
      if (element.shadowRoot) appendChildren(element.shadowRoot);
    }
    cache.rawText.set(element, text);
    return text;
  }

  function comparableText(element, cache) {
    let text = cache.lowerText.get(element);
    if (text === undefined) {
      text = normalizeWhiteSpace(rawText(element, cache)).toLowerCase();
      cache.lowerText.set(element, text);
    }
    return text;
  }

  function comparableNeedle(text) {
    return normalizeWhiteSpace(text).toLowerCase();
  }

  // Whether the element's text holds the needle. An element's text is part of its parent's, so
  // a parent already known to lack the needle settles the question without reading the
  // element's own text (searches in tree order see parents first).
  function containsText(element, needle, cache) {
    let results = cache.textMatch.get(needle);
    if (!results) {
      results = new Map();
      cache.textMatch.set(needle, results);
    }
    let result = results.get(element);
    if (result !== undefined) return result;
    const parent = composedParent(element);
    if (parent && results.get(parent) === false && !skippedTag(parent)) {
      result = false;
    } else {
      result = comparableText(element, cache).includes(needle);
    }
    results.set(element, result);
    return result;
  }

  // 'none' | 'self' (the element holds the text and no child element does) | 'selfAndChildren'.
  function matchText(element, needle, cache) {
    if (skippedForText(element) || !containsText(element, needle, cache)) return 'none';
    for (const child of childElements(element)) {
      if (!skippedTag(child) && containsText(child, needle, cache)) {
        return 'selfAndChildren';
      }
    }
    return 'self';
  }

  // ---------------------------------------------------------------------------------------
  // Visibility and element states

  function isVisibleTextNode(node) {
    const range = node.ownerDocument.createRange();
    range.selectNode(node);
    const rect = range.getBoundingClientRect();
    return rect.width > 0 && rect.height > 0;
  }

  function computeVisible(element, cache) {
    if (!element.isConnected) return false;
    if (element.localName === 'option' || element.localName === 'optgroup') {
      const select = element.closest('select');
      if (select) return visible(select, cache);
    }
    // checkVisibility() covers display:none ancestors, visibility, closed <details> and
    // content-visibility; opacity deliberately does not count.
    const shown = typeof element.checkVisibility === 'function'
      ? element.checkVisibility({ visibilityProperty: true })
      : getComputedStyle(element).visibility === 'visible';
    if (shown) {
      const rect = element.getBoundingClientRect();
      if (rect.width > 0 && rect.height > 0) return true;
    }
    if (getComputedStyle(element).display !== 'contents') return false;
    // No box of its own: it shows whatever its children show.
    for (let node = element.firstChild; node; node = node.nextSibling) {
      if (node.nodeType === Node.ELEMENT_NODE && visible(node, cache)) return true;
      if (node.nodeType === Node.TEXT_NODE && isVisibleTextNode(node)) return true;
    }
    return false;
  }

  function visible(element, cache) {
    let result = cache.visible.get(element);
    if (result === undefined) {
      result = computeVisible(element, cache);
      cache.visible.set(element, result);
    }
    return result;
  }

  function isVisible(el) {
    assertElement(el, 'isVisible');
    return visible(el, newCache());
  }

  const kFormControls = new Set(['button', 'input', 'select', 'textarea', 'option', 'optgroup']);

  function isNativelyDisabled(element) {
    if (!kFormControls.has(element.localName)) return false;
    if (element.matches(':disabled')) return true;
    if (element.localName === 'option' || element.localName === 'optgroup') {
      const select = element.closest('select');
      return !!select && select.matches(':disabled');
    }
    return false;
  }

  function insideFirstLegend(fieldset, element) {
    for (let child = fieldset.firstElementChild; child; child = child.nextElementSibling) {
      if (child.localName === 'legend') return child.contains(element);
    }
    return false;
  }

  function isEnabled(el) {
    assertElement(el, 'isEnabled');
    if (isNativelyDisabled(el)) return false;
    for (let current = el; current; current = composedParent(current)) {
      if ((current.getAttribute('aria-disabled') || '').toLowerCase() === 'true') return false;
      if (current === el) continue;
      // Clicks on anything inside a disabled button never reach it; a disabled fieldset
      // disables everything in it except its first legend.
      if (current.localName === 'button' && current.matches(':disabled')) return false;
      if (
        current.localName === 'fieldset' &&
        current.hasAttribute('disabled') &&
        !insideFirstLegend(current, el)
      ) {
        return false;
      }
    }
    return true;
  }

  const kReadonlyRoles = new Set([
    'checkbox', 'columnheader', 'combobox', 'grid', 'gridcell', 'listbox', 'menuitemcheckbox',
    'menuitemradio', 'option', 'radio', 'radiogroup', 'rowheader', 'searchbox', 'slider',
    'spinbutton', 'switch', 'textbox', 'treegrid',
  ]);

  // null when the element is not something that can be edited at all.
  function editableState(element) {
    if (['input', 'textarea'].includes(element.localName)) return !element.readOnly;
    if (element.localName === 'select') return true;
    if (element.isContentEditable) return true;
    const role = (element.getAttribute('role') || '').toLowerCase();
    if (kReadonlyRoles.has(role)) {
      return (element.getAttribute('aria-readonly') || '').toLowerCase() !== 'true';
    }
    return null;
  }

  function isEditable(el) {
    assertElement(el, 'isEditable');
    const target = fillTarget(el);
    return isEnabled(target) && editableState(target) === true;
  }

  const kNotFillable =
    'Element is not an <input>, <textarea> or [contenteditable] element';

  function checkElementStates(el, states) {
    assertElement(el, 'checkElementStates');
    const cache = newCache();
    for (const state of states) {
      if (state === 'attached') {
        if (!el.isConnected) return { ok: false, reason: 'element is not attached to the DOM' };
      } else if (state === 'visible') {
        if (!visible(el, cache)) return { ok: false, reason: 'element is not visible' };
      } else if (state === 'hidden') {
        if (visible(el, cache)) return { ok: false, reason: 'element is visible' };
      } else if (state === 'enabled') {
        if (!isEnabled(el)) return { ok: false, reason: 'element is not enabled' };
      } else if (state === 'editable') {
        const target = fillTarget(el);
        const editable = editableState(target);
        if (editable === null) throw notFillableError(kNotFillable);
        if (!isEnabled(target)) return { ok: false, reason: 'element is not enabled' };
        if (!editable) return { ok: false, reason: 'element is not editable' };
      } else {
        throw new Error(`Unknown element state "${state}"`);
      }
    }
    return { ok: true };
  }

  function innerText(el) {
    assertElement(el, 'innerText');
    if (!(el instanceof HTMLElement)) throw new Error('Node is not an HTMLElement');
    return el.innerText;
  }

  function describeElement(el) {
    if (!el || el.nodeType !== Node.ELEMENT_NODE) return String(el);
    let text = `<${el.localName}`;
    for (const name of ['id', 'class', 'name', 'type', 'role']) {
      const value = el.getAttribute(name);
      if (value) text += ` ${name}="${value.length > 60 ? value.slice(0, 57) + '...' : value}"`;
    }
    text += '>';
    const content = normalizeWhiteSpace(el.textContent || '');
    if (content) text += content.length > 40 ? content.slice(0, 37) + '...' : content;
    return text + `</${el.localName}>`;
  }

  // ---------------------------------------------------------------------------------------
  // Geometry and pointer

  function nextFrame(callback) {
    // Hidden tabs get no animation frames; a timer keeps the check from stalling.
    if (document.visibilityState === 'hidden') setTimeout(callback, 16);
    else requestAnimationFrame(() => callback());
  }

  // The animation clock of the frame being drawn. Two frame callbacks can share it (seen under
  // load: 5 ms apart, same frame time), and then nothing animated has moved between them.
  function frameTime() {
    if (document.visibilityState === 'hidden') return performance.now();
    const time = document.timeline ? document.timeline.currentTime : null;
    return typeof time === 'number' ? time : performance.now();
  }

  // Whether an animation of the element or of an ancestor exists but has not started: until it
  // does the box holds still (a transform transition waited two frames for its start).
  function animationPending(el) {
    if (document.visibilityState === 'hidden') return false;  // nothing starts there
    for (let current = el; current; current = composedParent(current)) {
      if (typeof current.getAnimations !== 'function') return false;
      for (const animation of current.getAnimations()) if (animation.pending) return true;
    }
    return false;
  }

  function sameBox(a, b) {
    return a.x === b.x && a.y === b.y && a.width === b.width && a.height === b.height;
  }

  // Stable: the same box in two consecutive frames whose clocks differ, with no animation
  // pending in either. Sampling in frames, not at once, also matters for what follows: input
  // sent right after a frame's callbacks reaches the page sooner than input sent at an arbitrary
  // moment (measured: a click's effect came 13 ms later with the first sample taken at once).
  function stableRect(el, maxFrames = 10) {
    assertElement(el, 'stableRect');
    return new Promise((resolve) => {
      let previous = null;
      let frames = 0;
      const sample = () => {
        if (!el.isConnected) {
          resolve({ ok: false, reason: 'element is not attached to the DOM' });
          return;
        }
        const time = frameTime();
        const box = el.getBoundingClientRect();
        const rect = { x: box.left, y: box.top, width: box.width, height: box.height };
        const pending = animationPending(el);
        if (
          previous && !previous.pending && !pending && previous.time !== time &&
          sameBox(previous.rect, rect)
        ) {
          resolve({ ok: true, rect });
          return;
        }
        previous = { rect, time, pending };
        if (++frames > maxFrames) resolve({ ok: false, reason: 'element is not stable' });
        else nextFrame(sample);
      };
      nextFrame(sample);
    });
  }

  // Whether the whole box shows inside the viewport and inside every ancestor that clips its
  // overflow. Measured at once (an intersection observer would cost a frame per click); an
  // element it wrongly finds clipped is merely scrolled again.
  function fullyInView(el) {
    const box = el.getBoundingClientRect();
    if (box.left < 0 || box.top < 0 || box.right > innerWidth || box.bottom > innerHeight) {
      return false;
    }
    for (let p = composedParent(el); p; p = composedParent(p)) {
      const style = getComputedStyle(p);
      if (style.overflowX === 'visible' && style.overflowY === 'visible') continue;
      const clip = p.getBoundingClientRect();
      if (
        box.left < clip.left || box.top < clip.top || box.right > clip.right ||
        box.bottom > clip.bottom
      ) {
        return false;
      }
    }
    return true;
  }

  async function scrollIntoViewIfNeeded(el) {
    assertElement(el, 'scrollIntoViewIfNeeded');
    if (!el.isConnected) return { ok: false, reason: 'element is not attached to the DOM' };
    if (!visible(el, newCache())) return { ok: false, reason: 'element is not visible' };
    if (!fullyInView(el)) {
      el.scrollIntoView({ block: 'center', inline: 'center', behavior: 'instant' });
    }
    return { ok: true };
  }

  function clickPoint(el) {
    assertElement(el, 'clickPoint');
    const box = el.getBoundingClientRect();
    const left = Math.max(box.left, 0);
    const top = Math.max(box.top, 0);
    const right = Math.min(box.right, window.innerWidth);
    const bottom = Math.min(box.bottom, window.innerHeight);
    if (right <= left || bottom <= top) return null;
    return { x: (left + right) / 2, y: (top + bottom) / 2 };
  }

  function hitElementAt(x, y) {
    let scope = document;
    let hit = null;
    for (;;) {
      const found = scope.elementFromPoint(x, y);
      if (!found || found === hit) break;
      hit = found;
      if (!found.shadowRoot) break;
      scope = found.shadowRoot;
    }
    return hit;
  }

  function checkHitTarget(el, x, y) {
    assertElement(el, 'checkHitTarget');
    if (!el.isConnected) return { ok: false, reason: 'element is not attached to the DOM' };
    const hit = hitElementAt(x, y);
    if (!hit) return { ok: false, reason: `point (${x}, ${y}) is outside of the viewport` };
    if (composedContains(el, hit)) return { ok: true };
    return { ok: false, reason: `${describeElement(hit)} intercepts pointer events` };
  }

  // Every check a click needs, in one round trip: states, scrolling, stability, hit target.
  async function prepareClick(el) {
    assertElement(el, 'prepareClick');
    const states = checkElementStates(el, ['attached', 'visible', 'enabled']);
    if (!states.ok) return states;
    const scrolled = await scrollIntoViewIfNeeded(el);
    if (!scrolled.ok) return scrolled;
    const stable = await stableRect(el);
    if (!stable.ok) return stable;
    const point = clickPoint(el);
    if (!point) return { ok: false, reason: 'element is outside of the viewport' };
    const hit = checkHitTarget(el, point.x, point.y);
    if (!hit.ok) return hit;
    return { ok: true, x: point.x, y: point.y };
  }

  // ---------------------------------------------------------------------------------------
  // Fill

  const kTypedInputs = new Set(['email', 'number', 'password', 'search', 'tel', 'text', 'url']);
  const kValueInputs = new Set([
    'color', 'date', 'time', 'datetime-local', 'month', 'range', 'week',
  ]);

  function fillTarget(element) {
    if (element.localName === 'label' && element.control) return element.control;
    return element;
  }

  // A value the input would change on assignment is malformed; a detached copy tells without
  // touching the element, so that a bad value fails before anything gets focus.
  function checkDirectValue(input, value) {
    const probe = input.ownerDocument.createElement('input');
    probe.type = input.type;
    for (const name of ['min', 'max', 'step']) {
      if (input.hasAttribute(name)) probe.setAttribute(name, input.getAttribute(name));
    }
    probe.value = value;
    if (probe.value !== value) throw invalidValueError(`Malformed value "${value}"`);
  }

  function selectAndFocusForFill(el, value) {
    assertElement(el, 'selectAndFocusForFill');
    value = String(value);
    const target = fillTarget(el);
    if (!target.isConnected) return { ok: false, reason: 'element is not attached to the DOM' };
    if (!isVisible(el)) return { ok: false, reason: 'element is not visible' };
    let setDirectly = false;
    if (target.localName === 'input') {
      // Unknown types read as "text", the way browsers treat them.
      const type = target.type.toLowerCase();
      if (!kTypedInputs.has(type) && !kValueInputs.has(type)) {
        throw notFillableError(`Input of type "${type}" cannot be filled`);
      }
      if (type === 'number' && value.trim() !== '' && Number.isNaN(Number(value))) {
        throw invalidValueError('Cannot type text into input[type=number]');
      }
      setDirectly = kValueInputs.has(type);
      if (setDirectly) checkDirectValue(target, value.trim());
    } else if (target.localName !== 'textarea' && !target.isContentEditable) {
      throw notFillableError(kNotFillable);
    }
    if (!isEnabled(target)) return { ok: false, reason: 'element is not enabled' };
    if (editableState(target) !== true) return { ok: false, reason: 'element is not editable' };

    target.focus();
    if (setDirectly) {
      target.value = value.trim();
      target.dispatchEvent(new Event('input', { bubbles: true, composed: true }));
      target.dispatchEvent(new Event('change', { bubbles: true }));
      return { ok: true, needsInput: false };
    }
    if (target.localName === 'input' || target.localName === 'textarea') {
      target.select();
    } else {
      const range = target.ownerDocument.createRange();
      range.selectNodeContents(target);
      const selection = target.ownerDocument.defaultView.getSelection();
      selection.removeAllRanges();
      selection.addRange(range);
    }
    if (value === '') {
      // Deleting the selection fires the same input events as a user pressing Delete.
      target.ownerDocument.execCommand('delete');
      return { ok: true, needsInput: false };
    }
    return { ok: true, needsInput: true };
  }

  // ---------------------------------------------------------------------------------------
  // Selector parsing
  //
  // A parsed CSS selector is a list of complex selectors; a complex selector is a list of
  // compounds, each {css, ext, combinator}: `css` is the part the browser matches natively,
  // `ext` our extensions, `combinator` how it relates to the compound before it.

  const kCombinators = new Set(['>', '+', '~']);
  const kLogical = new Set(['not', 'is', 'where', 'matches']);
  const validationRoot = document.createDocumentFragment();

  function isIdentChar(c) {
    return /[-\w]/.test(c) || c.charCodeAt(0) >= 0x80;
  }

  class CssParser {
    // `offset`: where `text` starts inside `whole`, so that positions in errors refer to what
    // the caller wrote.
    constructor(text, whole, offset) {
      this.text = text;
      this.whole = whole;
      this.offset = offset;
      this.pos = 0;
    }

    fail(detail) {
      throw selectorError(this.whole, detail);
    }

    at(pos = this.pos) {
      const absolute = pos + this.offset;
      return absolute >= this.whole.trimEnd().length ? 'at the end' : `at position ${absolute}`;
    }

    peek(offset = 0) {
      return this.text[this.pos + offset];
    }

    atEnd() {
      return this.pos >= this.text.length;
    }

    skipSpace() {
      const start = this.pos;
      while (!this.atEnd() && /\s/.test(this.peek())) this.pos++;
      return this.pos > start;
    }

    // A selector list; `relative` allows a leading combinator (inside :has).
    parseList(relative) {
      const list = [];
      for (;;) {
        this.skipSpace();
        list.push(this.parseComplex(relative));
        this.skipSpace();
        if (this.atEnd()) return list;
        if (this.peek() !== ',') this.fail(`unexpected "${this.peek()}" ${this.at()}`);
        this.pos++;
      }
    }

    parseComplex(relative) {
      const compounds = [];
      let combinator = null;
      if (relative) {
        // Relative selectors are anchored at the element being tested.
        compounds.push({ css: '', ext: [{ kind: 'scope' }], combinator: null, implicit: true });
        combinator = ' ';
        if (kCombinators.has(this.peek())) {
          combinator = this.peek();
          this.pos++;
          this.skipSpace();
        }
      }
      for (;;) {
        if (this.atEnd() || this.peek() === ',') {
          const after = combinator && combinator !== ' ' ? ` after "${combinator}"` : '';
          this.fail(`expected a selector${after} ${this.at()}`);
        }
        const compound = this.parseCompound();
        compound.combinator = compounds.length ? combinator : null;
        compounds.push(compound);
        const hadSpace = this.skipSpace();
        if (this.atEnd() || this.peek() === ',') return compounds;
        if (kCombinators.has(this.peek())) {
          combinator = this.peek();
          this.pos++;
          this.skipSpace();
        } else if (hadSpace) {
          combinator = ' ';
        } else {
          this.fail(`unexpected "${this.peek()}" ${this.at()}`);
        }
      }
    }

    readIdent() {
      const start = this.pos;
      while (!this.atEnd()) {
        const c = this.peek();
        if (c === '\\') {
          if (this.pos + 1 >= this.text.length) this.fail('escape at the end');
          this.pos += 2;
        } else if (isIdentChar(c)) {
          this.pos++;
        } else {
          break;
        }
      }
      if (this.pos === start) this.fail(`expected a name ${this.at(start)}`);
      return this.text.slice(start, this.pos);
    }

    // Reads from an opening bracket to its partner, honouring quotes, escapes and nesting.
    // Returns the text between them.
    readBalanced() {
      const open = this.peek();
      const close = open === '(' ? ')' : ']';
      const start = this.pos;
      const stack = [close];
      this.pos++;
      while (stack.length) {
        if (this.atEnd()) this.fail(`unclosed "${open}" ${this.at(start)}`);
        const c = this.peek();
        if (c === '\\') {
          this.pos += 2;
        } else if (c === '"' || c === "'") {
          this.skipString();
        } else if (c === '(' || c === '[') {
          stack.push(c === '(' ? ')' : ']');
          this.pos++;
        } else if (c === ')' || c === ']') {
          if (c !== stack.pop()) this.fail(`unbalanced "${c}" ${this.at()}`);
          this.pos++;
        } else {
          this.pos++;
        }
      }
      return this.text.slice(start + 1, this.pos - 1);
    }

    skipString() {
      const quote = this.peek();
      const start = this.pos;
      this.pos++;
      for (;;) {
        if (this.atEnd()) this.fail(`unterminated string ${this.at(start)}`);
        const c = this.peek();
        if (c === '\\') this.pos += 2;
        else if (c === quote) break;
        else this.pos++;
      }
      this.pos++;
    }

    parseCompound() {
      let css = '';
      const ext = [];
      const start = this.pos;
      for (;;) {
        if (this.atEnd()) break;
        const c = this.peek();
        if (c === '*' && this.pos === start) {
          css += c;
          this.pos++;
        } else if ((isIdentChar(c) || c === '\\') && this.pos === start) {
          css += this.readIdent();
        } else if (c === '#' || c === '.') {
          this.pos++;
          css += c + this.readIdent();
        } else if (c === '[') {
          css += `[${this.readBalanced()}]`;
        } else if (c === ':' && this.peek(1) === ':') {
          this.pos += 2;
          css += '::' + this.readIdent();
          if (this.peek() === '(') css += `(${this.readBalanced()})`;
        } else if (c === ':') {
          this.pos++;
          const name = this.readIdent();
          const argumentStart = this.pos + 1;
          const argument = this.peek() === '(' ? this.readBalanced() : null;
          const extension = this.parsePseudo(name.toLowerCase(), argument, argumentStart);
          if (extension) ext.push(extension);
          else css += argument === null ? `:${name}` : `:${name}(${argument})`;
        } else {
          break;
        }
      }
      if (this.pos === start) this.fail(`expected a selector ${this.at(start)}`);
      if (css) {
        try {
          validationRoot.querySelector(css);
        } catch (e) {
          this.fail(`"${css}" is not valid CSS`);
        }
      }
      return { css, ext, combinator: null };
    }

    // Our extension for a pseudo-class, or null when the browser handles it natively.
    parsePseudo(name, argument, argumentStart) {
      if (name === 'visible') {
        if (argument !== null) this.fail(':visible takes no argument');
        return { kind: 'visible' };
      }
      if (name === 'scope') return { kind: 'scope' };
      if (name === 'has-text') {
        if (argument === null) this.fail(':has-text() needs the text to look for');
        return { kind: 'has-text', text: comparableNeedle(parseTextArgument(argument, this)) };
      }
      if (name === 'has' || kLogical.has(name)) {
        if (argument === null || !argument.trim()) this.fail(`:${name}() needs a selector`);
        const list = new CssParser(argument, this.whole, this.offset + argumentStart)
          .parseList(name === 'has');
        // The browser refuses :has() nested in :has(); such selectors take our path instead.
        if (!usesExtensions(list) && !(name === 'has' && /:has\(/i.test(argument))) return null;
        return { kind: name === 'has' ? 'has' : name === 'not' ? 'not' : 'is', list };
      }
      return null;
    }
  }

  function usesExtensions(list) {
    // A relative selector starts with our implicit :scope, which the browser handles itself.
    return list.some((complex) =>
      complex.some((compound) => !compound.implicit && compound.ext.length > 0),
    );
  }

  function parseTextArgument(argument, parser) {
    const text = argument.trim();
    const quote = text[0];
    if (quote !== '"' && quote !== "'") return text;
    if (text.length < 2 || text[text.length - 1] !== quote) {
      parser.fail('unterminated string in :has-text()');
    }
    let out = '';
    for (let i = 1; i < text.length - 1; i++) {
      const c = text[i];
      if (c === quote) parser.fail('unescaped quote in :has-text()');
      if (c !== '\\') {
        out += c;
        continue;
      }
      const hex = /^[0-9a-fA-F]{1,6} ?/.exec(text.slice(i + 1, text.length - 1));
      if (hex) {
        out += String.fromCodePoint(parseInt(hex[0], 16));
        i += hex[0].length;
      } else {
        out += text[++i];
      }
    }
    return out;
  }

  // ---------------------------------------------------------------------------------------
  // Matching

  // `cssKnown`: the browser already matched the compound's CSS part (the element came from
  // querySelectorAll with it).
  function matchesCompound(element, compound, context, cssKnown) {
    if (compound.css && !cssKnown && !element.matches(compound.css)) return false;
    for (const extension of compound.ext) {
      if (!matchesExtension(element, extension, context)) return false;
    }
    return true;
  }

  function matchesExtension(element, extension, context) {
    switch (extension.kind) {
      case 'visible':
        return visible(element, context.cache);
      case 'scope':
        return element === context.scope;
      case 'has-text':
        return matchText(element, extension.text, context.cache) !== 'none';
      case 'not':
        return !matchesList(element, extension.list, context);
      case 'is':
        return matchesList(element, extension.list, context);
      case 'has':
        return matchesHas(element, extension.list, context);
    }
    return false;
  }

  // Whether `element` matches compounds[0..index], compounds[index] being at `element`.
  function matchesFrom(element, compounds, index, context, cssKnown = false) {
    if (!matchesCompound(element, compounds[index], context, cssKnown)) return false;
    if (index === 0) return true;
    switch (compounds[index].combinator) {
      case '>': {
        const parent = composedParent(element);
        return !!parent && matchesFrom(parent, compounds, index - 1, context);
      }
      case '+': {
        const previous = element.previousElementSibling;
        return !!previous && matchesFrom(previous, compounds, index - 1, context);
      }
      case '~':
        for (let s = element.previousElementSibling; s; s = s.previousElementSibling) {
          if (matchesFrom(s, compounds, index - 1, context)) return true;
        }
        return false;
      default:
        for (let p = composedParent(element); p; p = composedParent(p)) {
          if (matchesFrom(p, compounds, index - 1, context)) return true;
        }
        return false;
    }
  }

  function matchesComplex(element, complex, context) {
    return matchesFrom(element, complex, complex.length - 1, context);
  }

  function matchesList(element, list, context) {
    return list.some((complex) => matchesComplex(element, complex, context));
  }

  // Candidates for the last compound of `complex` under `root`, checked against the whole
  // complex selector; calls found(element) for each match and stops when it returns true.
  function searchComplex(root, complex, context, found) {
    const last = complex.length - 1;
    const css = complex[last].css || '*';
    for (const scope of treeScopes(root, context.cache)) {
      for (const candidate of scope.querySelectorAll(css)) {
        if (matchesFrom(candidate, complex, last, context, true) && found(candidate)) return true;
      }
    }
    return false;
  }

  function matchesHas(element, list, context) {
    const inner = { scope: element, cache: context.cache };
    return list.some((complex) => {
      const first = complex[1].combinator;
      if (first === '+' || first === '~') {
        const test = (candidate) => matchesComplex(candidate, complex, inner);
        for (let s = element.nextElementSibling; s; s = s.nextElementSibling) {
          if (test(s) || (complex.length > 2 && walkDescendants(s, test))) return true;
          if (first === '+' && complex.length === 2) return false;
        }
        return false;
      }
      return searchComplex(element, complex, inner, () => true);
    });
  }

  // ---------------------------------------------------------------------------------------
  // Selector entry points

  const kEngine = /^\s*([a-zA-Z][\w-]*)\s*=/;

  // Splits at ">>" outside strings and brackets.
  function splitChain(selector) {
    const parts = [];
    let depth = 0;
    let quote = null;
    let start = 0;
    for (let i = 0; i < selector.length; i++) {
      const c = selector[i];
      if (c === '\\') {
        i++;
      } else if (quote) {
        if (c === quote) quote = null;
      } else if (c === '"' || c === "'") {
        quote = c;
      } else if (c === '(' || c === '[') {
        depth++;
      } else if (c === ')' || c === ']') {
        depth--;
      } else if (c === '>' && selector[i + 1] === '>' && depth === 0) {
        parts.push({ text: selector.slice(start, i), start });
        start = i + 2;
        i++;
      }
    }
    parts.push({ text: selector.slice(start), start });
    return parts;
  }

  function leadingSpace(text) {
    return text.length - text.trimStart().length;
  }

  function parseStep(step, whole) {
    const text = step.text.trim();
    let offset = step.start + leadingSpace(step.text);
    if (!text) throw selectorError(whole, 'empty selector');
    const engine = kEngine.exec(text);
    if (engine) {
      const name = engine[1].toLowerCase();
      const rest = text.slice(engine[0].length);
      const body = rest.trim();
      offset += engine[0].length + leadingSpace(rest);
      if (!body) throw selectorError(whole, `empty ${name} selector`);
      if (name === 'xpath') return parseXPath(body, whole);
      if (name === 'text') {
        const parser = { fail: (detail) => { throw selectorError(whole, detail); } };
        return { engine: 'text', text: parseTextArgument(body, parser) };
      }
      if (name !== 'css') throw selectorError(whole, `unknown selector engine "${engine[1]}"`);
      return { engine: 'css', list: new CssParser(body, whole, offset).parseList(false) };
    }
    if (text.startsWith('/') || text.startsWith('..')) return parseXPath(text, whole);
    return { engine: 'css', list: new CssParser(text, whole, offset).parseList(false) };
  }

  function parseXPath(expression, whole) {
    try {
      document.createExpression(expression);
    } catch (e) {
      throw selectorError(whole, `invalid XPath "${expression}"`);
    }
    return { engine: 'xpath', expression };
  }

  const parsedSelectors = new Map();

  function parseSelector(selector) {
    if (typeof selector !== 'string') throw new Error('A selector must be a string');
    let parsed = parsedSelectors.get(selector);
    if (parsed) return parsed;
    parsed = splitChain(selector).map((step) => parseStep(step, selector));
    if (parsedSelectors.size > 500) parsedSelectors.clear();
    parsedSelectors.set(selector, parsed);
    return parsed;
  }

  function scopeElementOf(root) {
    if (root.nodeType === Node.DOCUMENT_NODE) return root.documentElement;
    if (root.nodeType === Node.DOCUMENT_FRAGMENT_NODE) return root.host || null;
    return root;
  }

  function queryStep(step, root, cache) {
    if (step.engine === 'text') return getByText(step.text, root);
    if (step.engine === 'xpath') {
      let expression = step.expression;
      // Under an element, "//x" means "anything below it", as users of chained locators expect.
      if (root.nodeType !== Node.DOCUMENT_NODE && expression.startsWith('/')) {
        expression = '.' + expression;
      }
      const context = root.nodeType === Node.DOCUMENT_FRAGMENT_NODE ? root.host : root;
      const doc = context.ownerDocument || context;
      const found = [];
      const snapshot = XPathResult.ORDERED_NODE_SNAPSHOT_TYPE;
      const result = doc.evaluate(expression, context, null, snapshot, null);
      for (let i = 0; i < result.snapshotLength; i++) {
        const node = result.snapshotItem(i);
        if (node.nodeType === Node.ELEMENT_NODE) found.push(node);
      }
      return found;
    }
    const context = { scope: scopeElementOf(root), cache };
    const found = new Set();
    for (const complex of step.list) {
      searchComplex(root, complex, context, (element) => {
        found.add(element);
        return false;
      });
    }
    const scopes = treeScopes(root, cache);
    // One complex selector in one tree scope: querySelectorAll already gave tree order.
    if (step.list.length === 1 && scopes.length === 1) return Array.from(found);
    return ordered(found, scopes);
  }

  function checkRoot(root) {
    if (root === undefined || root === null) return document;
    const kinds = [Node.DOCUMENT_NODE, Node.ELEMENT_NODE, Node.DOCUMENT_FRAGMENT_NODE];
    if (!kinds.includes(root.nodeType)) {
      throw new Error('The search root must be a document, an element or a shadow root');
    }
    return root;
  }

  function querySelectorAll(selector, root) {
    root = checkRoot(root);
    const steps = parseSelector(selector);
    const cache = newCache();
    let current = [root];
    for (const step of steps) {
      const next = new Set();
      for (const scope of current) {
        for (const element of queryStep(step, scope, cache)) next.add(element);
      }
      current = current.length === 1 ? Array.from(next) : inTreeOrder(next);
    }
    return current;
  }

  function querySelector(selector, root) {
    return querySelectorAll(selector, root)[0] || null;
  }

  function getByText(text, root) {
    root = checkRoot(root);
    const needle = comparableNeedle(text);
    const cache = newCache();
    return descendants(root).filter((element) => matchText(element, needle, cache) === 'self');
  }

  function filterHasText(elements, text) {
    const needle = comparableNeedle(text);
    const cache = newCache();
    return Array.from(elements).filter(
      (element) => element && element.nodeType === Node.ELEMENT_NODE &&
        matchText(element, needle, cache) !== 'none',
    );
  }

  // One locator resolved in one call. Steps, applied in order to the elements found so far
  // (starting from `root`): {selector} searches under each of them; {text} is getByText under
  // each of them; {hasText} keeps those holding the text; {nth} keeps the one at that index
  // (negative counts from the end; none when out of range).
  function resolveLocator(steps, root) {
    let current = [checkRoot(root)];
    for (const step of steps) {
      if (typeof step.selector === 'string' || typeof step.text === 'string') {
        const next = new Set();
        for (const scope of current) {
          const found = typeof step.selector === 'string'
            ? querySelectorAll(step.selector, scope)
            : getByText(step.text, scope);
          for (const element of found) next.add(element);
        }
        current = current.length === 1 ? Array.from(next) : inTreeOrder(next);
      } else if (typeof step.hasText === 'string') {
        current = filterHasText(current, step.hasText);
      } else if (Number.isInteger(step.nth)) {
        const index = step.nth < 0 ? current.length + step.nth : step.nth;
        current = index >= 0 && index < current.length ? [current[index]] : [];
      } else {
        throw new Error(`Unknown locator step ${JSON.stringify(step)}`);
      }
    }
    return current.filter((node) => node.nodeType === Node.ELEMENT_NODE);
  }

  function strictAnswer(elements) {
    return {
      ok: false,
      reason: 'strict',
      count: elements.length,
      elements: elements.slice(0, 10).map(describeElement),
    };
  }

  // Whether the elements a locator found are in `state`: {ok: true} or why not yet.
  function stateReached(elements, state) {
    if (state === 'detached') {
      return elements.length === 0 ? { ok: true } : { ok: false, reason: 'element is attached' };
    }
    if (elements.length > 1) return strictAnswer(elements);
    const [element] = elements;
    if (state === 'hidden') {
      if (element && isVisible(element)) return { ok: false, reason: 'element is visible' };
      return { ok: true };
    }
    if (!element) return { ok: false, reason: 'missing' };
    if (state === 'visible' && !isVisible(element)) {
      return { ok: false, reason: 'element is not visible' };
    }
    return { ok: true };
  }

  // One element for an action that needs exactly one: {ok: true, element} or why not.
  function singleElement(steps) {
    const elements = resolveLocator(steps);
    if (elements.length === 1) return { ok: true, element: elements[0] };
    if (elements.length === 0) return { ok: false, reason: 'missing' };
    return strictAnswer(elements);
  }

  // Scrolled into view and at rest: the box, and the part of the page on screen, in CSS pixels of
  // the whole page.
  async function settledRect(el) {
    const states = checkElementStates(el, ['attached', 'visible']);
    if (!states.ok) return states;
    const scrolled = await scrollIntoViewIfNeeded(el);
    if (!scrolled.ok) return scrolled;
    const stable = await stableRect(el);
    if (!stable.ok) return stable;
    const { x, y, width, height } = stable.rect;
    const vv = window.visualViewport;
    const viewport = vv
      ? { x: vv.pageLeft, y: vv.pageTop, width: vv.width, height: vv.height }
      : { x: scrollX, y: scrollY, width: innerWidth, height: innerHeight };
    return { ok: true, rect: { x: x + scrollX, y: y + scrollY, width, height }, viewport };
  }

  const kActions = new Set(['count', 'isVisible', 'states', 'click', 'fill', 'focus', 'innerText',
    'settle', 'waitFor']);
  const kWaitStates = new Set(['attached', 'visible', 'hidden', 'detached']);

  // A call the driver cannot mean is a programming error: it rejects instead of answering.
  function checkCall(action, argument) {
    if (!kActions.has(action)) throw new Error(`Unknown locator action "${action}"`);
    if (action === 'waitFor' && !kWaitStates.has(argument)) {
      throw new Error(`Unknown state "${argument}"`);
    }
  }

  // One attempt; throws what the function it calls throws.
  async function attemptAction(steps, action, argument) {
    if (action === 'count') return { ok: true, count: resolveLocator(steps).length };
    if (action === 'waitFor') return stateReached(resolveLocator(steps), argument);
    const found = singleElement(steps);
    if (action === 'isVisible') {
      if (found.reason === 'strict') return found;
      return { ok: true, visible: found.ok && isVisible(found.element) };
    }
    if (!found.ok) return found;
    const el = found.element;
    switch (action) {
      case 'states':
        return checkElementStates(el, argument);
      case 'click':
        return prepareClick(el);
      case 'fill':
        return selectAndFocusForFill(el, argument);
      case 'focus':
        // Keys pressed next go to the element, as after a person's click into it.
        el.focus();
        return { ok: true };
      case 'innerText':
        return { ok: true, text: innerText(el) };
      case 'settle':
        return settledRect(el);
    }
    throw new Error(`Unknown locator action "${action}"`);
  }

  async function locatorAction(steps, action, argument) {
    checkCall(action, argument);
    try {
      return await attemptAction(steps, action, argument);
    } catch (error) {
      return errorAnswer(error);
    }
  }

  // Without frames (hidden tabs) a wait still looks again this often.
  const kFallbackMs = 100;

  // What a wait sleeps on between attempts: the next DOM mutation (at once, so that an inserted
  // element is seen within the task that inserted it), the next animation frame (geometry
  // changes without mutations: movement, scrolling, animations, closed shadow trees), or a
  // timer (pages without frames, and the deadline).
  class ChangeSignals {
    constructor(deadline) {
      this.deadline = deadline;
      this.mutated = false;
      this.resume = null;
      this.frame = 0;
      this.timer = 0;
      this.observer = new MutationObserver(() => {
        this.mutated = true;
        this.wake();
      });
      this.observer.observe(document, {
        subtree: true,
        childList: true,
        attributes: true,
        characterData: true,
      });
    }

    // Called as an attempt begins: mutations from then on make next() return at once.
    attempting() {
      this.mutated = false;
    }

    next() {
      if (this.mutated) return Promise.resolve();
      return new Promise((resume) => {
        this.resume = resume;
        this.frame = requestAnimationFrame(() => this.wake());
        const left = Math.max(0, this.deadline - performance.now());
        this.timer = setTimeout(() => this.wake(), Math.min(left, kFallbackMs));
      });
    }

    wake() {
      if (!this.resume) return;
      const resume = this.resume;
      this.resume = null;
      cancelAnimationFrame(this.frame);
      clearTimeout(this.timer);
      resume();
    }

    close() {
      this.observer.disconnect();
      this.wake();
    }
  }

  async function waitForAction(steps, action, argument, timeoutMs) {
    checkCall(action, argument);
    if (action === 'count' || action === 'isVisible') {
      throw new Error(`Locator action "${action}" answers at once and cannot be awaited`);
    }
    const unlimited = timeoutMs === null || timeoutMs === undefined;
    const deadline = unlimited ? Infinity : performance.now() + Number(timeoutMs);
    const signals = new ChangeSignals(deadline);
    try {
      for (;;) {
        signals.attempting();
        let answer;
        try {
          answer = await attemptAction(steps, action, argument);
        } catch (error) {
          return errorAnswer(error);
        }
        if (answer.ok || answer.reason === 'strict') return answer;
        if (performance.now() >= deadline) {
          return { ok: false, reason: 'timeout', last: answer.reason };
        }
        await signals.next();
      }
    } finally {
      signals.close();
    }
  }

  const api = {
    version: 1,
    querySelectorAll,
    querySelector,
    resolveLocator,
    locatorAction,
    waitForAction,
    getByText,
    filterHasText,
    isVisible,
    isEnabled,
    isEditable,
    checkElementStates,
    innerText,
    stableRect,
    scrollIntoViewIfNeeded,
    clickPoint,
    checkHitTarget,
    prepareClick,
    selectAndFocusForFill,
    describeElement,
    normalizeWhiteSpace,
  };
  Object.defineProperty(globalThis, '__vendro', {
    value: Object.freeze(api),
    configurable: false,
    enumerable: false,
    writable: false,
  });
})();
