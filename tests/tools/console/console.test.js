// The bridge's console as a person meets it, in Debian's chromium: the
// simulator on a pseudo-terminal, a broker and the bridge started here; each
// page visited, live values, a write and its read-back, a viewer's refusal,
// a broken stream, text from outside shown as text, and a backup and a
// restore from the browser. A screenshot of each page is kept.
'use strict';
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const harness = require('./console_harness.js');

const screenshots = process.env.CONSOLE_SCREENSHOTS;
const prefix = 'tz52/test';
let sim;
let broker;
let bridge;
let browser;
let page;
let relay;
const alerts = [];
const pageErrors = [];

async function shot(name) {
  if (!screenshots) return;
  fs.mkdirSync(screenshots, { recursive: true });
  await page.screenshot({ path: path.join(screenshots, `console-${name}.png`), fullPage: false });
}

async function visit(hash) {
  await page.evaluate((h) => { location.hash = h; }, hash);
  await page.waitForSelector('main h1');
}

const cellText = (address, column) => page.$eval(`tr[data-point="${address}"]`,
  (row, c) => row.children[c].textContent, column);

function publish(topic, message) {
  const done = spawnSync('mosquitto_pub', ['-h', '127.0.0.1', '-p', String(broker.port), '-t', topic, '-m', message]);
  assert.strictEqual(done.status, 0, String(done.stderr));
}

async function logIn(user, password) {
  await visit('#/login');
  await page.type('#login-user', user);
  await page.type('#login-password', password);
  await page.click('#login-form button[type=submit]');
  await harness.until('the login', () => page.$eval('#who', (e) => e.textContent).then((t) => t.startsWith(user)));
}

async function logOut() {
  await page.click('#logout');
  await harness.until('the logout', () => page.$eval('#who', (e) => e.textContent === ''));
}

test.before(async () => {
  sim = await harness.startSimulator(['--set', '001M025=1234', '--set', '001C001=5', '--set', '001M030=7']);
  broker = await harness.startBroker();
  const users = harness.usersFile([['anna', 'operator', 'anna-secret'], ['victor', 'viewer', 'victor-secret']]);
  bridge = await harness.startBridge(['--port', sim.port, '--mqtt-host', '127.0.0.1', '--mqtt-port',
    String(broker.port), '--topic-prefix', prefix, '--http-users', users, '--allow-write', '001C001,001M025,001M030',
    '--every', '200ms', '001M025', '001C001', '001M030', '001B001']);
  relay = await harness.startRelay(Number(new URL(bridge.url).port));
  browser = await harness.launchBrowser();
  page = await browser.newPage();
  await page.setViewport({ width: 1100, height: 760 });
  page.on('dialog', async (dialog) => { alerts.push(dialog.message()); await dialog.dismiss(); });
  page.on('pageerror', (error) => pageErrors.push(String(error)));
  page.on('console', (message) => { if (message.type() === 'error') pageErrors.push(message.text()); });
  await page.goto(`${relay.url}/`);
  await page.waitForSelector('main h1');
  // Set once; a reload would lose it, so it shows that nothing reloaded.
  await page.evaluate(() => { window.notReloaded = true; });
});

test.after(async () => {
  if (browser) await browser.close();
  if (relay) relay.close();
  await harness.stopAllInTurn();
});

test('the Line page shows the port open and the simulator\'s station answering', async () => {
  await visit('#/line');
  await page.waitForFunction(() => [...document.querySelectorAll('tbody tr')]
    .some((row) => row.children[0].textContent === '1' && row.children[1].textContent === 'answering'));
  assert.match(await page.$eval('main p', (e) => e.textContent), /open/);
  await harness.sleep(4500);  // a few samples for the chart
  await shot('line');
});

test('a value changed on the simulator shows on the Points page without a reload', async () => {
  await visit('#/points');
  await page.waitForSelector('tr[data-point="001C001"]');
  assert.strictEqual(await cellText('001C001', 1), '5');
  assert.strictEqual(await cellText('001C001', 2), '0x0005');
  publish(`${prefix}/001C001/set`, '77');
  await page.waitForFunction(() => document.querySelector('tr[data-point="001C001"]').children[1].textContent === '77',
    { timeout: 5000 });
  assert.strictEqual(await cellText('001C001', 2), '0x004D');
  assert.strictEqual(await page.evaluate(() => window.notReloaded), true);
  await page.select('#filter-type', 'M');
  assert.deepStrictEqual(await page.$$eval('tbody tr:not([hidden])', (rows) => rows.map((r) => r.dataset.point)),
    ['001M025', '001M030']);
  await page.select('#filter-type', '');
  await shot('points');
});

