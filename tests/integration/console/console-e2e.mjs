// One operator session through the web console, against a real gateway:
// login, target set and ESME life cycle, logout, an expiring token, and the
// live status view while the SMSC simulator and the load generator run.
// Usage: node console-e2e.mjs <quorvex-binary> <smsc-sim> <loadgen> <artifact-dir> <node-module-cache>
import { execFileSync, spawn } from 'node:child_process';
import { createRequire } from 'node:module';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

const [binary, simulator, loadgen, artifacts, cache] = process.argv.slice(2);
const { chromium } = createRequire(path.join(cache, 'node_modules', '/'))('playwright-core');

const CLIENT_ID = 'ops';
// Generous per-step waits: the gateway may be a sanitizer build on a busy machine.
const STEP_MS = 15000;
const SECRET = 's3cret';

function check(condition, message) {
  if (!condition) throw new Error(`check failed: ${message}`);
}

// Random ports below the ephemeral range, so a closing client socket cannot hold them.
async function freePort(taken) {
  for (let attempt = 0; attempt < 200; attempt++) {
    const port = 10000 + Math.floor(Math.random() * 22000);
    if (taken.includes(port)) continue;
    const ok = await new Promise((resolve) => {
      const server = net.createServer().once('error', () => resolve(false));
      server.listen(port, '127.0.0.1', () => server.close(() => resolve(true)));
    });
    if (ok) return port;
  }
  throw new Error('no free port found');
}

async function startGateway(env = {}, tables = { targetsets: [], esme: [] }, base = {}) {
  const smpp = await freePort([]);
  const http = await freePort([smpp]);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvex-console-'));
  const conf = {
    base: { 'smpp.port': smpp, 'http.port': http, 'auth.client_id': CLIENT_ID, 'auth.client_secret': SECRET, ...base },
    ...tables,
  };
  fs.writeFileSync(path.join(dir, 'quorvex.conf'), JSON.stringify(conf, null, 2));
  const child = spawn(binary, [], { cwd: dir, env: { ...process.env, ...env }, stdio: ['ignore', 'pipe', 'pipe'] });
  const gw = { child, dir, http, scheme: base['http.tls'] ? 'https' : 'http', out: '', err: '', exited: false };
  child.stdout.on('data', (d) => { gw.out += d; });
  child.stderr.on('data', (d) => { gw.err += d; });
  const exit = new Promise((resolve) => child.once('exit', (code, signal) => {
    gw.exited = true;
    gw.status = code ?? signal;
    resolve();
  }));
  gw.stop = async () => {
    if (!gw.exited) child.kill('SIGTERM');
    const timer = setTimeout(() => child.kill('SIGKILL'), 10000);
    await exit;
    clearTimeout(timer);
    fs.rmSync(dir, { recursive: true, force: true });
    // A clean shutdown exits 0; anything else (a sanitizer report, a crash) fails the test.
    check(gw.status === 0, `gateway exited with ${gw.status}: ${tail(gw.err)}`);
  };
  const deadline = Date.now() + 20000;
  while (!gw.out.includes('Listening for SMPP on port')) {
    if (gw.exited || Date.now() > deadline) {
      await gw.stop();
      throw Object.assign(new Error('gateway did not start'), { gateway: gw });
    }
    await new Promise((r) => setTimeout(r, 50));
  }
  gw.smpp = smpp;
  return gw;
}

const tail = (text) => text.split('\n').slice(-30).join('\n');

async function openConsole(browser, gw, dialogs) {
  // A test certificate is trusted by no browser: the HTTPS scenario accepts it.
  const page = await browser.newPage({ viewport: { width: 1280, height: 860 }, ignoreHTTPSErrors: true });
  page.on('dialog', (d) => { dialogs.push(d.message()); d.accept(); });
  await page.goto(`${gw.scheme}://127.0.0.1:${gw.http}/console`);
  return page;
}

async function login(page, id, secret) {
  await page.fill('#login-client-id', id);
  await page.fill('#login-client-secret', secret);
  await page.click('#login-button');
}

// Waits until the dialog list holds `message`, then empties it.
async function expectDialog(dialogs, message) {
  const deadline = Date.now() + STEP_MS;
  while (!dialogs.includes(message) && Date.now() < deadline) await new Promise((r) => setTimeout(r, 50));
  check(dialogs.includes(message), `alert "${message}" expected, saw ${JSON.stringify(dialogs)}`);
  dialogs.length = 0;
}

