// The bridge as a Sparkplug B edge node on a real broker, as a Sparkplug B
// host made of packages nobody here wrote sees it (npm sparkplug-client for
// the broker connection, sparkplug-payload for the payloads): mosquitto over
// TLS asking every client for a certificate the test made, the simulator on
// a pseudo-terminal whose trace shows what reached the line, and tz52
// bridge with --sparkplug-group.
//   TZ52=... TZ52SIM=... WORK=... node --test sparkplug_host.test.js
'use strict';
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const { spawn, execFileSync } = require('node:child_process');
const sparkplugClient = require('sparkplug-client');
const sparkplug = require('sparkplug-payload').get('spBv1.0');

const work = fs.mkdtempSync(path.join(process.env.WORK, 'run-'));
const number = (value) => (value !== null && typeof value === 'object' ? value.toNumber() : value);
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function until(what, check, ms = 10000) {
  const start = Date.now();
  for (;;) {
    const found = check();
    if (found) return found;
    if (Date.now() - start > ms) throw new Error(`timed out waiting for ${what}`);
    await sleep(25);
  }
}

function freePort() {
  return new Promise((resolve) => {
    const server = net.createServer();
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

function listening(port) {
  return new Promise((resolve) => {
    const socket = net.connect(port, '127.0.0.1', () => { socket.destroy(); resolve(true); });
    socket.on('error', () => resolve(false));
  });
}

// An authority, the broker's certificate, and a client certificate each for
// the bridge (its key under a password) and the host.
function makeCertificates(dir) {
  fs.writeFileSync(path.join(dir, 'names'), 'subjectAltName=IP:127.0.0.1\n');
  const key = '-newkey ec -pkeyopt ec_paramgen_curve:prime256v1';
  const script = [
    `openssl req -x509 ${key} -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=tz52-test-ca`,
    `openssl req ${key} -nodes -keyout server.key -out server.csr -subj /CN=broker`,
    'openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 -extfile names',
    `openssl req ${key} -passout pass:bridge-secret -keyout bridge.key -out bridge.csr -subj /CN=bridge`,
    'openssl x509 -req -in bridge.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out bridge.pem -days 2',
    `openssl req ${key} -nodes -keyout host.key -out host.csr -subj /CN=scada`,
    'openssl x509 -req -in host.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out host.pem -days 2',
    'chmod 600 bridge.key',
  ].join(' && ');
  execFileSync('bash', ['-c', script], { cwd: dir, stdio: 'ignore' });
  fs.mkdirSync(path.join(dir, 'credentials'));
  fs.writeFileSync(path.join(dir, 'credentials', 'key-password'), 'bridge-secret\n', { mode: 0o600 });
}

class Broker {
  constructor(dir, port) {
    this.dir = dir;
    this.port = port;
    fs.writeFileSync(path.join(dir, 'mosquitto.conf'), [
      `listener ${port} 127.0.0.1`, 'allow_anonymous true', 'persistence false', 'user root',
      `cafile ${dir}/ca.pem`, `certfile ${dir}/server.pem`, `keyfile ${dir}/server.key`, 'require_certificate true', '',
    ].join('\n'));
  }
  async start() {
    this.process = spawn('/usr/sbin/mosquitto', ['-c', path.join(this.dir, 'mosquitto.conf')], { stdio: 'ignore' });
    const start = Date.now();
    while (!(await listening(this.port))) {
      if (Date.now() - start > 10000) throw new Error('the broker did not start');
      await sleep(20);
    }
  }
  async stop() {
    if (!this.process) return;
    const ended = new Promise((resolve) => this.process.on('exit', resolve));
    this.process.kill('SIGTERM');
    await ended;
    this.process = null;
  }
}

// A program of this project with its stderr kept.
class Program {
  constructor(file, args, env = {}) {
    this.output = '';
    this.stdout = '';
    this.process = spawn(file, args, { env: { ...process.env, ...env }, stdio: ['ignore', 'pipe', 'pipe'] });
    this.process.stdout.on('data', (data) => { this.stdout += data; });
    this.process.stderr.on('data', (data) => { this.output += data; });
    this.exited = new Promise((resolve) => this.process.on('exit', (code) => resolve(code)));
  }
  async stop(signal = 'SIGTERM') {
    this.process.kill(signal);
    return this.exited;
  }
}

// The Sparkplug B host: subscribes to the group and keeps every message of
// the node, decoded; with `primary`, says it is online on every connect.
class Host {
  constructor(dir, port, primary) {
    this.messages = [];
    this.client = sparkplugClient.newClient({
      serverUrl: `mqtts://127.0.0.1:${port}`, username: null, password: null, clientId: `scada-${process.pid}`,
      groupId: 'plant', edgeNode: 'scada-host',
      mqttOptions: {
        ca: fs.readFileSync(path.join(dir, 'ca.pem')), cert: fs.readFileSync(path.join(dir, 'host.pem')),
        key: fs.readFileSync(path.join(dir, 'host.key')), reconnectPeriod: 200,
      },
    });
    this.client.on('error', () => {});
    this.client.on('message', (topic, payload) => {
      // What the node sends; not the host's own commands coming back.
      const [, , type, node] = topic.split('/');
      if (node === 'line1' && !type.endsWith('CMD')) this.messages.push({ topic, payload });
    });
    this.connected = new Promise((resolve) => {
      this.client.on('connect', () => {
        this.client.subscribeTopic('spBv1.0/plant/#', { qos: 0 }, () => {
          if (primary) this.say(true);
          resolve();
        });
      });
    });
  }
  say(online) {
    this.client.client.publish('spBv1.0/STATE/scada', JSON.stringify({ online, timestamp: Date.now() }),
      { qos: 1, retain: true });
  }
  command(type, device, metrics) {
    const topic = `spBv1.0/plant/${type}/line1${device ? `/${device}` : ''}`;
    this.client.client.publish(topic, Buffer.from(sparkplug.encodePayload({ timestamp: Date.now(), metrics })));
  }
  of(type, device = '') {
    const topic = `spBv1.0/plant/${type}/line1${device ? `/${device}` : ''}`;
    return this.messages.filter((m) => m.topic === topic);
  }
  since(count) { return this.messages.slice(count); }
  stop() { this.client.client.end(true); }
}

const metricsOf = (message) =>
  message.payload.metrics.map((m) => ({ ...m, alias: number(m.alias), timestamp: number(m.timestamp), value: number(m.value) }));

// One bridge with its simulator, broker and host.
async function session(t, { bridgeArgs = [], simArgs = [], points = ['001M001', '001M002', '001O001', '001A009'],
  certificate = true, primary = false } = {}) {
  const dir = fs.mkdtempSync(path.join(work, 'session-'));
  makeCertificates(dir);
  const broker = new Broker(dir, await freePort());
  await broker.start();
  const host = new Host(dir, broker.port, primary);
  await host.connected;
  const sim = new Program(process.env.TZ52SIM,
    ['--trace', '--set', '001M001=5', '--set', '001M002=6', '--set', '001A009=201', ...simArgs]);
  const port = (await until('the simulator', () => /^port (\S+)/m.exec(sim.stdout)))[1];
  // The configuration's name is the line's: the edge node id.
  const config = path.join(dir, 'line1.conf');
  fs.writeFileSync(config, `port = ${port}\n`);
  const tls = ['--mqtt-tls-ca', path.join(dir, 'ca.pem')];
  if (certificate) {
    tls.push('--mqtt-tls-cert', path.join(dir, 'bridge.pem'), '--mqtt-tls-key', path.join(dir, 'bridge.key'),
      '--mqtt-tls-key-password-credential', 'key-password');
  }
  const bridge = new Program(process.env.TZ52, ['bridge', '--config', config, '--every', '50ms', '--timeout', '300ms',
    '--mqtt-host', '127.0.0.1', '--mqtt-port', String(broker.port), ...tls, '--sparkplug-group', 'plant',
    '--sparkplug-only', '--allow-write', '001M001,001O001', ...bridgeArgs, ...points],
  { CREDENTIALS_DIRECTORY: path.join(dir, 'credentials') });
  t.after(async () => {
    if (bridge.process.exitCode === null) await bridge.stop('SIGKILL');
    // For whoever reads a failure.
    fs.writeFileSync(path.join(dir, 'bridge.log'), bridge.output);
    fs.writeFileSync(path.join(dir, 'trace.log'), sim.output);
    host.stop();
    await sim.stop();
    await broker.stop();
  });
  return { dir, broker, host, sim, bridge };
}

const birthOf = (host, device) => until(`DBIRTH ${device}`, () => host.of('DBIRTH', device)[0]);

test('NBIRTH names every node metric with its datatype, bdSeq as in the will; DBIRTH every point', async (t) => {
  const { host, bridge } = await session(t);
  const nodeBirth = await until('NBIRTH', () => host.of('NBIRTH')[0]);
  const deviceBirth = await birthOf(host, '001');
  assert.strictEqual(number(nodeBirth.payload.seq), 0);
  const node = metricsOf(nodeBirth);
  assert.deepStrictEqual(node.map((m) => [m.name, m.type]), [
    ['bdSeq', 'UInt64'], ['Node Control/Rebirth', 'Boolean'], ['Line/Port', 'String'],
    ['Store and forward/Changes dropped', 'UInt64'],
  ]);
  assert.strictEqual(node[1].value, false);
  const device = metricsOf(deviceBirth);
  assert.deepStrictEqual(device.map((m) => [m.name, m.type, m.value]),
    [['001A009', 'UInt16', 201], ['001M001', 'UInt16', 5], ['001M002', 'UInt16', 6], ['001O001', 'UInt16', 0]]);
  for (const m of device) assert.ok(m.alias > 0 && m.timestamp > Date.now() - 60000, m.name);
  // Killed, the bridge dies by its will: NDEATH with the birth's bdSeq.
  await bridge.stop('SIGKILL');
  const death = await until('NDEATH', () => host.of('NDEATH')[0]);
  assert.deepStrictEqual(metricsOf(death).map((m) => [m.name, m.value]), [['bdSeq', node[0].value]]);
  assert.strictEqual(death.payload.seq, undefined);
});

test('DCMD writes an allowed point through the line, DDATA carries only the change; seq runs on and wraps', async (t) => {
  const { host, sim } = await session(t, { points: ['001M001', '001M002'] });
  await birthOf(host, '001');
  const alias = metricsOf(host.of('DBIRTH', '001')[0]).find((m) => m.name === '001M001').alias;
  // Enough changes for seq to pass 255.
  for (let value = 100; value < 360; ++value) {
    const before = host.of('DDATA', '001').length;
    host.command('DCMD', '001', [{ name: '001M001', type: 'UInt16', value }]);
    const data = await until(`DDATA ${value}`, () => host.of('DDATA', '001')[before]);
    assert.deepStrictEqual(metricsOf(data).map((m) => [m.alias, m.value]), [[alias, value]], 'only the change');
  }
  assert.match(sim.output, /write 001M001 := 359/);
  assert.deepStrictEqual(host.since(0).slice(0, 2).map((m) => m.topic.split('/')[2]), ['NBIRTH', 'DBIRTH']);
  const seqs = host.since(0).map((m) => number(m.payload.seq));
  seqs.forEach((seq, i) => assert.strictEqual(seq, i % 256, `message ${i}`));
  assert.ok(seqs.length > 256);
});

test('DCMD for a point not allowed, an input, a value out of range or an unknown metric is refused; nothing is written', async (t) => {
  const { host, sim, bridge } = await session(t);
  await birthOf(host, '001');
  const rows = [
    ['a point not allowed', [{ name: '001M002', type: 'UInt16', value: 9 }], 'point 001M002 may not be written'],
    ['an input', [{ name: '001A009', type: 'UInt16', value: 9 }], 'point 001A009 may not be written'],
    ['one bit set to 2', [{ name: '001O001', type: 'UInt16', value: 2 }], 'is more than point 001O001 holds (1)'],
    ['another datatype', [{ name: '001M001', type: 'Int32', value: 9 }], 'has datatype 3, its birth gave 6'],
    ['a metric never born', [{ name: '001M099', type: 'UInt16', value: 9 }], 'gave no such metric in its birth'],
    ['one good, one not: neither', [{ name: '001M001', type: 'UInt16', value: 9 }, { name: '001M002', type: 'UInt16', value: 9 }],
      'point 001M002 may not be written'],
  ];
  for (const [name, metrics, refusal] of rows) {
    host.command('DCMD', '001', metrics);
    await until(`the refusal of ${name}`, () => bridge.output.includes(refusal));
  }
  await sleep(300);
  assert.doesNotMatch(sim.output, /write/, 'nothing was sent on the line');
  assert.strictEqual(host.of('DDATA', '001').length, 0);
});

test('NCMD Node Control/Rebirth gives a fresh NBIRTH and DBIRTH with the same bdSeq; a clean stop, NDEATH', async (t) => {
  const { host, bridge } = await session(t, { points: ['001M001'] });
  await birthOf(host, '001');
  host.command('NCMD', '', [{ name: 'Node Control/Rebirth', type: 'Boolean', value: true }]);
  await until('the second DBIRTH', () => host.of('DBIRTH', '001')[1]);
  const births = host.of('NBIRTH');
  assert.strictEqual(births.length, 2);
  assert.strictEqual(number(births[1].payload.seq), 0);
  assert.strictEqual(metricsOf(births[1])[0].value, metricsOf(births[0])[0].value);
  // A clean stop sends no will: the bridge says its death itself.
  assert.strictEqual(await bridge.stop('SIGTERM'), 0);
  const death = await until('NDEATH', () => host.of('NDEATH')[0]);
  assert.deepStrictEqual(metricsOf(death).map((m) => [m.name, m.value]), [['bdSeq', metricsOf(births[0])[0].value]]);
});

test('a station gone silent gives DDEATH, and answering again DBIRTH', async (t) => {
  // Exchanges 30 to 32: every attempt of one read unanswered.
  const { host } = await session(t, { points: ['001M001'], simArgs: ['--fault', '30:silent', '--fault', '31:silent', '--fault', '32:silent'] });
  await until('DDEATH', () => host.of('DDEATH', '001')[0]);
  await until('the second DBIRTH', () => host.of('DBIRTH', '001')[1]);
  assert.deepStrictEqual(host.since(0).map((m) => m.topic.split('/')[2]), ['NBIRTH', 'DBIRTH', 'DDEATH', 'DBIRTH']);
});

// A Modbus request to unit 1, as a client sends it: function 6 writes a
// holding register (the values change while the broker is away), function
// 3 reads one (a point the bridge polls on demand from then on).
function modbus(port, request) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, '127.0.0.1', () => socket.write(Buffer.from([0, 1, 0, 0, 0, 6, 1, ...request])));
    socket.on('data', (answer) => { socket.destroy(); resolve(answer[7]); });
    socket.on('error', reject);
  });
}
const writeRegister = (port, reference, value) => modbus(port, [6, 0, reference - 1, value >> 8, value & 0xff]);
const readRegister = (port, reference) => modbus(port, [3, 0, reference - 1, 0, 1]);

