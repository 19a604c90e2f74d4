// Injected into pages by the vendro browser driver. Resolves locator steps (CSS with
// :has-text(), :visible and :has(), comma lists, xpath=, text search, nth, has-text filters) and
// checks elements for actionability. Evaluates to an object; the driver keeps it as
// globalThis.__vendro.
(() => {
  const normalize = (text) => (text || '').replace(/\s+/g, ' ').trim();
  const textOf = (element) => normalize(element.textContent).toLowerCase();
  const unquote = (text) => {
    text = text.trim();
    if ((text.startsWith('"') && text.endsWith('"')) || (text.startsWith("'") && text.endsWith("'"))) {
      return text.slice(1, -1).replace(/\\(.)/g, '$1');
    }
    return text;
  };

  // Splits `text` at top-level occurrences of any character in `separators`, ignoring those
  // inside quotes, parentheses and brackets. Keeps the separators when `keep` is set.
  function splitTopLevel(text, separators, keep) {
    const parts = [];
    let depth = 0, quote = null, current = '';
    for (let i = 0; i < text.length; i++) {
      const c = text[i];
      if (quote) {
        current += c;
        if (c === '\\' && i + 1 < text.length) current += text[++i];
        else if (c === quote) quote = null;
        continue;
      }
      if (c === '"' || c === "'") { quote = c; current += c; continue; }
      if (c === '(' || c === '[') depth++;
      if (c === ')' || c === ']') depth--;
      if (depth === 0 && separators.includes(c)) {
        parts.push(current);
        if (keep) parts.push(c);
        current = '';
        continue;
      }
      current += c;
    }
    parts.push(current);
    return parts;
  }

  // One compound selector: plain CSS plus our pseudo-classes, pulled out.
  function parseCompound(text) {
    const compound = { css: '', hasText: [], visible: false, has: [] };
    let rest = '';
    let i = 0;
    while (i < text.length) {
      const match = /^:(has-text|has|visible)(?![\w-])/.exec(text.slice(i));
      if (match && !isInsideBrackets(text, i)) {
        i += match[0].length;
        if (match[1] === 'visible') { compound.visible = true; continue; }
        let depth = 0, quote = null, start = i + 1, j = i;
        for (; j < text.length; j++) {
          const c = text[j];
          if (quote) { if (c === '\\') j++; else if (c === quote) quote = null; continue; }
          if (c === '"' || c === "'") quote = c;
          else if (c === '(') depth++;
          else if (c === ')' && --depth === 0) break;
        }
        const argument = text.slice(start, j);
        if (match[1] === 'has-text') compound.hasText.push(unquote(argument).toLowerCase());
        else compound.has.push(parseSelector(argument));
        i = j + 1;
        continue;
      }
      rest += text[i++];
    }
    compound.css = rest.trim() || '*';
    return compound;
  }

  function isInsideBrackets(text, index) {
    let depth = 0;
    for (let i = 0; i < index; i++) {
      if (text[i] === '[') depth++;
      else if (text[i] === ']') depth--;
    }
    return depth > 0;
  }

  // A selector: alternatives (comma list), each a chain of compounds joined by combinators.
  function parseSelector(text) {
    text = text.trim();
    if (text.startsWith('xpath=')) return { xpath: text.slice(6) };
    if (text.startsWith('text=')) return { text: unquote(text.slice(5)) };
    return {
      alternatives: splitTopLevel(text, ',', false).map((alternative) => {
        const tokens = splitTopLevel(alternative.trim(), ' >+~', true);
        const chain = [];
        let combinator = ' ';
        for (const token of tokens) {
          if (token === '') continue;
          if (token === ' ' || token === '>' || token === '+' || token === '~') {
            if (token !== ' ' || combinator === ' ') combinator = token;
            continue;
          }
          chain.push({ combinator, compound: parseCompound(token) });
          combinator = ' ';
        }
        return chain;
      }),
    };
  }

  function isVisible(element) {
    const style = getComputedStyle(element);
    if (style.visibility !== 'visible') return false;
    if (style.display === 'contents') {
      for (const child of element.children) if (isVisible(child)) return true;
      return false;
    }
    const rect = element.getBoundingClientRect();
    return rect.width > 0 && rect.height > 0;
  }

  function matchesCompound(element, compound) {
    if (!element.matches(compound.css)) return false;
    if (compound.visible && !isVisible(element)) return false;
    for (const needle of compound.hasText) if (!textOf(element).includes(needle)) return false;
    for (const inner of compound.has) if (queryAll(inner, element).length === 0) return false;
    return true;
  }

  function candidates(root, combinator, compound) {
    const out = [];
    if (combinator === ' ') {
      for (const e of root.querySelectorAll(compound.css)) if (matchesCompound(e, compound)) out.push(e);
    } else if (combinator === '>') {
      for (const e of root.children || []) if (matchesCompound(e, compound)) out.push(e);
    } else if (combinator === '+') {
      const e = root.nextElementSibling;
      if (e && matchesCompound(e, compound)) out.push(e);
    } else if (combinator === '~') {
      for (let e = root.nextElementSibling; e; e = e.nextElementSibling) {
        if (matchesCompound(e, compound)) out.push(e);
      }
    }
    return out;
  }

  function inDocumentOrder(set) {
    return [...set].sort((a, b) =>
      a === b ? 0 : a.compareDocumentPosition(b) & Node.DOCUMENT_POSITION_FOLLOWING ? -1 : 1);
  }

  function queryAll(selector, root) {
    if (selector.xpath !== undefined) {
      const result = document.evaluate(selector.xpath, root, null,
                                       XPathResult.ORDERED_NODE_SNAPSHOT_TYPE, null);
      const out = [];
      for (let i = 0; i < result.snapshotLength; i++) {
        const node = result.snapshotItem(i);
        if (node.nodeType === Node.ELEMENT_NODE) out.push(node);
      }
      return out;
    }
    if (selector.text !== undefined) return smallestWithText(root, selector.text);
    const found = new Set();
    for (const chain of selector.alternatives) {
      let current = [root];
      chain.forEach((step, index) => {
        const next = new Set();
        for (const base of current) {
          // The first step searches below the root, whatever its combinator.
          const combinator = index === 0 && step.combinator === ' ' ? ' ' : step.combinator;
          for (const e of candidates(base, combinator, step.compound)) next.add(e);
        }
        current = [...next];
      });
      for (const e of current) if (e !== root) found.add(e);
    }
    return inDocumentOrder(found);
  }

  const SKIPPED = new Set(['SCRIPT', 'STYLE', 'NOSCRIPT', 'TEMPLATE', 'HEAD', 'TITLE']);

  // Elements whose text contains `text` and none of whose child elements does: the smallest.
  function smallestWithText(root, text) {
    const needle = normalize(text).toLowerCase();
    const out = [];
    const walk = (element) => {
      if (SKIPPED.has(element.tagName)) return false;
      if (!textOf(element).includes(needle)) return false;
      let childMatched = false;
      for (const child of element.children) if (walk(child)) childMatched = true;
      if (!childMatched) out.push(element);
      return true;
    };
    for (const child of (root.nodeType === Node.DOCUMENT_NODE ? [root.documentElement] : root.children)) {
      if (child) walk(child);
    }
    return inDocumentOrder(new Set(out));
  }

  function resolve(steps) {
    let elements = [document];
    for (const step of steps) {
      if (step.css !== undefined || step.text !== undefined) {
        const selector = step.text !== undefined ? { text: step.text } : parseSelector(step.css);
        const next = new Set();
        for (const root of elements) for (const e of queryAll(selector, root)) next.add(e);
        elements = inDocumentOrder(next);
      } else if (step.nth !== undefined) {
        const index = step.nth < 0 ? elements.length + step.nth : step.nth;
        elements = index >= 0 && index < elements.length ? [elements[index]] : [];
      } else if (step.hasText !== undefined) {
        const needle = normalize(step.hasText).toLowerCase();
        elements = elements.filter((e) => textOf(e).includes(needle));
      }
    }
    return elements.filter((e) => e !== document);
  }

  function isDisabled(element) {
    for (let e = element; e; e = e.parentElement) {
      if (e.getAttribute && e.getAttribute('aria-disabled') === 'true') return true;
      if (['BUTTON', 'INPUT', 'SELECT', 'TEXTAREA', 'OPTION', 'OPTGROUP', 'FIELDSET'].includes(e.tagName) &&
          e.disabled) {
        return true;
      }
    }
    return false;
  }

  function isEditable(element) {
    if (element.isContentEditable) return true;
    if (!['INPUT', 'TEXTAREA', 'SELECT'].includes(element.tagName)) return false;
    return !element.readOnly;
  }

  const frame = () => new Promise((done) => requestAnimationFrame(() => done()));
  const sameRect = (a, b) => a.x === b.x && a.y === b.y && a.width === b.width && a.height === b.height;

  // One element, strictly: { element } or { problem } describing why not.
  function single(steps) {
    const elements = resolve(steps);
    if (elements.length === 0) return { problem: 'missing' };
    if (elements.length > 1) return { problem: 'strict', count: elements.length };
    return { element: elements[0] };
  }

  // Checks the element against `checks` once; the driver retries until its timeout.
  async function check(steps, checks) {
    const found = single(steps);
    if (!found.element) return found;
    const element = found.element;
    if (checks.includes('visible') && !isVisible(element)) return { problem: 'hidden' };
    if (checks.includes('enabled') && isDisabled(element)) return { problem: 'disabled' };
    if (checks.includes('editable') && !isEditable(element)) return { problem: 'readonly' };
    if (checks.includes('scroll')) element.scrollIntoView({ block: 'center', inline: 'center', behavior: 'instant' });
    if (checks.includes('stable')) {
      const before = element.getBoundingClientRect();
      await frame();
      await frame();
      if (!sameRect(before, element.getBoundingClientRect())) return { problem: 'moving' };
    }
    const rect = element.getBoundingClientRect();
    const x = rect.x + rect.width / 2, y = rect.y + rect.height / 2;
    if (checks.includes('hit')) {
      const hit = document.elementFromPoint(x, y);
      if (!hit || (hit !== element && !element.contains(hit))) {
        return { problem: 'covered', by: hit ? describe(hit) : 'nothing' };
      }
    }
    return { ok: true, x, y, rect: { x: rect.x + scrollX, y: rect.y + scrollY, width: rect.width, height: rect.height } };
  }

  function describe(element) {
    let text = '<' + element.tagName.toLowerCase();
    if (element.id) text += ' id="' + element.id + '"';
    if (element.className && typeof element.className === 'string') text += ' class="' + element.className + '"';
    return text + '>';
  }

  function prepareFill(steps, value) {
    const { element } = single(steps);
    element.focus();
    const kind = (element.type || '').toLowerCase();
    if (element.tagName === 'INPUT' && ['color', 'date', 'time', 'datetime-local', 'month', 'range', 'week'].includes(kind)) {
      element.value = value;
      element.dispatchEvent(new Event('input', { bubbles: true }));
      element.dispatchEvent(new Event('change', { bubbles: true }));
      return 'done';
    }
    if (element.tagName === 'INPUT' || element.tagName === 'TEXTAREA') {
      element.select();
    } else {
      const range = document.createRange();
      range.selectNodeContents(element);
      const selection = getSelection();
      selection.removeAllRanges();
      selection.addRange(range);
    }
    if (value === '') {
      document.execCommand('delete');
      return 'done';
    }
    return 'type';
  }

  return {
    count: (steps) => resolve(steps).length,
    check,
    isVisible: (steps) => {
      const found = single(steps);
      if (found.problem === 'strict') return found;
      return { visible: !!found.element && isVisible(found.element) };
    },
    isHidden: (steps) => {
      const found = single(steps);
      if (found.problem === 'strict') return found;
      return { hidden: !found.element || !isVisible(found.element) };
    },
    innerText: (steps) => single(steps).element.innerText,
    prepareFill,
    parseSelector,
  };
})()