// Opens a command with its pill, submits it and returns the output card.
async function run(page, command, fill = async () => {}) {
  await page.click(`[data-pill="${command}"]`);
  await fill();
  const output = page.locator(`#${command}-output`);
  await output.evaluate((node) => node.replaceChildren());
  await page.click(`#${command}-submit`);
  // Attached, not visible: an expired session hides the whole panel.
  await output.filter({ hasText: /./ }).waitFor({ state: 'attached', timeout: STEP_MS });
  return output;
}

async function expectText(locator, expected, what) {
  const text = (await locator.innerText()).trim();
  check(expected instanceof RegExp ? expected.test(text) : text === expected,
    `${what}: expected ${expected}, got ${JSON.stringify(text)}`);
}

// The drop-downs refresh asynchronously after each change.
async function waitOption(page, select, value, present = true) {
  await page.waitForFunction(([s, v, p]) =>
    [...document.querySelectorAll(`${s} option`)].some((o) => o.value === v) === p, [select, value, present],
  { timeout: STEP_MS }).catch(() => check(false, `drop-down ${select} ${present ? 'lacks' : 'still has'} ${value}`));
}

// Runs `scenario(page, dialogs)` on a console of a fresh gateway, which is
// stopped (and its exit checked) however the scenario ends.
async function withGateway(browser, env, scenario, tables, base) {
  const gw = await startGateway(env, tables, base);
  const dialogs = [];
  try {
    await scenario(await openConsole(browser, gw, dialogs), dialogs, gw);
  } catch (err) {
    err.gateway = gw;
    throw err;
  } finally {
    await gw.stop();
  }
}

const mainScenario = (browser) => withGateway(browser, {}, async (page, dialogs) => {
  await page.waitForSelector('#login-panel', { state: 'visible' });

  await login(page, CLIENT_ID, 'wrong');
  await expectDialog(dialogs, 'Invalid credentials');
  check(await page.isVisible('#login-panel'), 'login form stays after a refused login');

  await login(page, CLIENT_ID, SECRET);
  await page.waitForSelector('#service-panel', { state: 'visible' });
  check(await page.isHidden('#login-panel'), 'login form hidden once logged in');
  check((await page.inputValue('#login-client-secret')) === '', 'secret input cleared after login');

  // Client-side checks run before anything is sent.
  await page.click('[data-pill="targetset-add"]');
  await page.click('#targetset-add-submit');
  await expectDialog(dialogs, 'Empty "id" field');
  await page.fill('#targetset-add-id', 'eu_main');
  await page.fill('#targetset-add-name', '9bad');
  await page.click('#targetset-add-submit');
  await expectDialog(dialogs, 'Field invalid');

  let out = await run(page, 'targetset-add', () => page.fill('#targetset-add-name', 'Europe'));
  await expectText(out, 'Target set added eu_main', 'target set add');
  out = await run(page, 'targetset-add');
  await expectText(out, /^Failed \(400\) - Target set already exists$/, 'duplicate target set');

  await waitOption(page, '#esme-add-targetset', 'eu_main');
  await page.click('[data-pill="esme-add"]');
  await page.fill('#esme-add-systemid', 'acme01');
  await page.click('#esme-add-submit');
  await expectDialog(dialogs, 'Select from the "targetset" field');
  out = await run(page, 'esme-add', () => page.selectOption('#esme-add-targetset', 'eu_main'));
  await expectText(out, 'ESME added acme01', 'ESME add');

  out = await run(page, 'targetset-list');
  await expectText(out.locator('tbody'), 'eu_main', 'target set list');
  out = await run(page, 'esme-list');
  await expectText(out.locator('tbody'), 'acme01', 'ESME list');

  await waitOption(page, '#esme-view-systemid', 'acme01');
  out = await run(page, 'esme-view', () => page.selectOption('#esme-view-systemid', 'acme01'));
  await expectText(out.locator('thead'), /^System ID\s+TargetSet$/i, 'ESME view columns');
  await expectText(out.locator('tbody'), /^acme01\s+eu_main$/, 'ESME view row');

  // Move the ESME to a second set and see the change in its view.
  await run(page, 'targetset-add', async () => {
    await page.fill('#targetset-add-id', 'us_main');
    await page.fill('#targetset-add-name', 'America');
  });
  await waitOption(page, '#esme-modify-targetset', 'us_main');
  out = await run(page, 'esme-modify', async () => {
    await page.selectOption('#esme-modify-systemid', 'acme01');
    await page.selectOption('#esme-modify-targetset', 'us_main');
  });
  await expectText(out, 'ESME modified acme01', 'ESME modify');
  out = await run(page, 'esme-view');
  await expectText(out.locator('tbody'), /^acme01\s+us_main$/, 'ESME view after modify');

  await waitOption(page, '#targetset-modify-id', 'eu_main');
  out = await run(page, 'targetset-modify', async () => {
    await page.selectOption('#targetset-modify-id', 'eu_main');
    await page.fill('#targetset-modify-name', 'Europe_West');
    await page.uncheck('#targetset-modify-submits_enabled');
  });
  await expectText(out, 'Target set modified eu_main', 'target set modify');
  await page.selectOption('#targetset-modify-id', 'us_main');
  check((await page.inputValue('#targetset-modify-name')) === '', 'choosing another set clears its name');
  check(await page.isChecked('#targetset-modify-submits_enabled'), 'choosing another set re-checks submits');

  out = await run(page, 'targetset-list');
  await expectText(out.locator('tbody'), /^eu_main\s+us_main$/, 'target set list with two sets');
  await page.click('[data-pill="esme-view"]');
  await page.screenshot({ path: path.join(artifacts, 'console.png'), fullPage: true });

  await waitOption(page, '#esme-remove-systemid', 'acme01');
  out = await run(page, 'esme-remove', () => page.selectOption('#esme-remove-systemid', 'acme01'));
  await expectText(out, 'ESME removed acme01', 'ESME remove');
  for (const id of ['eu_main', 'us_main']) {
    await waitOption(page, '#targetset-remove-id', id);
    out = await run(page, 'targetset-remove', () => page.selectOption('#targetset-remove-id', id));
    await expectText(out, `Target set removed ${id}`, 'target set remove');
  }
  await waitOption(page, '#esme-add-targetset', 'eu_main', false);
  out = await run(page, 'targetset-list');
  await expectText(out, 'No data', 'target set list after removal');
  out = await run(page, 'esme-list');
  await expectText(out, 'No data', 'ESME list after removal');

  await page.click('#logout-button');
  await page.waitForSelector('#login-panel', { state: 'visible' });
  check(await page.isHidden('#service-panel'), 'service panel hidden after logout');
  check(dialogs.length === 0, `unexpected alerts ${JSON.stringify(dialogs)}`);
});