test('a point polled on demand is born with its device again, and again when it leaves', async (t) => {
  const port = await freePort();
  const { host } = await session(t, { points: ['001M001'], bridgeArgs: ['--modbus-listen', String(port), '--modbus-idle', '1s'] });
  await birthOf(host, '001');
  const names = (i) => metricsOf(host.of('DBIRTH', '001')[i]).map((m) => m.name);
  assert.deepStrictEqual(names(0), ['001M001']);
  while ((await readRegister(port, 2)) !== 3) await sleep(100);  // exception 6 until its first read
  await until('the birth with 001M002', () => host.of('DBIRTH', '001')[1]);
  assert.deepStrictEqual(names(1), ['001M001', '001M002']);
  await until('the birth without it', () => host.of('DBIRTH', '001')[2]);
  assert.deepStrictEqual(names(2), ['001M001']);
});

test('changes while the broker is away come after the next birth as historical metrics, in order, bounded', async (t) => {
  const modbus = await freePort();
  const { host, broker, bridge } = await session(t, {
    points: ['001M001'], primary: true,
    bridgeArgs: ['--sparkplug-primary-host', 'scada', '--sparkplug-buffer', '3', '--modbus-listen', String(modbus)],
  });
  await birthOf(host, '001');
  await broker.stop();
  await until('the loss', () => bridge.output.includes('lost the broker'));
  const values = [11, 12, 13, 14, 15];
  for (const value of values) {
    await writeRegister(modbus, 1, value);
    await sleep(150);  // read back and polled before the next
  }
  const seen = host.messages.length;
  await broker.start();
  const historical = await until('the historical DDATA', () => host.since(seen).find((m) => m.topic.endsWith('/DDATA/line1/001')));
  const kept = metricsOf(historical);
  assert.deepStrictEqual(kept.map((m) => [m.value, m.isHistorical]), [[13, true], [14, true], [15, true]]);
  const birth = host.since(seen).find((m) => m.topic.endsWith('/NBIRTH/line1'));
  assert.ok(kept.every((m, i) => m.timestamp < number(birth.payload.timestamp) && (i === 0 || m.timestamp > kept[i - 1].timestamp)));
  assert.strictEqual(metricsOf(birth).find((m) => m.name === 'Store and forward/Changes dropped').value, 2);
  assert.match(bridge.output, /3 changes are kept while the node is not born \(--sparkplug-buffer\); the oldest are dropped/);
});

