// What the console's browser suite and its benchmark start: the simulator
// on a pseudo-terminal, a broker, the bridge with its HTTP face on free
// loopback ports, and Debian's chromium through puppeteer-core.
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const net = require('node:net');
const { spawn, execFileSync } = require('node:child_process');
const puppeteer = require('puppeteer-core');

const tz52 = process.env.TZ52;
const tz52sim = process.env.TZ52SIM;
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'tz52-console-'));
const children = [];

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// A child whose stderr goes to a file (read with .log()) and whose stdout
// is kept.
function start(program, args, name) {
  const logPath = path.join(work, `${name}.log`);
  const log = fs.openSync(logPath, 'w');
  const child = spawn(program, args, { stdio: ['ignore', 'pipe', log] });
  fs.closeSync(log);
  child.stdoutText = '';
  child.stdout.on('data', (data) => { child.stdoutText += data; });
  child.log = () => fs.readFileSync(logPath, 'utf8');
  children.push(child);
  return child;
}

async function until(what, check, ms = 10000) {
  const end = Date.now() + ms;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await sleep(50);
  }
}

// The simulator with the given arguments; its pseudo-terminal's name.
async function startSimulator(args, name = 'sim') {
  const sim = start(tz52sim, ['--trace', ...args], name);
  sim.port = await until('the simulator\'s port', () => (sim.stdoutText.match(/port (\S+)/) || [])[1]);
  return sim;
}

async function startBroker() {
  const port = await freePort();
  const conf = path.join(work, 'mosquitto.conf');
  fs.writeFileSync(conf, `listener ${port} 127.0.0.1\nallow_anonymous true\npersistence false\n`);
  const broker = start('/usr/sbin/mosquitto', ['-c', conf], 'mosquitto');
  await until('the broker', () => new Promise((resolve) => {
    const socket = net.connect(port, '127.0.0.1', () => { socket.end(); resolve(true); });
    socket.on('error', () => resolve(false));
  }));
  broker.port = port;
  return broker;
}

// A users file of `users` ([name, role, password]).
function usersFile(users) {
  const file = path.join(work, 'users');
  const lines = users.map(([name, role, password]) =>
    execFileSync(tz52, ['passwd', name, '--role', role], { input: `${password}\n${password}\n`, encoding: 'utf8' }));
  fs.writeFileSync(file, lines.join(''));
  return file;
}

// The bridge on the simulator's port; its HTTP face's address.
async function startBridge(args, name = 'bridge') {
  const port = await freePort();
  const bridge = start(tz52, ['bridge', '--http-listen', String(port), ...args], name);
  bridge.url = `http://127.0.0.1:${port}`;
  await until('the bridge\'s HTTP face', async () => {
    if (bridge.exitCode !== null) throw new Error(`the bridge stopped: ${bridge.log()}`);
    try { return (await fetch(`${bridge.url}/healthz`)).ok; } catch (error) { return false; }
  });
  return bridge;
}

// A TCP relay in front of `port`, so that a test can cut the browser's
// connections (cut) and let new ones through again (mend).
async function startRelay(port) {
  const sockets = new Set();
  let blocked = false;
  const server = net.createServer((client) => {
    if (blocked) { client.destroy(); return; }
    const upstream = net.connect(port, '127.0.0.1');
    for (const [from, to] of [[client, upstream], [upstream, client]]) {
      sockets.add(from);
      from.pipe(to);
      from.on('error', () => to.destroy());
      from.on('close', () => { sockets.delete(from); to.destroy(); });
    }
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return {
    url: `http://127.0.0.1:${server.address().port}`,
    cut() { blocked = true; for (const socket of sockets) socket.destroy(); },
    mend() { blocked = false; },
    close() { server.close(); for (const socket of sockets) socket.destroy(); },
  };
}

async function launchBrowser() {
  return puppeteer.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-dev-shm-usage', '--disable-gpu'],
  });
}

function stopAll() {
  for (const child of children) if (child.exitCode === null) child.kill('SIGTERM');
}

// Each child stopped in the reverse order of its start (the bridge before
// its broker and its simulator), each waited for, so that what it says at
// its end is in its log.
async function stopAllInTurn() {
  for (const child of [...children].reverse()) {
    if (child.exitCode !== null || child.signalCode !== null) continue;
    const ended = new Promise((resolve) => child.once('exit', resolve));
    child.kill('SIGTERM');
    await Promise.race([ended, sleep(10000)]);
  }
}
process.on('exit', stopAll);

module.exports = { work, tz52, sleep, until, freePort, startSimulator, startBroker, usersFile, startBridge,
  startRelay, launchBrowser, stopAll, stopAllInTurn };