test('an operator writes a value, sees the read-back, and the simulator is written', async () => {
  await logIn('anna', 'anna-secret');
  assert.strictEqual(await page.$eval('#nav-backup', (e) => e.hidden), false);
  await visit('#/point/001M025');
  await page.waitForSelector('#write-form');
  await page.type('#write-value', '4321');
  await page.click('#write-form button[type=submit]');
  await page.waitForSelector('#confirm[open]');
  await page.click('#confirm-ok');
  await page.waitForSelector('#read-back', { timeout: 10000 });
  assert.strictEqual(await page.$eval('#read-back', (e) => e.textContent), '4321');
  await harness.until('the write in the simulator\'s trace', () => /station 1 .*write.*M0?25.*4321|4321.*M0?25/i
    .test(sim.log()), 5000);
  await harness.sleep(2500);  // the trend takes the new value
  await shot('point');
  await logOut();
});

test('a viewer sees no write control, and a hand-made write is refused', async () => {
  await logIn('victor', 'victor-secret');
  assert.strictEqual(await page.$eval('#nav-backup', (e) => e.hidden), true);
  await visit('#/point/001M030');
  await page.waitForFunction(() => document.querySelector('#point-value') !== null);
  await harness.sleep(300);
  assert.strictEqual(await page.$('#write-form'), null);
  assert.strictEqual(await page.$('input[type=number]'), null);
  const refused = await page.evaluate(async () => {
    const session = await (await fetch('/api/v1/session')).json();
    const response = await fetch('/api/v1/points/001M030', { method: 'PUT',
      headers: { 'Content-Type': 'application/json', 'X-CSRF-Token': session.csrfToken },
      body: JSON.stringify({ value: 1 }) });
    return { status: response.status, body: await response.json() };
  });
  assert.strictEqual(refused.status, 403);
  assert.match(refused.body.error, /viewer/);
  const backup = await page.evaluate(async () => {
    const session = await (await fetch('/api/v1/session')).json();
    const response = await fetch('/api/v1/backup/dump', { method: 'POST',
      headers: { 'Content-Type': 'application/json', 'X-CSRF-Token': session.csrfToken },
      body: JSON.stringify({ station: 1 }) });
    return response.status;
  });
  assert.strictEqual(backup, 403);
  const point = await (await fetch(`${bridge.url}/api/v1/points/001M030`)).json();
  assert.strictEqual(point.value, 7);
  await logOut();
});

test('a broken stream shows the banner, and the console resumes with what it missed', async () => {
  await visit('#/points');
  await page.waitForSelector('tr[data-point="001M030"]');
  const streams = [];
  const seen = (request) => { if (request.url().includes('/api/v1/stream')) streams.push(request.url()); };
  page.on('request', seen);
  relay.cut();
  try {
    await page.waitForSelector('#banner:not([hidden])', { timeout: 10000 });
    assert.match(await page.$eval('#banner', (e) => e.textContent), /broken/);
    publish(`${prefix}/001M030/set`, '99');
    await harness.until('the set done', async () => (await (await fetch(`${bridge.url}/api/v1/points/001M030`))
      .json()).value === 99);
    assert.strictEqual(await cellText('001M030', 1), '7');
    await shot('banner');
  } finally {
    relay.mend();
  }
  await page.waitForSelector('#banner[hidden]', { timeout: 10000 });
  await page.waitForFunction(() => document.querySelector('tr[data-point="001M030"]').children[1].textContent === '99',
    { timeout: 4000 });
  assert.strictEqual(await page.evaluate(() => window.notReloaded), true);
  page.off('request', seen);
  // Opened again after the last event seen before the cut, which is
  // before the write made during it.
  const events = await (await fetch(`${bridge.url}/api/v1/events`)).json();
  const write = events.events.filter((e) => e.kind === 'writeDone').pop();
  const after = streams.map((url) => Number(new URL(url).searchParams.get('after'))).pop();
  assert.ok(after > 0 && after < write.seq, `the stream resumed after ${after}, the write was ${write.seq}`);
});

test('a refused set on a topic that holds markup shows on the Events page as text', async () => {
  const markup = '<img src=x onerror=alert(1)>';
  publish(`${prefix}/${markup}/set`, '1');
  await visit('#/events');
  await page.waitForFunction((text) => [...document.querySelectorAll('td.message')]
    .some((cell) => cell.textContent.includes(text)), { timeout: 10000 }, markup);
  assert.strictEqual(await page.$('main img'), null);
  const order = await page.$$eval('tbody tr', (rows) => rows.map((r) => Number(r.dataset.seq)));
  assert.deepStrictEqual(order, [...order].sort((a, b) => b - a), 'newest first');
  await harness.sleep(500);
  assert.deepStrictEqual(alerts, []);
  await shot('events');
});

