// The module's web page in Debian's headless Chromium, driven by
// playwright-core. Run by tests/page/page_test.cpp inside the sandbox (its
// private /data, /sys and network namespace), never on its own: the
// commands the page sends run for real against the real client, daemon
// and fake node.
//
// The page is served as the managers serve it, from a virtual https
// origin of theirs (WebViewAssetLoader; any such origin here), with the module's
// webroot/ behind it and /internal/insets.css made up by the manager;
// every other request is refused and counted, so the page must work
// offline. A stand-in of the managers' bridge, written from their published
// documentation, is injected before the page's own script: the global
// `ksu` whose exec(command, optionsJson, callbackName) runs the command
// in a root shell and then calls window[callbackName](errno, stdout,
// stderr). Variant B has what manager B documents (exec, spawn, toast,
// fullScreen, moduleInfo); variant C lacks moduleInfo, as manager C does;
// variant A has no bridge (manager A shows no page). The stand-in hands
// each command to this process (exposeFunction), which checks it against
// the one form the page may send and runs it with `sh -c`.
import { chromium } from 'playwright-core';
import { execFile, spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';

const env = process.env;
const MODULE = '/data/adb/modules/veltaris';
const CTL = `${MODULE}/bin/veltarisctl`;
const DAEMON = `${MODULE}/bin/veltarisd`;
const NODE = env.VELTARIS_NODE_PATH || '/sys/class/backlight/panel0-backlight/brightness';
const WEBROOT = env.VELTARIS_WEBROOT || `${MODULE}/webroot`;
const OUT = env.VELTARIS_PAGE_OUT || '/tmp/veltaris-page';
const CTL_DIR = env.VELTARIS_CTL_DIR || '/sandbox/page/ctl';
const PRIVATE = '/data/adb/tavorin_module_workspace';
const ORIGIN = 'https://module-page.test';
const ALLOWED = /^\/data\/adb\/modules\/veltaris\/bin\/veltarisctl page [a-z-]+( -?[0-9]+)?$/;
const INSET_TOP = 24;
const INSET_BOTTOM = 16;

let passed = 0;
const failures = [];
const log = (...a) => console.log('page:', ...a);
const check = (cond, what) => {
  if (cond) { passed++; log('ok  ', what); } else { failures.push(what); log('FAIL', what); }
  return cond;
};
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const waitFor = async (fn, ms = 10000, step = 50) => {
  const end = Date.now() + ms;
  for (;;) {
    try { const v = await fn(); if (v) return v; } catch (e) { /* not yet */ }
    if (Date.now() > end) return false;
    await sleep(step);
  }
};
const run = (file, args, opts = {}) => new Promise((resolve) => {
  execFile(file, args, { timeout: 20000, ...opts }, (err, stdout, stderr) => {
    resolve({ code: err ? (typeof err.code === 'number' ? err.code : 1) : 0, stdout, stderr });
  });
});
const nodeValue = () => Number(fs.readFileSync(NODE, 'utf8').trim());
const nodeWritable = () => (fs.statSync(NODE).mode & 0o222) !== 0;
// What the daemon itself answers to STATUS, through the client.
const daemonStatus = async () => {
  const r = await run(CTL, ['status']);
  try { return JSON.parse(r.stdout); } catch (e) { return null; }
};
// Asks page_test.cpp for what only the fake node's owner can do.
const control = async (word) => {
  fs.rmSync(`${CTL_DIR}/answer`, { force: true });
  fs.writeFileSync(`${CTL_DIR}/request.new`, word + '\n');
  fs.renameSync(`${CTL_DIR}/request.new`, `${CTL_DIR}/request`);
  const answer = await waitFor(() => fs.existsSync(`${CTL_DIR}/answer`) && !fs.existsSync(`${CTL_DIR}/request`)
    && fs.readFileSync(`${CTL_DIR}/answer`, 'utf8'), 5000, 10);
  if (answer !== 'ok\n') throw new Error(`control ${word}: ${answer}`);
};

// ---- the bridge's far side: every command the page sends ----
const commands = [];      // every command line the stand-in received
const refused = [];       // those that did not have the allowed form
let denyConnect = false;  // run commands with connect() failing (EACCES)
const statusTimes = [];   // how long each `page status` took, in ms
let pending = 0;          // commands under way
async function runForPage(command) {
  commands.push(command);
  pending++;
  try { return await runCommand(command); } finally { pending--; }
}
async function runCommand(command) {
  const started = Date.now();
  if (typeof command !== 'string' || !ALLOWED.test(command)) {
    refused.push(String(command));
    return { errno: 126, stdout: '', stderr: 'refused by the test: not the page entry' };
  }
  const argv = denyConnect ? [env.VELTARIS_DENY_CONNECT, ['sh', '-c', command]] : ['sh', ['-c', command]];
  // As the managers' root shell does, the command is done when it ends,
  // whatever it leaves running in the background: its output goes to
  // files, read once it has exited.
  const base = `${OUT}/command-${commands.length}`;
  const out = fs.openSync(`${base}.out`, 'w'), err = fs.openSync(`${base}.err`, 'w');
  const code = await new Promise((resolve) => {
    const child = spawn(argv[0], argv[1], { cwd: '/', stdio: ['ignore', out, err] });
    const timer = setTimeout(() => child.kill('SIGKILL'), 20000);
    child.on('error', () => { clearTimeout(timer); resolve(127); });
    child.on('exit', (c, signal) => { clearTimeout(timer); resolve(c === null ? 128 + 9 : c); });
  });
  fs.closeSync(out);
  fs.closeSync(err);
  if (command.endsWith(' page status')) statusTimes.push(Date.now() - started);
  const read = (f) => { const t = fs.readFileSync(f, 'utf8'); fs.rmSync(f); return t; };
  // The managers collect output by lines and join them without the last
  // line feed.
  return { errno: code, stdout: read(`${base}.out`).replace(/\n$/, ''), stderr: read(`${base}.err`).replace(/\n$/, '') };
}

// The stand-in of the managers' `ksu` object, from their documentation:
// exec(cmd, optionsJson, callbackName) with the global callback called as
// (errno, stdout, stderr) once the command ended; spawn(cmd, argsJson,
// optionsJson, callbackName) with callbackName's stdout/stderr emitting
// 'data' and the object itself 'exit'; toast(text); fullScreen(bool);
// moduleInfo() (variant B only) giving a JSON string.
function bridgeStandIn(variant) {
  if (variant === 'A') return;
  window.__bridge = { calls: 0, toasts: [], fullScreen: [], sync: 0 };
  const later = (fn) => setTimeout(fn, 0);
  const ksu = {
    exec(cmd, a, b) {
      window.__bridge.calls++;
      // Manager C also takes (cmd) and (cmd, callbackName); the first, a
      // synchronous call, is what no page may rely on.
      if (arguments.length === 1) { window.__bridge.sync++; throw new Error('synchronous exec used'); }
      const callback = arguments.length === 2 ? a : b;
      JSON.parse(arguments.length === 2 ? '{}' : a);
      window.__veltarisRun(cmd).then((r) => later(() => window[callback](r.errno, r.stdout, r.stderr)));
    },
    spawn(cmd, argsJson, optionsJson, callbackName) {
      window.__bridge.calls++;
      const args = JSON.parse(argsJson);
      window.__veltarisRun([cmd].concat(args).join(' ')).then((r) => later(() => {
        const child = window[callbackName];
        if (r.stdout) child.stdout.emit('data', r.stdout);
        if (r.stderr) child.stderr.emit('data', r.stderr);
        child.emit('exit', r.errno);
      }));
    },
    toast(text) { window.__bridge.toasts.push(String(text)); },
    fullScreen(on) { window.__bridge.fullScreen.push(!!on); },
  };
  if (variant === 'B') ksu.moduleInfo = () => JSON.stringify({ id: 'veltaris', moduleDir: '/data/adb/modules/veltaris' });
  window.ksu = ksu;
}

const external = [];
async function newPage(browser, variant, colorScheme = 'light') {
  const context = await browser.newContext({
    viewport: { width: 360, height: 800 }, deviceScaleFactor: 2, isMobile: true, hasTouch: true, colorScheme,
  });
  const errors = [];
  // Anything not from the module's webroot is refused: the page must work
  // with nothing fetched (the registrations run last first).
  await context.route('**/*', (route) => { external.push(route.request().url()); route.abort(); });
  await context.route(`${ORIGIN}/**`, (route) => {
    const url = new URL(route.request().url());
    if (url.pathname === '/internal/insets.css') {
      return route.fulfill({ contentType: 'text/css', body: `:root{--window-inset-top:${INSET_TOP}px;--window-inset-bottom:${INSET_BOTTOM}px;--window-inset-left:0px;--window-inset-right:0px}` });
    }
    const file = path.join(WEBROOT, path.normalize(url.pathname).replace(/^\/+/, '') || 'index.html');
    if (!file.startsWith(WEBROOT + '/') || !fs.existsSync(file)) { external.push(url.href); return route.fulfill({ status: 404, body: '' }); }
    const type = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css' }[path.extname(file)] || 'application/octet-stream';
    return route.fulfill({ contentType: type, body: fs.readFileSync(file) });
  });
  if (variant !== 'A') await context.exposeFunction('__veltarisRun', runForPage);
  await context.addInitScript(bridgeStandIn, variant);
  const page = await context.newPage();
  page.on('console', (m) => { if (m.type() === 'error') errors.push(`${variant}: console: ${m.text()}`); });
  page.on('pageerror', (e) => errors.push(`${variant}: page error: ${e.message}`));
  return { context, page, errors };
}

const text = (page, id) => page.textContent('#' + id);
const answer = async (page, prefix) => ({
  hidden: await page.$eval(`#${prefix}-answer`, (e) => e.hidden),
  bad: await page.$eval(`#${prefix}-answer`, (e) => e.classList.contains('bad')),
  reason: await text(page, `${prefix}-reason`),
  sentence: await text(page, `${prefix}-sentence`),
  todo: await text(page, `${prefix}-todo`),
});
// Clicks a control and waits for the answer it leads to.
const answered = async (page, prefix, click) => {
  await page.$eval(`#${prefix}-answer`, (e) => { e.hidden = true; });
  await click();
  await waitFor(async () => !(await page.$eval(`#${prefix}-answer`, (e) => e.hidden)), 20000);
  return answer(page, prefix);
};
const bridgeCalls = (page) => page.evaluate(() => window.__bridge.calls);
const points = async (page) => Number(await page.$eval('#plot', (e) => e.dataset.points));
const setVisibility = (page, state) => page.evaluate((s) => {
  Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => s });
  Object.defineProperty(document, 'hidden', { configurable: true, get: () => s !== 'visible' });
  document.dispatchEvent(new Event('visibilitychange'));
}, state);
const shot = async (page, name) => {
  const file = path.join(OUT, name);
  await page.screenshot({ path: file, fullPage: true });
  return file;
};
// Stops whatever main-panel daemon runs (a scenario's leftovers).
const stopDaemon = async () => {
  await run(CTL, ['stop']);
  await waitFor(async () => (await run(CTL, ['status'])).code === 3, 5000);
};

