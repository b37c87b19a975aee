// The bridge's Sparkplug B payloads as a Sparkplug implementation of others
// (npm sparkplug-payload) reads them, and commands it writes as the bridge
// judges them, through the test's program (SPARKPLUG_PEER; see
// sparkplug_peer.cpp for the session it plays).
'use strict';
const test = require('node:test');
const assert = require('node:assert');
const { execFileSync } = require('node:child_process');
const sparkplug = require('sparkplug-payload').get('spBv1.0');

const peer = process.env.SPARKPLUG_PEER;
const start = 1765300000000;
const number = (value) => (value !== null && typeof value === 'object' ? value.toNumber() : value);

const messages = JSON.parse(execFileSync(peer, ['payloads'], { encoding: 'utf8' })).map((message) => ({
  ...message,
  decoded: sparkplug.decodePayload(Buffer.from(message.payload, 'hex')),
}));
const message = (what) => messages.find((m) => m.what === what);
const metricsOf = (what) =>
  message(what).decoded.metrics.map((m) => ({ ...m, alias: number(m.alias), timestamp: number(m.timestamp) }));
const aliasOf = (name) => metricsOf('device birth 1').find((m) => m.name === name).alias;

test('every message is on its topic and seq runs on from each node birth; deaths have none', () => {
  const expected = [
    ['will 1', 'spBv1.0/plant/NDEATH/line1', undefined],
    ['node birth 1', 'spBv1.0/plant/NBIRTH/line1', 0],
    ['device birth 1', 'spBv1.0/plant/DBIRTH/line1/001', 1],
    ['device data', 'spBv1.0/plant/DDATA/line1/001', 2],
    ['device death', 'spBv1.0/plant/DDEATH/line1/001', 3],
    ['will 2', 'spBv1.0/plant/NDEATH/line1', undefined],
    ['node birth 2', 'spBv1.0/plant/NBIRTH/line1', 0],
    ['device birth 2', 'spBv1.0/plant/DBIRTH/line1/001', 1],
    ['historical data', 'spBv1.0/plant/DDATA/line1/001', 2],
  ];
  assert.deepStrictEqual(
    messages.map((m) => [m.what, m.topic, m.decoded.seq === undefined ? undefined : number(m.decoded.seq)]),
    expected,
  );
  for (const m of messages) assert.ok(number(m.decoded.timestamp) >= start, `${m.what} has its time`);
});

test('the node birth carries bdSeq as in its will, Node Control/Rebirth false and the node metrics', () => {
  for (const [will, birth, bdSeq] of [['will 1', 'node birth 1', 0], ['will 2', 'node birth 2', 1]]) {
    const death = metricsOf(will);
    assert.deepStrictEqual(death.map((m) => [m.name, m.type, number(m.value)]), [['bdSeq', 'UInt64', bdSeq]]);
    const metrics = metricsOf(birth);
    assert.deepStrictEqual(
      metrics.map((m) => [m.name, m.type, number(m.value)]),
      [['bdSeq', 'UInt64', bdSeq], ['Node Control/Rebirth', 'Boolean', false], ['Line/Port', 'String', '/dev/ttyS0']],
    );
    for (const m of metrics) assert.ok(m.alias > 0 && m.timestamp >= start, `${birth}: ${m.name}`);
  }
});

test('a device birth gives every point with name, alias, UInt16 and the read time; a rebirth the same aliases', () => {
  const expected = [['001M001', 5, start - 20], ['001O001', 1, start - 10], ['001A009', 201, start - 5]];
  const first = metricsOf('device birth 1');
  assert.deepStrictEqual(first.map((m) => [m.name, m.value, m.timestamp]), expected);
  for (const m of first) assert.strictEqual(m.type, 'UInt16');
  const aliases = [...metricsOf('node birth 1'), ...first].map((m) => m.alias);
  assert.strictEqual(new Set(aliases).size, aliases.length, 'aliases unique over the node');
  assert.deepStrictEqual(metricsOf('device birth 2').map((m) => m.alias), first.map((m) => m.alias));
});

test('device data holds only the change, by alias, and the kept changes come as historical metrics in order', () => {
  assert.deepStrictEqual(
    metricsOf('device data').map((m) => [m.name, m.alias, m.type, m.value, m.timestamp, m.isHistorical]),
    [[undefined, aliasOf('001M001'), 'UInt16', 6, start + 100, undefined]],
  );
  assert.deepStrictEqual(metricsOf('device death'), []);
  // The store held two: the oldest of three changes was dropped.
  assert.deepStrictEqual(
    metricsOf('historical data').map((m) => [m.alias, m.value, m.timestamp, m.isHistorical]),
    [[aliasOf('001M001'), 8, start + 308, true], [aliasOf('001M001'), 9, start + 309, true]],
  );
});

const judge = (topic, payload) =>
  JSON.parse(execFileSync(peer, ['judge', topic], { input: Buffer.from(sparkplug.encodePayload(payload)) }));

test('commands written by the peer are judged', () => {
  const ncmd = 'spBv1.0/plant/NCMD/line1';
  const dcmd = 'spBv1.0/plant/DCMD/line1/001';
  const metric = (fields) => ({ timestamp: start, metrics: [{ type: 'UInt16', ...fields }] });
  const rows = [
    ['rebirth', ncmd, metric({ name: 'Node Control/Rebirth', type: 'Boolean', value: true }), 'rebirth', ''],
    ['reboot, never given', ncmd, metric({ name: 'Node Control/Reboot', type: 'Boolean', value: true }), 'refused',
      'gave no such metric'],
    ['write by alias', dcmd, metric({ alias: aliasOf('001M001'), value: 65535 }), 'writes', '001M001=65535'],
    ['write by name', dcmd, metric({ name: '001O001', value: 1 }), 'writes', '001O001=1'],
    ['an input', dcmd, metric({ name: '001A009', value: 3 }), 'refused', 'may not be written'],
    ['above UInt16', dcmd, metric({ alias: aliasOf('001M001'), value: 70000 }), 'refused', 'more than point 001M001'],
    ['Int16', dcmd, metric({ name: '001M001', type: 'Int16', value: 1 }), 'refused', 'datatype 2, its birth gave 6'],
  ];
  for (const [what, topic, payload, verdict, detail] of rows) {
    const judged = judge(topic, payload);
    assert.strictEqual(judged.verdict, verdict, `${what}: ${judged.reason}`);
    if (verdict === 'refused') assert.ok(judged.reason.includes(detail), `${what}: ${judged.reason}`);
    const writes = judged.writes.map((w) => `${w.address}=${w.value}`).join(' ');
    assert.strictEqual(writes, verdict === 'writes' ? detail : '', what);
  }
});