test('with a primary host the births wait for its STATE online, and its going offline kills the node', async (t) => {
  const { host, bridge } = await session(t, { points: ['001M001'], bridgeArgs: ['--sparkplug-primary-host', 'scada'] });
  await sleep(1000);
  assert.strictEqual(host.of('NBIRTH').length, 0, 'no birth before the host is online');
  host.say(true);
  await birthOf(host, '001');
  const bdSeq = metricsOf(host.of('NBIRTH')[0])[0].value;
  host.say(false);
  const death = await until('NDEATH', () => host.of('NDEATH')[0]);
  assert.strictEqual(metricsOf(death)[0].value, bdSeq);
  await sleep(1500);
  assert.strictEqual(host.of('NBIRTH').length, 1, 'no birth while the host is offline');
  host.say(true);
  await until('the birth on the new connection', () => host.of('NBIRTH')[1]);
  assert.strictEqual(metricsOf(host.of('NBIRTH')[1])[0].value, bdSeq + 1);
  assert.match(bridge.output, /the primary host scada is offline/);
});

test('a broker that asks for a certificate refuses the bridge without one, and the bridge keeps trying', async (t) => {
  const { host, bridge } = await session(t, { certificate: false });
  await until('the refusal', () => /cannot reach the broker 127\.0\.0\.1:\d+ \(.*certificate required/.test(bridge.output));
  await sleep(1500);
  assert.strictEqual(host.messages.length, 0);
  assert.strictEqual(bridge.process.exitCode, null, 'still running, trying again');
  assert.match(bridge.output, /trying again, waiting up to 30 s between attempts/);
});
