// The virtual cabinet in the browser.  yarvo-sim streams the boards as
// server-sent events ("layout" when reel types or names change, "state" up
// to 30 times a second, "transfers" as they happen); buttons post control
// commands to /action.  Reels are drawn from their true positions, moved on
// between updates by their speed, so that they turn smoothly.
//
// Attributes for tests and scripts (the README's contract): each reel
// element carries data-board, data-reel, data-position, data-true-position,
// data-symbol, data-state and data-faults; inputs data-input (and data-on); outputs
// data-output and data-on.  Names, labels and texts from the server only
// ever go into text nodes and attributes, never into markup.
'use strict';

(function () {
  const token = document.querySelector('meta[name="yarvo-token"]').content;
  const STATES = ['ramping-up', 'at-speed', 'ramping-down', 'stopped', 'skill'];
  const STATE_TEXT = ['ramping up', 'at speed', 'ramping down', 'stopped', 'skill spin'];
  const ROW = 46;              // pixels per window row
  const REELS = 8, INPUTS = 24, OUTPUTS = 64;
  const FLAG_SYNC = 1, FLAG_TAMPERED = 2, FLAG_ARMED = 4;
  // Reel faults and what the board noticed of them: bit, data-faults word, text.
  const FAULT_FLAGS = [[16, 'jammed', 'JAMMED'], [1024, 'jam-pending', 'jams soon'], [32, 'loses-steps', 'loses steps'],
                       [64, 'index-dead', 'index dead'], [128, 'index-stuck', 'index stuck'],
                       [256, 'position-error', 'POSITION ERROR'], [512, 'index-missing', 'INDEX MISSING']];
  const TRANSFERS_KEPT = 200;
  const EXTRAPOLATE_MS = 250;  // a reel is moved on for at most this long without news
  const SETTLE_MS = 120;       // a correction after an update fades over this long

  let layout = null;
  const boards = new Map();    // instance -> board view
  let shown = null;            // instance of the board shown

  // ------------------------------------------------------------ helpers

  function el(tag, attributes, ...children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(attributes || {})) {
      if (key === 'class') node.className = value;
      else if (key === 'text') node.textContent = value;
      else node.setAttribute(key, value);
    }
    for (const child of children) if (child) node.append(child);
    return node;
  }

  function setAttr(node, name, value) {
    const text = String(value);
    if (node.getAttribute(name) !== text) node.setAttribute(name, text);
  }

  function setText(node, value) {
    const text = String(value);
    if (node.textContent !== text) node.textContent = text;
  }

  function setFlag(node, name, on) {
    if (on && !node.hasAttribute(name)) node.setAttribute(name, '');
    else if (!on && node.hasAttribute(name)) node.removeAttribute(name);
  }

  function label(template, board) { return template.replace('{board}', String(board)); }

  function inputName(n) { return (layout && layout.inputs[n]) || 'Input ' + n; }
  function outputName(n) { return (layout && layout.outputs[n]) || 'Output ' + n; }

  function bit(words, n) { return ((n < 32 ? words[0] >>> n : words[1] >>> (n - 32)) & 1) === 1; }

  // Wraps a difference of positions into (-turn/2, turn/2].
  function wrapDelta(delta, turn) {
    let d = ((delta % turn) + turn) % turn;
    if (d > turn / 2) d -= turn;
    return d;
  }

  // ------------------------------------------------------------ actions

  // Actions go one after another, so that a release never overtakes its press.
  let queue = Promise.resolve();
  function act(board, command) {
    queue = queue.then(async () => {
      const view = boards.get(board);
      try {
        const response = await fetch('/action?token=' + encodeURIComponent(token), {
          method: 'POST',
          headers: {'Content-Type': 'application/json'},
          body: JSON.stringify({board: board, command: command}),
        });
        const reply = (await response.text()).trim();
        if (view) setText(view.message, response.ok ? '' : command + ': ' + reply);
      } catch (error) {
        if (view) setText(view.message, command + ': yarvo-sim does not answer');
      }
    });
    return queue;
  }

  // ------------------------------------------------------------ building

  function buildReel(board, r) {
    const card = el('section', {class: 'reel idle', 'data-board': board, 'data-reel': r,
                                'data-position': 0, 'data-true-position': 0, 'data-symbol': '',
                                'data-state': 'stopped', 'data-faults': '', 'aria-label': 'Reel ' + r + ' of board ' + board});
    const title = el('h3', {}, el('span', {class: 'number', text: 'Reel ' + r}), el('span', {class: 'type'}));
    const lamps = [0, 1, 2].map((i) => el('div', {class: 'lamp row' + i}));
    const strip = el('div', {class: 'strip'});
    const window_ = el('div', {class: 'window'}, ...lamps, strip, el('div', {class: 'payline'}));
    const info = el('dl', {class: 'info'});
    const field = (name) => {
      const value = el('dd');
      info.append(el('dt', {text: name}), value);
      return value;
    };
    const view = {
      card, title: title.lastChild, lamps, strip, window: window_, type: null,
      position: field('position'), speed: field('speed'), state: field('state'), symbol: field('symbol'),
      flags: el('p', {class: 'flags'}),
      outputs: el('div', {class: 'outputs group', 'aria-label': 'Outputs of reel ' + r}),
      base: 0, turn: 96, speedHalfSteps: 0, toGo: 0, at: 0, correction: 0, correctionAt: 0, drawn: null,
    };
    card.append(title, window_, info, view.flags, view.outputs);
    return view;
  }

  function buildOutput(n) {
    return el('span', {class: 'output', 'data-output': n, role: 'img', 'aria-label': outputName(n),
                       title: outputName(n)}, el('span', {class: 'dot'}), el('span', {class: 'name', text: outputName(n)}));
  }

  function buildInput(board, n) {
    const address = n >= 16 && n <= 18;
    const button = el('button', {type: 'button', class: 'input' + (address ? ' address' : ''), 'data-input': n,
                                 'aria-label': inputName(n), 'aria-pressed': 'false'},
                      el('span', {class: 'name', text: inputName(n)}),
                      el('span', {class: 'detail', text: address ? 'address bit ' + (n - 16) : 'input ' + n}));
    const latch = el('input', {type: 'checkbox', class: 'latch', 'aria-label': 'Latch input ' + n, title: 'latching'});
    if (address) { latch.checked = true; latch.disabled = true; }
    // Press and hold: on while held.  Latching: each press toggles.
    let held = false;
    const release = () => {
      if (held) { held = false; act(board, 'input ' + n + ' off'); }
    };
    button.addEventListener('pointerdown', (event) => {
      if (event.button !== 0) return;
      if (latch.checked) { act(board, 'input ' + n + ' toggle'); return; }
      held = true;
      button.setPointerCapture(event.pointerId);
      act(board, 'input ' + n + ' on');
    });
    button.addEventListener('pointerup', release);
    button.addEventListener('pointercancel', release);
    button.addEventListener('keydown', (event) => {
      if ((event.key === ' ' || event.key === 'Enter') && !event.repeat) {
        event.preventDefault();
        if (latch.checked) act(board, 'input ' + n + ' toggle');
        else { held = true; act(board, 'input ' + n + ' on'); }
      }
    });
    button.addEventListener('keyup', (event) => { if (event.key === ' ' || event.key === 'Enter') release(); });
    button.addEventListener('blur', release);
    return {button, wrap: el('div', {class: 'input-wrap'}, button, latch)};
  }

  function buildFaults(board) {
    const panel = el('div', {class: 'faults'});
    for (const row of layout.faults) {
      const fields = row.fields.map((f) => {
        let control;
        if (f.kind === 'reel') {
          control = el('select', {});
          for (let r = 0; r < REELS; ++r) control.append(el('option', {value: r, text: 'reel ' + r}));
        } else if (f.kind === 'errno' || f.kind === 'choice') {
          control = el('select', {});
          for (const name of (f.kind === 'errno' ? layout.errnos : f.choices.split('|'))) {
            control.append(el('option', {value: name, text: name}));
          }
        } else {
          control = el('input', {type: 'number', min: f.min, max: f.max, value: f.initial, step: 1});
        }
        control.setAttribute('aria-label', label(f.name, board));
        return control;
      });
      const labelled = fields.map((control, k) => el('label', {}, row.fields[k].text, control));
      const button = el('button', {type: 'button', class: 'fault', 'aria-label': label(row.label, board),
                                   'data-command': row.command, text: row.text});
      button.addEventListener('click', () => {
        act(board, [row.command, board, ...fields.map((f) => String(f.value).trim())].join(' '));
      });
      panel.append(el('div', {class: 'fault-row'}, button, ...labelled));
    }
    return panel;
  }

  function buildBoard(b) {
    const i = b.i;
    const root = el('article', {class: 'board', 'data-board': i, id: 'board-' + i, role: 'tabpanel',
                                'aria-label': 'Board ' + i});
    const texts = el('dl', {class: 'texts'});
    const text = (name, value) => {
      const dd = el('dd', {text: value || ''});
      texts.append(el('dt', {text: name}), dd);
      return dd;
    };
    text('instance', 'Kmora_' + i);
    text('product', b.product);
    const address = text('address');
    text('USB speed', b.speed === '480' ? '480 (high)' : b.speed === '12' ? '12 (full)' : b.speed);
    const power = text('power');
    text('firmware', b.firmware);
    const plugged = text('plugged');
    const transfers = text('transfers');
    const faults = text('faults waiting');

    const reels = [];
    const reelRow = el('div', {class: 'reels'});
    for (let r = 0; r < REELS; ++r) {
      const reel = buildReel(i, r);
      reels.push(reel);
      reelRow.append(reel.card);
    }
    const outputs = [];
    for (let n = 0; n < OUTPUTS; ++n) {
      const o = buildOutput(n);
      outputs.push(o);
      if (n < 32) reels[n >> 2].outputs.append(o);
    }
    const otherOutputs = el('div', {class: 'outputs'}, ...outputs.slice(32));
    const inputs = [];
    const inputGrid = el('div', {class: 'inputs'});
    for (let n = 0; n < INPUTS; ++n) {
      const input = buildInput(i, n);
      inputs.push(input.button);
      inputGrid.append(input.wrap);
    }
    const filter = el('input', {type: 'search', placeholder: 'filter', 'aria-label': 'Filter transfers of board ' + i});
    const list = el('ol', {class: 'transfers', 'aria-label': 'Transfers of board ' + i, reversed: ''});
    filter.addEventListener('input', () => applyFilter(view));
    const message = el('p', {class: 'message', role: 'alert'});

    root.append(
      el('section', {class: 'panel head'}, el('h2', {text: 'Board ' + i}), texts, message),
      reelRow,
      el('div', {class: 'lower'},
         el('section', {class: 'panel inputs-panel'}, el('h2', {text: 'Inputs'}), inputGrid),
         el('section', {class: 'panel'}, el('h2', {text: 'Outputs 32-63'}), otherOutputs),
         el('section', {class: 'panel'}, el('h2', {text: 'Faults'}), buildFaults(i)),
         el('section', {class: 'panel wide'}, el('h2', {text: 'Last 200 transfers'}), filter, list)));
    const view = {root, reels, inputs, outputs, address, power, plugged, transfers, faults, list, filter, message,
                  tab: null};
    return view;
  }

  function applyFilter(view) {
    const words = view.filter.value.trim().toLowerCase();
    for (const item of view.list.children) {
      item.hidden = words !== '' && !item.textContent.toLowerCase().includes(words);
    }
  }

  function show(instance) {
    shown = instance;
    for (const [i, view] of boards) {
      view.root.hidden = i !== instance;
      view.tab.setAttribute('aria-selected', i === instance ? 'true' : 'false');
    }
  }

  // The reel's symbols as a strip: each symbol a cell centred on its
  // position, three copies a turn apart so that the window never runs out.
  function drawStrip(reel, typeName) {
    reel.type = typeName;
    reel.strip.replaceChildren();
    const type = typeName ? layout.types[typeName] : null;
    reel.hasSymbols = !!(type && type.positions.length);
    reel.card.classList.toggle('typed', reel.hasSymbols);
    setText(reel.title, typeName || 'no reel type');
    if (!reel.hasSymbols) return;
    reel.turn = type.turn;
    reel.scale = ROW / (type.turn / type.positions.length);
    for (const copy of [-1, 0, 1]) {
      type.positions.forEach((p, i) => {
        const cell = el('div', {class: 'symbol'},
                        el('span', {class: 'label', text: type.labels[i] || String(i)}),
                        type.labels[i] ? el('span', {class: 'index', text: String(i)}) : null);
        cell.style.top = (-(p + copy * type.turn) * reel.scale - ROW / 2) + 'px';
        if (type.colours[i]) cell.style.color = type.colours[i];
        reel.strip.append(cell);
      });
    }
  }

  function applyLayout(next) {
    layout = next;
    const tabs = document.getElementById('tabs');
    const main = document.getElementById('boards');
    if (boards.size !== layout.boards.length || layout.boards.some((b) => !boards.has(b.i))) {
      boards.clear();
      tabs.replaceChildren();
      main.replaceChildren();
      for (const b of layout.boards) {
        const view = buildBoard(b);
        view.tab = el('button', {type: 'button', role: 'tab', 'aria-controls': 'board-' + b.i, text: 'Board ' + b.i});
        view.tab.addEventListener('click', () => show(b.i));
        boards.set(b.i, view);
        tabs.append(view.tab);
        main.append(view.root);
      }
      tabs.hidden = layout.boards.length < 2;
      show(boards.has(shown) ? shown : layout.boards[0].i);
    }
    for (const b of layout.boards) {
      const view = boards.get(b.i);
      b.reels.forEach((type, r) => { if (view.reels[r].type !== type) drawStrip(view.reels[r], type); });
    }
  }

  // ------------------------------------------------------------ updates

  function applyState(state) {
    const now = performance.now();
    for (const b of state.boards) {
      const view = boards.get(b.i);
      if (!view) continue;
      setText(view.address, b.address);
      const powerName = layout.power && layout.power[b.power];
      setText(view.power, powerName ? powerName + ' (' + b.power + ')' : '0x' + b.power.toString(16).padStart(2, '0'));
      view.power.classList.toggle('bad', powerName !== 'good');
      setText(view.plugged, b.plugged ? 'yes' : 'no: unplugged');
      view.root.classList.toggle('unplugged', !b.plugged);
      setText(view.transfers, b.transfers);
      setText(view.faults, b.faults);
      for (let n = 0; n < INPUTS; ++n) {
        const on = ((b.inputs >>> n) & 1) === 1;
        setFlag(view.inputs[n], 'data-on', on);
        setAttr(view.inputs[n], 'aria-pressed', on ? 'true' : 'false');
      }
      for (let n = 0; n < OUTPUTS; ++n) setFlag(view.outputs[n], 'data-on', bit(b.outputs, n));
      b.reels.forEach((values, r) => updateReel(view.reels[r], values, b.outputs, r, now));
    }
  }

  function updateReel(reel, values, outputs, r, now) {
    const [position, truePosition, turn, state, flags, speed, toGo, symbol, offset] = values;
    const card = reel.card;
    setAttr(card, 'data-position', position);
    setAttr(card, 'data-true-position', truePosition);
    setAttr(card, 'data-symbol', symbol >= 0 ? symbol : '');
    setAttr(card, 'data-state', STATES[state]);
    const inUse = !!reel.type || state !== 3 || (flags & 8) !== 0;
    card.classList.toggle('idle', !inUse);
    setText(reel.position, position === truePosition ? position + ' / ' + turn
                                                     : position + ' / ' + turn + ' (really at ' + truePosition + ')');
    setText(reel.speed, speed === 0 ? '0' : speed + ' half steps/s');
    setText(reel.state, STATE_TEXT[state]);
    setText(reel.symbol, symbol < 0 ? '-' : offset === 0 ? '#' + symbol : '#' + symbol + (offset > 0 ? '+' : '') + offset);
    const faults = FAULT_FLAGS.filter(([flag]) => (flags & flag) !== 0);
    const flagText = [(flags & FLAG_SYNC) ? 'synchronised' : (flags & FLAG_ARMED) ? 'sync armed' : 'not synchronised',
                      (flags & FLAG_TAMPERED) ? 'TAMPERED' : '',
                      ...faults.map(([, , text]) => text)].filter(Boolean).join(' · ');
    setText(reel.flags, flagText);
    card.classList.toggle('tampered', (flags & FLAG_TAMPERED) !== 0 || faults.length > 0);
    setAttr(card, 'data-faults', faults.map(([, word]) => word).join(' '));
    for (let lamp = 0; lamp < 3; ++lamp) reel.lamps[lamp].classList.toggle('lit', bit(outputs, 4 * r + lamp));

    // Where the drawing continues from: the new position, plus whatever
    // the drawing was off by, fading away.
    if (!reel.hasSymbols) reel.turn = turn;
    const drawn = reel.drawn === null ? truePosition : reel.drawn;
    let error = wrapDelta(drawn - truePosition, reel.turn);
    if (Math.abs(error) > reel.turn / 8) error = 0;
    reel.base = truePosition;
    reel.speedHalfSteps = speed;
    reel.toGo = toGo;
    reel.at = now;
    reel.correction = error;
    reel.correctionAt = now;
  }

  function drawnPosition(reel, now) {
    const seconds = Math.min(now - reel.at, EXTRAPOLATE_MS) / 1000;
    let travel = reel.speedHalfSteps * seconds;
    if (reel.toGo > 0) travel = Math.max(-reel.toGo, Math.min(reel.toGo, travel));
    const fade = Math.max(0, 1 - (now - reel.correctionAt) / SETTLE_MS);
    return reel.base + travel + reel.correction * fade;
  }

  function frame(now) {
    const view = boards.get(shown);
    if (view) {
      for (const reel of view.reels) {
        const p = drawnPosition(reel, now);
        const wrapped = ((p % reel.turn) + reel.turn) % reel.turn;
        if (reel.drawn !== null && Math.abs(wrapped - reel.drawn) < 0.01) continue;
        reel.drawn = wrapped;
        if (reel.hasSymbols) {
          reel.strip.style.transform = 'translateY(' + (1.5 * ROW + wrapped * reel.scale).toFixed(2) + 'px)';
        } else {
          reel.strip.style.backgroundPositionY = (wrapped * ROW / 8).toFixed(2) + 'px';
        }
      }
    }
    requestAnimationFrame(frame);
  }

  let lastTransfer = 0;   // a stream that reconnects sends the last ones again
  function addTransfers(lines) {
    for (const [seq, board, time, ok, text] of lines) {
      const view = boards.get(board);
      if (!view || seq <= lastTransfer) continue;
      lastTransfer = seq;
      const item = el('li', {class: ok ? 'ok' : 'bad'},
                      el('span', {class: 'time', text: '[' + (time / 1e6).toFixed(6).padStart(12) + '] '}),
                      document.createTextNode(text));
      const words = view.filter.value.trim().toLowerCase();
      item.hidden = words !== '' && !item.textContent.toLowerCase().includes(words);
      view.list.prepend(item);
      while (view.list.children.length > TRANSFERS_KEPT) view.list.lastChild.remove();
    }
  }

  // ------------------------------------------------------------ the stream

  const status = document.getElementById('connection');
  function connect() {
    const source = new EventSource('/events?token=' + encodeURIComponent(token));
    source.addEventListener('open', () => { status.textContent = 'live'; status.className = 'live'; });
    source.addEventListener('layout', (event) => applyLayout(JSON.parse(event.data)));
    source.addEventListener('state', (event) => { if (layout) applyState(JSON.parse(event.data)); });
    source.addEventListener('transfers', (event) => addTransfers(JSON.parse(event.data)));
    source.addEventListener('error', () => {
      status.textContent = 'reconnecting';
      status.className = 'lost';
      // A refused stream is not retried by the browser itself.
      if (source.readyState === EventSource.CLOSED) setTimeout(connect, 2000);
    });
  }
  connect();
  requestAnimationFrame(frame);
})();
