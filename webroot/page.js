// Veltaris module page. Runs in a root manager's WebView (managers B and C;
// manager A has no page, its action button does the same). Everything it
// shows comes from one command, `veltarisctl page status`, run through the
// manager's bridge once a second while the page is visible; every change
// goes through the same entry with a fixed word and, where needed, one
// integer the page has range-checked. No text read from a reply, a file or
// an input ever becomes part of a command line, and text is shown with
// textContent only.
'use strict';
(() => {
  // ---- the manager's bridge: the documented `ksu` object, Promise API ----
  // ksu.exec(command, optionsJson, callbackName) runs command in a root
  // shell and later calls window[callbackName](errno, stdout, stderr). Each
  // call is feature-detected: manager C's bridge has exec, spawn, toast and
  // fullScreen but no moduleInfo; neither documents a synchronous exec, so
  // the page uses none.
  const bridge = (() => {
    const api = () => (window.ksu !== null && typeof window.ksu === 'object' ? window.ksu : null);
    const has = (name) => { const k = api(); return k !== null && typeof k[name] === 'function'; };
    let serial = 0;
    const exec = (command) => new Promise((resolve, reject) => {
      if (!has('exec')) { reject(new Error('no_bridge')); return; }
      const name = 'veltarisExec' + Date.now() + '_' + serial++;
      // A manager that never answers must not stall the page for ever.
      const guard = setTimeout(() => { window[name] = () => { delete window[name]; }; reject(new Error('bridge_timeout')); }, 15000);
      window[name] = (errno, stdout, stderr) => {
        clearTimeout(guard);
        delete window[name];
        resolve({ errno: Number(errno), stdout: String(stdout ?? ''), stderr: String(stderr ?? '') });
      };
      try {
        api().exec(command, '{}', name);
      } catch (e) {
        clearTimeout(guard);
        delete window[name];
        reject(e);
      }
    });
    const toast = (text) => { if (has('toast')) { try { api().toast(String(text)); } catch (e) { /* only a courtesy */ } } };
    const moduleInfo = () => {
      if (!has('moduleInfo')) return null;
      try { const info = JSON.parse(api().moduleInfo()); return info !== null && typeof info === 'object' ? info : null; } catch (e) { return null; }
    };
    const features = () => ['exec', 'spawn', 'toast', 'fullScreen', 'moduleInfo'].filter(has);
    return Object.freeze({ available: () => has('exec'), exec, toast, moduleInfo, features });
  })();

  // ---- the one entry: fixed words, integers checked before they get here ----
  const ENTRY = '/data/adb/modules/veltaris/bin/veltarisctl page';
  const WORDS = ['status', 'hold', 'release', 'outdoor-node', 'keep-on-uninstall'];
  const commandLine = (word, number) => {
    if (!WORDS.includes(word)) throw new Error('unknown word');
    if (number === undefined) return ENTRY + ' ' + word;
    if (!Number.isInteger(number) || Math.abs(number) > 999999) throw new Error('not an integer');
    return ENTRY + ' ' + word + ' ' + String(number);
  };
  const run = async (word, number) => {
    let result;
    try {
      result = await bridge.exec(commandLine(word, number));
    } catch (e) {
      return { ok: false, reason: e && e.message === 'bridge_timeout' ? 'bridge_timeout' : 'no_bridge', detail: '' };
    }
    const line = result.stdout.split('\n').find((l) => l.trim() !== '') || '';
    try {
      const reply = JSON.parse(line);
      if (reply !== null && typeof reply === 'object' && !Array.isArray(reply)) return reply;
    } catch (e) { /* below */ }
    return { ok: false, reason: 'bad_reply', detail: 'exit ' + result.errno + (result.stderr ? ': ' + result.stderr.split('\n')[0] : '') };
  };

  // ---- what each word means, and what to do ----
  const SENTENCES = {
    no_daemon: ['No main-panel daemon runs.', 'Hold starts one; otherwise the platform\'s client starts one when it needs the panel.'],
    socket_denied: ['SELinux refused the control socket: the module\'s sepolicy rule is not in force.', 'Reboot after installing the module, or turn the module off and on in the manager and reboot.'],
    no_reply: ['The main-panel daemon did not answer within 3 seconds.', 'Try again; if it keeps happening, read the service log below.'],
    platform_holds: ['A platform client holds the panel; the owner\'s hold does not override it.', 'Wait until the platform\'s hold ends, then press Hold again.'],
    value_out_of_range: ['The value is outside what the node accepts.', 'Choose a whole number from 10 to the node\'s maximum.'],
    node_refused: ['The daemon refused the node.', 'Choose another node under Outdoor node, and check it with veltarisctl probe.'],
    start_failed: ['The daemon refused the node and did not start.', 'Choose another node under Outdoor node, and check it with veltarisctl probe.'],
    no_node: ['No usable backlight node was found.', 'Choose the node under Outdoor node (probe could not pick one).'],
    not_holding: ['The owner is not holding the panel, so there is nothing to change or release.', 'Press Hold to start a hold.'],
    not_root: ['The command did not run as root, so the owner\'s hold could not start.', 'Open this page from the root manager, which runs its commands as root.'],
    not_saved: ['The setting could not be saved in the module\'s private directory.', 'Look at the service log below; reinstalling the module makes the directory again.'],
    stale_or_invalid_request: ['The daemon turned the request down: the hold or its lease changed meanwhile.', 'Wait for the next refresh and try again.'],
    screen_not_writable: ['The screen is off: the node reads 0, so the daemon did not write.', 'Turn the screen on, then press Change.'],
    permission_restore_failed: ['The daemon could not give the node\'s write bits back.', 'Run veltarisd --recover as root or reboot; the service log has the error.'],
    write_or_readback_failed: ['The node did not keep the value written (the write or its read-back failed); the hold ended.', 'Check the node with veltarisctl probe, then hold again.'],
    health_state_failed: ['The daemon could not write its health record; the hold ended.', 'Check that /data/system is writable, then hold again.'],
    usage: ['The client did not understand the page\'s request.', 'Update the module so that the page and the client match.'],
    no_bridge: ['This page needs a root manager\'s page bridge, and there is none here.', 'Open the module\'s page from the root manager.'],
    bridge_timeout: ['The root manager did not run the command within 15 seconds.', 'Close the page and open it again.'],
    bad_reply: ['The client\'s answer could not be read.', 'Update the module; the service log may say more.'],
    not_sent: ['The value in the box is not a whole number from 10 to the node\'s maximum, so nothing was sent.', 'Enter a whole number in that range.'],
  };
  const explain = (reason, ok) => {
    if (ok === true) return ['Done.', ''];
    if (Object.prototype.hasOwnProperty.call(SENTENCES, reason)) return SENTENCES[reason];
    return ['The client answered with a word this page does not know.', 'Update the module; the service log may say more.'];
  };

  const $ = (id) => document.getElementById(id);
  const setText = (id, text) => { const el = $(id); const t = String(text); if (el.textContent !== t) el.textContent = t; };

  // Shows an answer in the element group PREFIX-answer: the reason word as
  // the daemon or client gave it, a sentence and what to do.
  const showAnswer = (prefix, reply) => {
    const ok = reply.ok === true;
    const reason = typeof reply.reason === 'string' ? reply.reason : '';
    const [sentence, todo] = explain(reason, ok);
    const box = $(prefix + '-answer');
    box.hidden = false;
    box.classList.toggle('bad', !ok);
    setText(prefix + '-reason', reason === '' ? '(no reason)' : reason);
    setText(prefix + '-sentence', sentence);
    setText(prefix + '-todo', todo);
    const detail = $(prefix + '-detail');
    if (detail) setText(prefix + '-detail', typeof reply.detail === 'string' ? reply.detail : '');
  };
  const hideAnswer = (prefix) => { $(prefix + '-answer').hidden = true; };

  // ---- reading the status safely ----
  const obj = (x) => (x !== null && typeof x === 'object' && !Array.isArray(x) ? x : {});
  const int = (x) => (Number.isInteger(x) ? x : null);
  const str = (x) => (typeof x === 'string' ? x : '');
  const yesNo = (x) => (x === true ? 'yes' : x === false ? 'no' : '–');

  let status = null;
  let busy = false;       // an action is under way
  let dirty = false;      // the owner moved the value since the last status
  let selectBusy = false;
  let keepBusy = false;
  let candidatesKey = '';

  const maximumOf = (s) => { const m = int(obj(obj(s).node).maximum); return m !== null && m >= 10 ? m : null; };

  const render = (s) => {
    const node = obj(s.node), main = obj(s.main), reply = s.main && main.reply ? obj(main.reply) : null;
    const owner = obj(s.owner), outdoor = obj(s.outdoor), record = outdoor.record ? obj(outdoor.record) : null;
    const probe = obj(s.probe), settings = obj(s.settings);
    const holder = str(s.holder);
    setText('m-running', main.running === true ? 'running' : 'not running');
    setText('m-held', holder === 'owner' ? 'yes, by the owner' : holder === 'platform' ? 'yes, by a platform client' : 'no');
    const target = reply ? int(reply.target) : null;
    setText('m-target', target !== null && target >= 0 ? target : 'none');
    const actual = reply ? int(reply.actual) : int(node.value);
    setText('m-actual', actual !== null && actual >= 0 ? actual : 'unreadable');
    setText('m-paused', reply ? yesNo(reply.paused) : '–');
    setText('m-corrections', reply && int(reply.corrections) !== null ? reply.corrections : '–');
    setText('m-session', reply && str(reply.session) !== '' ? reply.session : '–');
    const value = int(node.value), max = int(node.maximum);
    setText('m-node', str(node.path) === '' ? 'none' : str(node.path) + '  ' + (value !== null && value >= 0 ? value : '?') + ' / ' + (max !== null && max >= 0 ? max : '?') + (str(node.mode) ? '  mode ' + str(node.mode) : ''));
    if (str(main.error) !== '') showAnswer('m', { ok: false, reason: str(main.error) }); else hideAnswer('m');

    // The owner's hold.
    const maximum = maximumOf(s);
    const range = $('hold-range'), box = $('hold-number');
    if (maximum !== null) {
      const m = String(maximum);
      if (range.max !== m) { range.max = m; box.max = m; }
      if (!dirty) {
        const candidates = [owner.holding === true ? int(owner.value) : null, int(owner.last_value), value];
        const pick = candidates.find((v) => v !== null && v >= 10 && v <= maximum);
        const v = String(pick === undefined ? 10 : pick);
        if (range.value !== v) range.value = v;
        if (box.value !== v) box.value = v;
      }
    }
    range.disabled = box.disabled = maximum === null;
    setText('hold-range-text', maximum === null ? 'Node range: unknown (no readable node)' : 'Node range: 10 to ' + maximum);
    const holding = owner.holding === true;
    $('btn-hold').disabled = busy || maximum === null || holding;
    $('btn-change').disabled = busy || maximum === null || !holding;
    $('btn-release').disabled = busy || !holding;

    // Outdoor mode.
    setText('o-running', outdoor.running === true ? 'running' : 'not running');
    setText('o-base', record && int(record.base) !== null ? record.base : '–');
    setText('o-target', record && int(record.target) !== null ? record.target + (record.held === true ? ' (boosting)' : '') : '–');
    setText('o-reason', record ? str(record.reason) || '–' : 'no health record');
    const candidates = Array.isArray(settings.candidates) ? settings.candidates.filter((c) => typeof c === 'string') : [];
    const select = $('node-select');
    const key = JSON.stringify(candidates) + '\n' + str(settings.outdoor_node);
    if (!selectBusy && key !== candidatesKey) {
      candidatesKey = key;
      while (select.options.length > 1) select.remove(1);
      candidates.forEach((path, i) => { const o = document.createElement('option'); o.value = String(i + 1); o.textContent = path; select.add(o); });
      const chosen = str(settings.outdoor_node);
      let index = chosen === '' ? 0 : candidates.indexOf(chosen) + 1;
      if (index === 0 && chosen !== '') {
        const o = document.createElement('option');
        o.value = '-1';
        o.disabled = true;
        o.textContent = chosen + ' (not a candidate)';
        select.add(o);
        index = select.options.length - 1;
      }
      select.selectedIndex = index;
    }
    select.disabled = selectBusy;
    const keep = $('keep');
    if (!keepBusy) keep.checked = settings.keep_on_uninstall === true;
    keep.disabled = keepBusy;

    setText('p-chosen', str(probe.chosen) || 'none');
    setText('p-why', str(probe.why) || '–');
    setText('p-selinux', str(probe.selinux) || '–');
    setText('p-socket', str(probe.socket) || '–');
    const log = Array.isArray(s.log) ? s.log.filter((l) => typeof l === 'string') : [];
    setText('log', log.length ? log.join('\n') : '(empty)');

    // One point per status (a render of the same status adds none).
    plot.add(int(s.now_ms), value !== null && value >= 0 ? value : null, target !== null && target >= 0 ? target : null,
      record && record.held === true && int(record.target) !== null ? record.target : null, max !== null && max > 0 ? max : 255);
  };

  // ---- the timeline: an SVG path per series, one point per refresh ----
  const plot = (() => {
    const WINDOW = 300000, W = 320, H = 150, L = 28, R = 4, T = 6, B = 18;
    const points = [];
    let scale = 255;
    const svgNs = 'http://www.w3.org/2000/svg';
    const grid = () => {
      const g = $('plot-grid');
      while (g.firstChild) g.firstChild.remove();
      const line = (x1, y1, x2, y2) => { const l = document.createElementNS(svgNs, 'line'); l.setAttribute('class', 'grid'); l.setAttribute('x1', x1); l.setAttribute('y1', y1); l.setAttribute('x2', x2); l.setAttribute('y2', y2); g.append(l); };
      const text = (x, y, t, anchor) => { const e = document.createElementNS(svgNs, 'text'); e.setAttribute('class', 'tick'); e.setAttribute('x', x); e.setAttribute('y', y); e.setAttribute('text-anchor', anchor); e.textContent = t; g.append(e); };
      [0, 0.5, 1].forEach((f) => { const y = T + (1 - f) * (H - T - B); line(L, y, W - R, y); text(L - 3, y + 3, String(Math.round(f * scale)), 'end'); });
      [0, 1, 2, 3, 4, 5].forEach((m) => { const x = L + (m / 5) * (W - L - R); line(x, T, x, H - B); text(x, H - 5, m === 5 ? 'now' : '-' + (5 - m) + 'm', m === 5 ? 'end' : 'middle'); });
    };
    const draw = () => {
      const now = points.length ? points[points.length - 1].t : 0;
      const x = (t) => (L + (1 - (now - t) / WINDOW) * (W - L - R)).toFixed(1);
      const y = (v) => (T + (1 - Math.min(v, scale) / scale) * (H - T - B)).toFixed(1);
      ['value', 'target', 'boost'].forEach((k) => {
        let d = '', pen = false;
        points.forEach((p) => { if (p[k] === null) { pen = false; return; } d += (pen ? 'L' : 'M') + x(p.t) + ' ' + y(p[k]); pen = true; });
        $('line-' + k).setAttribute('d', d);
      });
      $('plot').dataset.points = String(points.length);
    };
    return {
      add(t, value, target, boost, maximum) {
        const last = points.length ? points[points.length - 1].t : null;
        if (t === null || t === last) return;
        if (maximum !== scale) { scale = maximum; grid(); }
        if (last !== null && t < last) points.length = 0;  // another boot's clock: start afresh
        points.push({ t, value, target, boost });
        while (points.length && points[0].t < t - WINDOW) points.shift();
        draw();
      },
      grid,
    };
  })();

  // ---- refresh: once a second while visible, no timer while hidden ----
  let timer = 0;
  let inflight = false;
  const visible = () => document.visibilityState === 'visible';
  const stopTimer = () => { if (timer) { clearTimeout(timer); timer = 0; } };
  // The next refresh a second after the start of the last one.
  const schedule = (since) => { stopTimer(); if (visible()) timer = setTimeout(tick, Math.max(200, 1000 - (Date.now() - since))); };
  const refresh = async () => {
    const s = await run('status');
    if (s.ok === true) {
      status = s;
      render(s);
      setText('bridge', 'Updated ' + new Date().toLocaleTimeString() + ' · bridge: ' + bridge.features().join(', '));
      document.documentElement.dataset.loaded = '1';
    } else {
      setText('bridge', 'The status could not be read.');
      showAnswer('m', s);
    }
  };
  async function tick() {
    stopTimer();
    if (!visible() || inflight) return;
    inflight = true;
    const started = Date.now();
    try { await refresh(); } finally { inflight = false; schedule(started); }
  }
  document.addEventListener('visibilitychange', () => { if (visible()) tick(); else stopTimer(); });

  // ---- the controls ----
  const range = $('hold-range'), box = $('hold-number');
  range.addEventListener('input', () => { dirty = true; box.value = range.value; });
  box.addEventListener('input', () => {
    dirty = true;
    const n = readValue();
    if (n !== null) range.value = String(n);
  });
  // The value to send: the number box's text, digits only, as an integer
  // from 10 to the node's maximum; null for anything else.
  const readValue = () => {
    const maximum = maximumOf(status);
    const text = box.value.trim();
    if (maximum === null || !/^[0-9]{1,6}$/.test(text)) return null;
    const n = Number(text);
    return Number.isInteger(n) && n >= 10 && n <= maximum ? n : null;
  };
  const act = async (word, number) => {
    busy = true;
    if (status) render(status);
    try {
      const reply = await run(word, number);
      showAnswer('hold', reply);
      if (reply.ok === true) { dirty = false; bridge.toast(word === 'release' ? 'Veltaris: released' : 'Veltaris: holding at ' + number); }
    } finally {
      busy = false;
      if (visible()) tick(); else if (status) render(status);
    }
  };
  const holdAt = () => {
    const n = readValue();
    if (n === null) { showAnswer('hold', { ok: false, reason: 'not_sent', detail: '' }); return; }
    act('hold', n);
  };
  $('btn-hold').addEventListener('click', holdAt);
  $('btn-change').addEventListener('click', holdAt);
  $('btn-release').addEventListener('click', () => act('release'));

  $('node-select').addEventListener('change', async (e) => {
    const k = Number(e.target.value);
    const count = Array.isArray(obj(obj(status).settings).candidates) ? status.settings.candidates.length : 0;
    if (!Number.isInteger(k) || k < 0 || k > count) return;
    selectBusy = true;
    try { showAnswer('node', await run('outdoor-node', k)); } finally { selectBusy = false; candidatesKey = ''; if (visible()) tick(); }
  });
  $('keep').addEventListener('change', async (e) => {
    keepBusy = true;
    try { showAnswer('keep', await run('keep-on-uninstall', e.target.checked ? 1 : 0)); } finally { keepBusy = false; if (visible()) tick(); }
  });

  // For the page's own tests: the sentences, and the answer display.
  window.veltarisPage = Object.freeze({ explain, showAnswer });

  // ---- start ----
  plot.grid();
  if (!bridge.available()) {
    setText('bridge', 'No root manager bridge.');
    showAnswer('m', { ok: false, reason: 'no_bridge' });
    return;
  }
  // The managers' WebView insets (B and C serve this file themselves).
  const insets = document.createElement('link');
  insets.rel = 'stylesheet';
  insets.href = '/internal/insets.css';
  document.head.append(insets);
  const info = bridge.moduleInfo();
  if (info && typeof info.id === 'string') document.title = 'Veltaris (' + info.id + ')';
  tick();
})();