const expiredTokenScenario = (browser) => withGateway(browser, { QUORVEX_TOKEN_SECONDS: '5' }, async (page, dialogs) => {
  await login(page, CLIENT_ID, SECRET);
  await page.waitForSelector('#service-panel', { state: 'visible' });
  // The token was issued before the panel showed, so it has expired 5 s later.
  await page.waitForTimeout(5500);
  const out = await run(page, 'esme-list');
  await expectText(out, 'Login session expired', 'expired token card');
  await expectDialog(dialogs, 'Login session expired. Please login.');
  await page.waitForSelector('#login-panel', { state: 'visible' });
});

// A child process whose output is collected; `ready` matches its start line.
async function startTool(file, args, ready) {
  const child = spawn(file, args, { stdio: ['pipe', 'pipe', 'pipe'] });
  const tool = { child, out: '', exited: false };
  child.stdout.on('data', (d) => { tool.out += d; });
  child.stderr.on('data', (d) => { tool.out += d; });
  tool.exit = new Promise((resolve) => child.once('exit', (code) => { tool.exited = true; resolve(code); }));
  const deadline = Date.now() + 20000;
  while (ready && !ready.test(tool.out)) {
    check(!tool.exited && Date.now() < deadline, `${path.basename(file)} did not start: ${tail(tool.out)}`);
    await new Promise((r) => setTimeout(r, 50));
  }
  return tool;
}

async function adminPut(gw, pathName, body) {
  const base = `http://127.0.0.1:${gw.http}`;
  const token = (await (await fetch(`${base}/oauth2/v1/token`, {
    method: 'POST', headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
    body: `grant_type=client_credentials&scope=api&client_id=${CLIENT_ID}&client_secret=${SECRET}`,
  })).json()).access_token;
  const res = await fetch(base + pathName, {
    method: 'PUT', headers: { Authorization: `Bearer ${token}`, 'Content-Type': 'application/json' },
    body: JSON.stringify(body),
  });
  check(res.status === 200, `PUT ${pathName}: ${res.status} ${res.statusText}`);
}

// The rows of the binds table with `target`, in the given state (a prefix).
async function waitBinds(page, target, state, count) {
  await page.waitForFunction(([t, s, n]) =>
    [...document.querySelectorAll(`#status-card tr[data-target="${t}"]`)]
      .filter((r) => r.dataset.state.startsWith(s)).length === n, [target, state, count], { timeout: STEP_MS })
    .catch(() => check(false, `${count} binds of ${target} ${state} expected`));
}

