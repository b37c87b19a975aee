// The console's figures in headless chromium: from navigation to a rendered
// Points page of a full station (554 points), the main thread's busy share
// and the page's memory while the 554 points are polled every second.
// Prints them; asserts nothing (timing belongs in the benchmarks, not the
// tests). CONSOLE_BENCH_SECONDS sets how long memory is watched (default
// 180; 600 for the ten minutes).
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const harness = require('./console_harness.js');

const watchSeconds = Number(process.env.CONSOLE_BENCH_SECONDS || 180);
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const metric = async (cdp, name) => (await cdp.send('Performance.getMetrics')).metrics.find((m) => m.name === name).value;

(async () => {
  const sim = await harness.startSimulator(['--baud', '57600']);
  // Every point of a station: 554.
  const types = { A: [9, 12], B: [1, 16], C: [1, 16], M: [1, 256], O: [1, 12], S: [1, 250] };
  const lines = [];
  const ranges = JSON.parse(process.env.CONSOLE_BENCH_RANGES || 'null') || types;
  for (const [type, [first, last]] of Object.entries(ranges)) {
    for (let index = first; index <= last; index++) lines.push(`001${type}${String(index).padStart(3, '0')}`);
  }
  const points = path.join(harness.work, 'points');
  fs.writeFileSync(points, `${lines.join('\n')}\n`);
  const bridge = await harness.startBridge(['--port', sim.port, '--baud', '57600', '--no-mqtt', '--points', points,
    '--every', '1s']);
  const browser = await harness.launchBrowser();
  try {
    const polled = (await (await fetch(`${bridge.url}/api/v1/points`)).json()).points.length;
    // From navigation to every row drawn with its value.
    const rendered = [];
    const fetched = [];  // when the points' document had come
    for (let run = 0; run < 7; run++) {
      const page = await browser.newPage();
      await page.goto(`${bridge.url}/#/points`);
      await page.waitForFunction((n) => document.querySelectorAll('tbody tr[data-point]').length === n, {}, polled);
      rendered.push(await page.evaluate(() => performance.now()));
      fetched.push(await page.evaluate(() => performance.getEntriesByType('resource')
        .find((e) => e.name.endsWith('/api/v1/points')).responseEnd));
      await page.close();
    }
    const page = await browser.newPage();
    const cdp = await page.createCDPSession();
    await cdp.send('Performance.enable', { timeDomain: 'timeTicks' });
    await page.goto(`${bridge.url}/#/points`);
    await page.waitForFunction((n) => document.querySelectorAll('tbody tr[data-point]').length === n, {}, polled);
    await harness.sleep(5000);
    const line0 = await (await fetch(`${bridge.url}/api/v1/line`)).json();
    const task0 = await metric(cdp, 'TaskDuration');
    const wall0 = Date.now();
    await harness.sleep(60000);
    const task1 = await metric(cdp, 'TaskDuration');
    const wall1 = Date.now();
    const line1 = await (await fetch(`${bridge.url}/api/v1/line`)).json();
    const busy = (task1 - task0) / ((wall1 - wall0) / 1000);
    const readsPerSecond = (line1.exchanges - line0.exchanges) / ((wall1 - wall0) / 1000);
    const heap = [];
    const start = Date.now();
    while (Date.now() - start < watchSeconds * 1000) {
      await cdp.send('HeapProfiler.collectGarbage');
      heap.push([Math.round((Date.now() - start) / 1000), await metric(cdp, 'JSHeapUsedSize'),
        await metric(cdp, 'Nodes')]);
      await harness.sleep(Math.min(30000, watchSeconds * 1000 / 6));
    }
    console.log(JSON.stringify({
      pointsPolled: polled,
      renderedMs: { median: Math.round(median(rendered)), max: Math.round(Math.max(...rendered)), runs: rendered.map(Math.round) },
      pointsFetchedMs: { median: Math.round(median(fetched)), runs: fetched.map(Math.round) },
      mainThreadBusy: Number(busy.toFixed(3)),
      readsPerSecond: Math.round(readsPerSecond),
      lineBusy: line1.health.lineBusy,
      heapAfterGarbageCollection: heap.map(([s, bytes, nodes]) => ({ s, kib: Math.round(bytes / 1024), nodes })),
    }, null, 1));
  } finally {
    await browser.close();
    harness.stopAll();
  }
})();