test('the Traffic page shows the exchanges as they happen, and pauses', async () => {
  await visit('#/traffic');
  await page.waitForFunction(() => document.querySelectorAll('tbody tr').length >= 5, { timeout: 10000 });
  const row = await page.$$eval('tbody tr:first-child td', (cells) => cells.map((c) => c.textContent));
  assert.strictEqual(row[1], '1');
  assert.match(row[2], /^001[MCB]0\d\d$/);
  assert.strictEqual(row[3], 'read');
  // 9600 baud 8N1: a C or M read is 18 bytes on the line, a B read 14.
  assert.match(row[4], row[2][3] === 'B' ? /^\d+ ms \(wire 14\.6 ms\)$/ : /^\d+ ms \(wire 18\.8 ms\)$/);
  await shot('traffic');
  await page.click('#traffic-pause');
  const paused = await page.$$eval('tbody tr', (rows) => rows.length);
  await harness.sleep(800);
  assert.strictEqual(await page.$$eval('tbody tr', (rows) => rows.length), paused);
  await page.click('#traffic-pause');
  await page.waitForFunction((n) => document.querySelectorAll('tbody tr').length > n, {}, paused);
});

test('a backup downloaded from the browser is accepted by tz52 restore --dry-run', async () => {
  await logIn('anna', 'anna-secret');
  const downloads = path.join(harness.work, 'downloads');
  fs.mkdirSync(downloads, { recursive: true });
  const cdp = await page.createCDPSession();
  await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads });
  const writes = async () => (await (await fetch(`${bridge.url}/api/v1/events?limit=1000`)).json()).events
    .filter((e) => e.kind === 'writeDone' || e.kind === 'writeRefused').length;
  const writesBefore = await writes();
  await visit('#/backup');
  await page.click('#scan-last', { clickCount: 3 });
  await page.type('#scan-last', '3');
  await page.click('#scan-start');
  await page.waitForFunction(() => /scan done/.test(document.querySelector('#scan-out').textContent),
    { timeout: 60000 });
  assert.match(await page.$eval('#scan-out', (e) => e.textContent), /Answering: 1$/);
  await page.click('#dump-start');
  await page.waitForSelector('#dump-download', { timeout: 60000 });
  const file = path.join(downloads, 'station-001.dump');
  await harness.until('the download', () => fs.existsSync(file), 10000);
  await shot('backup');
  // The scan's and the dump's reads are no writes.
  assert.strictEqual(await writes(), writesBefore);
  const text = fs.readFileSync(file, 'utf8');
  assert.match(text, /^# tz52 dump of station 1\n/);
  assert.match(text, /\n# complete: yes\n/);
  assert.match(text, /\n001M030=99\n/);
  // A simulator of its own, as the bridge holds the line's.
  const other = await harness.startSimulator(['--set-file', file], 'sim-restore');
  const dryRun = spawnSync(harness.tz52, ['restore', '--dry-run', '--port', other.port, file], { encoding: 'utf8' });
  other.kill('SIGTERM');
  assert.strictEqual(dryRun.status, 0, dryRun.stderr);
  assert.match(dryRun.stdout, /would write 0/);
});

test('a restore shows its plan and writes only once confirmed', async () => {
  const file = path.join(harness.work, 'restore.dump');
  fs.writeFileSync(file, '# tz52 dump of station 1\n# complete: yes\n001M030=99\n001M025=555\n001B001=0\n');
  const before = sim.log().length;
  await visit('#/backup');
  const input = await page.$('#restore-file');
  await input.uploadFile(file);
  await page.click('#restore-plan');
  await page.waitForSelector('#restore-write', { timeout: 20000 });
  const plan = await page.$$eval('table[aria-label="Restore plan"] tbody tr',
    (rows) => rows.map((r) => [...r.children].map((c) => c.textContent)));
  assert.deepStrictEqual(plan, [['001M025', '4321', '555', 'to write']]);
  await page.click('#restore-write');
  await page.waitForSelector('#confirm[open]');
  await page.click('#confirm-cancel');
  await harness.sleep(1000);
  assert.doesNotMatch(sim.log().slice(before), /555/);
  assert.strictEqual((await (await fetch(`${bridge.url}/api/v1/points/001M025`)).json()).value, 4321);
  await page.click('#restore-write');
  await page.waitForSelector('#confirm[open]');
  await page.click('#confirm-ok');
  await page.waitForFunction(() => /restore done/.test(document.querySelector('#restore-out').textContent),
    { timeout: 20000 });
  assert.match(await page.$eval('#restore-out', (e) => e.textContent), /written, read back 555/);
  const events = await (await fetch(`${bridge.url}/api/v1/events`)).json();
  const write = events.events.filter((e) => e.kind === 'writeDone').pop();
  assert.strictEqual(write.face, 'http');
  assert.match(write.who, /^user anna from 127\.0\.0\.1:/);
  assert.deepStrictEqual(write.points, [{ point: '001M025', value: 555 }]);
  await logOut();
});

test('the login page, at phone width, and no page broke the security policy', async () => {
  await page.setViewport({ width: 390, height: 760 });
  await visit('#/login');
  await shot('login');
  await page.setViewport({ width: 1100, height: 760 });
  assert.deepStrictEqual(pageErrors.filter((e) => !/Failed to load resource|ERR_CONNECTION|ERR_EMPTY_RESPONSE/.test(e)), []);
  assert.deepStrictEqual(alerts, []);
});