// The console served over HTTPS with a certificate made by openssl: login,
// one command and the live status all go through the encrypted port.
const httpsScenario = async (browser) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvex-tls-'));
  const cert = path.join(dir, 'cert.pem');
  const key = path.join(dir, 'key.pem');
  execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes',
    '-days', '2', '-subj', '/CN=127.0.0.1', '-addext', 'subjectAltName=IP:127.0.0.1', '-keyout', key, '-out', cert],
  { stdio: 'ignore' });
  try {
    await withGateway(browser, {}, async (page, dialogs) => {
      check(page.url().startsWith('https://'), `console opened at ${page.url()}`);
      await login(page, CLIENT_ID, SECRET);
      await page.waitForSelector('#service-panel', { state: 'visible' });
      await page.waitForSelector('#status-card', { state: 'visible' });
      const out = await run(page, 'targetset-list');
      await expectText(out.locator('tbody'), 'secure', 'target set list over HTTPS');
      check(dialogs.length === 0, `unexpected alerts ${JSON.stringify(dialogs)}`);
    }, { targetsets: [{ id: 'secure', name: 'Secure', submits_enabled: true, targets: [] }], esme: [] },
    { 'http.tls': true, 'tls.cert_file': cert, 'tls.key_file': key });
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
};

const statusScenario = async (browser) => {
  const sim = await startTool(simulator, ['--port', '0', '--receipts', 'text'], /smsc-sim listening port=\d+/);
  const simPort = Number(/smsc-sim listening port=(\d+)/.exec(sim.out)[1]);
  const target = (name, bindqty) => ({
    name, host: '127.0.0.1', port: simPort, bindqty, systemid: 'gw', password: '', systemtype: '', weight: 1,
    admindown: false,
  });
  const tables = {
    targetsets: [{ id: 'live', name: 'Live', submits_enabled: true, targets: [target('smscA', 2), target('smscB', 1)] }],
    esme: [{ systemid: 'shop', password: 'pw', sharedtargetsetid: 'live' }],
  };
  let load;
  try {
    await withGateway(browser, {}, async (page, dialogs, gw) => {
      await login(page, CLIENT_ID, SECRET);
      await page.waitForSelector('#status-card', { state: 'visible' });
      await waitBinds(page, 'smscA', 'bound', 2);
      await waitBinds(page, 'smscB', 'bound', 1);

      load = await startTool(loadgen, ['--port', String(gw.smpp), '--system-id', 'shop', '--password', 'pw',
        '--sessions', '1', '--window', '10', '--rate', '300', '--duration', '15', '--receipts']);
      // The ESME's submits line rises above the chart's floor while traffic flows.
      const risen = (kind) => page.waitForFunction(([k]) => {
        const line = document.querySelector(`#status-card tr[data-kind="ESME"][data-name="shop"] polyline.${k}`);
        return line && line.getAttribute('points').split(' ').some((p) => Number(p.split(',')[1]) < 20);
      }, [kind], { timeout: STEP_MS }).catch(() => check(false, `the ESME's ${kind} line did not rise`));
      await risen('submits');
      await risen('receipts');
      const rate = Number(await page.locator('#status-card tr[data-kind="ESME"][data-name="shop"] td.submits')
        .innerText());
      check(rate > 0, `submits/s shown ${rate}`);
      await adminPut(gw, '/targetsets/live/targets/smscB', { admindown: true });
      await waitBinds(page, 'smscB', 'admin down', 1);
      await page.locator('#status-card').screenshot({ path: path.join(artifacts, 'status.png') });
      check(await page.locator('#status-card tr.down[data-target="smscB"]').count() === 1,
        'the admin-down bind stands out');
      await waitBinds(page, 'smscA', 'bound', 2);
      check(dialogs.length === 0, `unexpected alerts ${JSON.stringify(dialogs)}`);
      const code = await load.exit;
      check(code === 0, `load generator exited with ${code}: ${tail(load.out)}`);
    }, tables);
  } finally {
    if (load && !load.exited) load.child.kill('SIGTERM');
    sim.child.kill('SIGTERM');
    await sim.exit;
  }
};

const started = Date.now();
const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', headless: true, args: ['--no-sandbox'] });
try {
  await mainScenario(browser);
  await expiredTokenScenario(browser);
  await statusScenario(browser);
  await httpsScenario(browser);
  console.log(`console e2e: passed in ${((Date.now() - started) / 1000).toFixed(1)} s`);
} catch (err) {
  console.error(`console e2e: FAILED: ${err.stack || err}`);
  if (err.gateway) {
    console.error(`--- gateway stdout (tail) ---\n${tail(err.gateway.out)}`);
    console.error(`--- gateway stderr (tail) ---\n${tail(err.gateway.err)}`);
  }
  process.exitCode = 1;
} finally {
  await browser.close();
}