async function main() {
  fs.mkdirSync(OUT, { recursive: true });
  const bytes = ['index.html', 'page.js', 'page.css'].reduce((n, f) => n + fs.statSync(path.join(WEBROOT, f)).size, 0);
  const browser = await chromium.launch({
    executablePath: env.VELTARIS_CHROMIUM || '/usr/lib/chromium/chromium',
    // As root, in a sandbox whose /dev has no shm.
    args: ['--no-sandbox', '--disable-dev-shm-usage', '--disable-gpu'],
  });
  const allErrors = [];
  const shots = [];
  try {
    // ---- manager B: load, status, hold, plot, visibility, release ----
    const { context, page, errors } = await newPage(browser, 'B');
    const t0 = Date.now();
    await page.goto(`${ORIGIN}/index.html`);
    const loaded = await waitFor(() => page.$('html[data-loaded]'), 15000, 10);
    const loadMs = Date.now() - t0;
    check(loaded, `first status shown (${loadMs} ms after navigation)`);

    // No daemon yet: the page says so, as the client does.
    check((await daemonStatus()) === null, 'no daemon answers STATUS at the start');
    check(await text(page, 'm-running') === 'not running', 'main panel: not running');
    const none = await answer(page, 'm');
    check(!none.hidden && none.reason === 'no_daemon' && /No main-panel daemon runs/.test(none.sentence),
      `no daemon: reason and sentence shown (${none.reason}: ${none.sentence})`);
    check(await waitFor(async () => (await text(page, 'm-node')).startsWith(NODE + '  ' + nodeValue() + ' / 255')),
      'the node, its value and maximum as the fake node has them');

    // Hold at a value chosen with the slider.
    await page.fill('#hold-range', '150');
    check(await page.inputValue('#hold-number') === '150', 'the number box follows the slider');
    const held = await answered(page, 'hold', () => page.click('#btn-hold'));
    check(!held.bad, `Hold at 150 answered ok (${held.reason})`);
    check(await waitFor(() => nodeValue() === 150 && !nodeWritable(), 5000),
      'the fake node holds 150 with its write bits removed');
    check(await waitFor(async () => (await text(page, 'm-held')) === 'yes, by the owner'), 'held by the owner, as shown');
    // The page against the daemon's own STATUS.
    const same = await waitFor(async () => {
      const s = await daemonStatus();
      if (!s || !s.ok) return false;
      await sleep(1200);  // one refresh of the page after that reply
      const shown = {
        target: await text(page, 'm-target'), actual: await text(page, 'm-actual'), paused: await text(page, 'm-paused'),
        corrections: await text(page, 'm-corrections'), session: await text(page, 'm-session'), running: await text(page, 'm-running'),
      };
      const want = {
        target: String(s.target), actual: String(s.actual), paused: s.paused ? 'yes' : 'no',
        corrections: String(s.corrections), session: s.session || '–', running: 'running',
      };
      const ok = JSON.stringify(shown) === JSON.stringify(want);
      if (!ok) log('     shown', JSON.stringify(shown), 'daemon', JSON.stringify(want));
      return ok;
    }, 10000, 200);
    check(same, 'target, actual, paused, corrections and session shown as the daemon answers STATUS');
    shots.push(await shot(page, 'page-light-holding.png'));

    // Change the value through the number box.
    await page.fill('#hold-number', '180');
    check(await page.inputValue('#hold-range') === '180', 'the slider follows the number box');
    const changed = await answered(page, 'hold', () => page.click('#btn-change'));
    check(!changed.bad, `Change to 180 answered ok (${changed.reason})`);
    check(await waitFor(() => nodeValue() === 180 && !nodeWritable(), 5000), 'the fake node holds 180');

    // The plot gains a point per refresh while visible...
    const p1 = await points(page);
    await sleep(3200);
    const p2 = await points(page);
    check(p2 >= p1 + 2, `the plot gains points while visible (${p1} -> ${p2})`);
    // ...and nothing runs while hidden.
    await setVisibility(page, 'hidden');
    // A refresh already under way may end, and its point count.
    await waitFor(() => pending === 0, 5000, 10);
    await sleep(300);
    const c1 = await bridgeCalls(page), n1 = commands.length, q1 = await points(page);
    await sleep(3500);
    const c2 = await bridgeCalls(page), n2 = commands.length, q2 = await points(page);
    check(c2 === c1 && n2 === n1, `no bridge call while hidden (${c1} -> ${c2} calls, ${n1} -> ${n2} commands)`);
    check(q2 === q1, `no point added while hidden (${q1} -> ${q2})`);
    await setVisibility(page, 'visible');
    check(await waitFor(async () => (await bridgeCalls(page)) > c2, 500, 10), 'visible again: a refresh at once');
    check(await waitFor(async () => (await points(page)) >= q2 + 2, 4000), 'visible again: the plot goes on');
    const svg = await page.$eval('#line-value', (e) => e.getAttribute('d'));
    check(/^M[0-9.]+ [0-9.]+(L[0-9.]+ [0-9.]+)+$/.test(svg), 'the value line is drawn from numbers alone');
    await page.emulateMedia({ colorScheme: 'dark' });
    shots.push(await shot(page, 'page-dark-holding.png'));
    await page.emulateMedia({ colorScheme: 'light' });

    // Values that must never reach a command line.
    const before = commands.length;
    for (const bad of ['1;reboot', '$(id)', '1e3', '-5', '99999', '12.5', '150 && id', '0x96', '']) {
      for (const type of ['number', 'text']) {
        await page.$eval('#hold-number', (e, [v, t]) => { e.type = t; e.value = v; e.dispatchEvent(new Event('input')); }, [bad, type]);
        const a = await answered(page, 'hold', () => page.click('#btn-change'));
        check(a.reason === 'not_sent' && a.bad, `"${bad}" in a ${type} box: not sent (${a.reason})`);
      }
    }
    await page.$eval('#hold-number', (e) => { e.type = 'number'; });
    check(!commands.slice(before).some((c) => / hold /.test(c)), 'no hold command while the box held those');
    check(nodeValue() === 180, 'the node kept 180 meanwhile');

    // Text from files shown as text, never run: a log line and a node path.
    const evil = "x'; rm -rf / #$(reboot) <img src=x onerror=\"window.__pwned=1\">";
    fs.appendFileSync(`${PRIVATE}/service.log`, `2026-01-01 00:00:00 ${evil}\n`);
    fs.writeFileSync(`${PRIVATE}/outdoor-node`, `/sys/class/backlight/${evil}/brightness\n`);
    check(await waitFor(async () => (await text(page, 'log')).includes(evil), 5000), 'the log line is shown verbatim');
    check(await waitFor(() => page.$eval('#node-select', (s) => [...s.options].some((o) => o.textContent.includes("rm -rf /"))), 5000),
      'the odd node path is shown verbatim in the node choice');
    check(await page.evaluate(() => !document.querySelector('img') && !window.__pwned), 'no markup from that text became an element');

    // The outdoor node and keep-on-uninstall.
    const candidates = await page.$$eval('#node-select option', (os) => os.filter((o) => Number(o.value) > 0).map((o) => o.textContent));
    check(candidates.length >= 1, `candidates offered: ${candidates.join(', ')}`);
    const pick = String(candidates.length);
    const saved = await answered(page, 'node', () => page.selectOption('#node-select', pick));
    check(!saved.bad && fs.readFileSync(`${PRIVATE}/outdoor-node`, 'utf8').trim() === candidates[candidates.length - 1],
      `outdoor node ${pick} saved (${saved.reason})`);
    const auto = await answered(page, 'node', () => page.selectOption('#node-select', '0'));
    check(!auto.bad && !fs.existsSync(`${PRIVATE}/outdoor-node`), `automatic saved: no outdoor-node file (${auto.reason})`);
    const keepOn = await answered(page, 'keep', () => page.click('#keep'));
    check(!keepOn.bad && fs.existsSync(`${PRIVATE}/keep-on-uninstall`), `keep-on-uninstall set (${keepOn.reason})`);
    const keepOff = await answered(page, 'keep', () => page.click('#keep'));
    check(!keepOff.bad && !fs.existsSync(`${PRIVATE}/keep-on-uninstall`), `keep-on-uninstall cleared (${keepOff.reason})`);

    // Release gives the node's write bits back.
    await waitFor(async () => !(await page.$eval('#btn-release', (b) => b.disabled)), 5000);
    const released = await answered(page, 'hold', () => page.click('#btn-release'));
    check(!released.bad, `Release answered ok (${released.reason})`);
    check(await waitFor(() => nodeWritable(), 5000), 'the node has its write bits back');
    check(await waitFor(async () => (await text(page, 'm-held')) === 'no' && (await text(page, 'm-running')) === 'not running', 6000),
      'the page shows the panel not held and no daemon');
    shots.push(await shot(page, 'page-light-idle.png'));
    await page.emulateMedia({ colorScheme: 'dark' });
    shots.push(await shot(page, 'page-dark-idle.png'));
    await page.emulateMedia({ colorScheme: 'light' });

    // SELinux refusing the control socket, for real: connect() fails with
    // EACCES in every command the bridge runs.
    denyConnect = true;
    const denied = await waitFor(async () => {
      const a = await answer(page, 'm');
      return a.reason === 'socket_denied' && a;
    }, 6000);
    check(denied && /sepolicy rule is not in force/.test(denied.sentence) && /[Rr]eboot/.test(denied.todo),
      `socket denied: ${denied ? denied.sentence + ' ' + denied.todo : 'not shown'}`);
    const deniedHold = await answered(page, 'hold', () => page.click('#btn-hold'));
    check(deniedHold.reason === 'socket_denied' && deniedHold.bad, `Hold with the socket denied: ${deniedHold.reason}`);
    denyConnect = false;
    await stopDaemon();

    // A platform client holds the panel: its lease (written as uid 1000 by
    // the client's lease keeper) and its ARM, with another session.
    const keeper = spawn(CTL, ['lease', 'platform1', '120', '--hold'], { stdio: 'ignore' });
    await waitFor(() => fs.readFileSync('/data/system/veltaris-main-panel-lease', 'utf8').startsWith(`platform1 ${keeper.pid} `), 5000);
    const daemon = spawn(DAEMON, ['--daemon', '--node', NODE], { stdio: 'ignore' });
    check(await waitFor(async () => (await run(CTL, ['status'])).code === 0, 5000), 'the platform\'s daemon runs');
    const armed = await run(CTL, ['arm', 'platform1', String(keeper.pid)]);
    const set = await run(CTL, ['set', 'platform1', '120']);
    check(armed.code === 0 && set.code === 0, `platform hold armed and set (${armed.stdout.trim()} ${set.stdout.trim()})`);
    check(await waitFor(async () => (await text(page, 'm-held')) === 'yes, by a platform client', 5000), 'held by a platform client, as shown');
    await page.fill('#hold-number', '150');
    const platform = await answered(page, 'hold', () => page.click('#btn-hold'));
    check(platform.reason === 'platform_holds' && /does not override/.test(platform.sentence),
      `platform holds: ${platform.reason}: ${platform.sentence}`);
    check(nodeValue() === 120, 'the node kept the platform\'s 120');
    await run(CTL, ['stop', 'platform1']);
    keeper.kill('SIGTERM');
    await waitFor(() => daemon.exitCode !== null, 5000);
    await stopDaemon();

    // A node the daemon refuses: every open of it fails.
    await control('node-refuses-opens');
    await waitFor(async () => !(await page.$eval('#btn-hold', (b) => b.disabled)), 5000);
    await page.fill('#hold-number', '150');
    const refusedNode = await answered(page, 'hold', () => page.click('#btn-hold'));
    check(['node_refused', 'start_failed'].includes(refusedNode.reason) && /refused the node/.test(refusedNode.sentence)
      && /another node/.test(refusedNode.todo), `refused node: ${refusedNode.reason}: ${refusedNode.sentence} ${refusedNode.todo}`);
    await control('node-opens');
    await stopDaemon();

    // Screen off: the node reads 0, the daemon does not write.
    await control('screen-off');
    await page.fill('#hold-number', '150');
    const dark = await answered(page, 'hold', () => page.click('#btn-hold'));
    check(dark.reason === 'screen_not_writable' && /screen is off/.test(dark.sentence), `screen off: ${dark.reason}: ${dark.sentence}`);
    await control('screen-on');
    await waitFor(async () => !(await page.$eval('#btn-release', (b) => b.disabled)), 5000);
    if (!(await page.$eval('#btn-release', (b) => b.disabled))) await answered(page, 'hold', () => page.click('#btn-release'));
    await stopDaemon();
    check(await waitFor(() => nodeWritable(), 5000), 'the node is writable again after those scenarios');

    // Every reason word the page must explain, and an unknown one.
    const words = {
      no_daemon: /No main-panel daemon runs/, socket_denied: /sepolicy rule is not in force/, no_reply: /did not answer/,
      platform_holds: /does not override/, value_out_of_range: /outside what the node accepts/,
      node_refused: /refused the node/, start_failed: /refused the node/, no_node: /No usable backlight node/,
      not_holding: /not holding/, stale_or_invalid_request: /turned the request down/, screen_not_writable: /screen is off/,
      permission_restore_failed: /write bits back/, write_or_readback_failed: /did not keep the value/,
      not_root: /did not run as root/, not_saved: /could not be saved/,
      'some_new_word': /does not know/,
    };
    for (const [word, sentence] of Object.entries(words)) {
      await page.evaluate((w) => window.veltarisPage.showAnswer('hold', { ok: false, reason: w, detail: '' }), word);
      const a = await answer(page, 'hold');
      check(a.reason === word && a.bad && sentence.test(a.sentence) && a.todo.length > 10, `${word}: "${a.sentence}" / "${a.todo}"`);
    }

    // Phone fit at 360 x 800.
    const fit = await page.evaluate(() => {
      // A checkbox's target is its whole label.
      const small = [...document.querySelectorAll('button, select, input:not([type=checkbox]), label.check')]
        .map((e) => [e.id || e.className, e.getBoundingClientRect()])
        .filter(([, r]) => r.height < 44 || r.width < 44).map(([n, r]) => `${n} ${Math.round(r.width)}x${Math.round(r.height)}`);
      const body = getComputedStyle(document.body);
      return { small, scroll: document.documentElement.scrollWidth, font: parseFloat(body.fontSize), top: parseFloat(body.paddingTop), bottom: parseFloat(body.paddingBottom) };
    });
    check(fit.small.length === 0, `touch targets of at least 44 px (${fit.small.join(', ') || 'all'})`);
    check(fit.scroll <= 360, `no sideways scrolling at 360 px (${fit.scroll})`);
    check(fit.font >= 16, `body text ${fit.font} px`);
    check(fit.top >= INSET_TOP && fit.bottom >= INSET_BOTTOM, `the manager's insets kept clear (${fit.top} / ${fit.bottom} px)`);
    const toasts = await page.evaluate(() => window.__bridge.toasts);
    check(toasts.length >= 1, `toasts through the bridge: ${toasts.join(' | ')}`);
    check(await page.evaluate(() => window.__bridge.sync) === 0, 'no synchronous exec');
    allErrors.push(...errors);
    await context.close();

    // ---- manager C: no moduleInfo; the page runs all the same ----
    {
      const c = await newPage(browser, 'C', 'dark');
      await c.page.goto(`${ORIGIN}/index.html`);
      check(await waitFor(() => c.page.$('html[data-loaded]'), 15000), 'manager C: first status shown');
      check(/bridge: exec, spawn, toast, fullScreen$/.test(await text(c.page, 'bridge')), `manager C: ${await text(c.page, 'bridge')}`);
      await c.page.fill('#hold-number', '90');
      const a = await answered(c.page, 'hold', () => c.page.click('#btn-hold'));
      check(!a.bad && (await waitFor(() => nodeValue() === 90, 5000)), `manager C: Hold at 90 (${a.reason})`);
      await waitFor(async () => !(await c.page.$eval('#btn-release', (b) => b.disabled)), 5000);
      const r = await answered(c.page, 'hold', () => c.page.click('#btn-release'));
      check(!r.bad && (await waitFor(() => nodeWritable(), 5000)), `manager C: Release (${r.reason})`);
      allErrors.push(...c.errors);
      await c.context.close();
    }

    // ---- manager A, or any browser: no bridge, nothing run ----
    {
      const n = commands.length;
      const a = await newPage(browser, 'A');
      await a.page.goto(`${ORIGIN}/index.html`);
      const m = await waitFor(async () => { const x = await answer(a.page, 'm'); return !x.hidden && x; }, 5000);
      check(m && m.reason === 'no_bridge' && /root manager/.test(m.sentence), `no bridge: ${m && m.sentence}`);
      await sleep(1500);
      check(commands.length === n, 'no bridge: no command');
      allErrors.push(...a.errors);
      await a.context.close();
    }

    check(allErrors.length === 0, `no console error (${allErrors.join(' | ') || 'none'})`);
    check(refused.length === 0, `every command of the allowed form (${commands.length} commands; refused: ${refused.join(' | ') || 'none'})`);
    check(commands.every((c) => ALLOWED.test(c)), 'whitelist: ^/data/adb/modules/veltaris/bin/veltarisctl page [a-z-]+( -?[0-9]+)?$');
    check(external.length === 0, `nothing fetched from elsewhere (${external.join(' ') || 'none'})`);
    log(`load time: ${loadMs} ms from navigation to the first status shown`);
    log(`webroot: ${bytes} bytes (index.html, page.js, page.css)`);
    const sorted = statusTimes.slice().sort((a, b) => a - b);
    log(`page status: ${sorted.length} runs, median ${sorted[sorted.length >> 1]} ms, longest ${sorted[sorted.length - 1]} ms (through the stand-in)`);
    log(`screenshots: ${shots.join(' ')}`);
  } finally {
    await browser.close();
  }
  log(`${passed} passed, ${failures.length} failed`);
  if (failures.length) { log('failed:', failures.join(' / ')); return 1; }
  log('all scenarios passed');
  return 0;
}

main().then((code) => process.exit(code), (e) => { console.error('page: error:', e && e.stack || e); process.exit(1); });
