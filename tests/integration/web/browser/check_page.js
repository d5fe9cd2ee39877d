// orvgate's web view in the machine's chromium (driven by playwright-core,
// never a browser of its own): every channel and secondary good; a value
// changed in tiwaysim on the live page within a second; a secondary
// disconnected shown failing with the driver's error and since when, and
// good again once back. A screenshot of each state goes to OUT.
// usage: node check_page.js URL TIWAYSIM CONTROL OUT
'use strict';
const { chromium } = require('playwright-core');
const { execFileSync } = require('child_process');
const path = require('path');

const [url, sim, control, out] = process.argv.slice(2);
const send = (command) => execFileSync(sim, ['--send', control, command], { stdio: 'pipe' });
const rows = ['#channels tr[data-channel="1"]', '#channels tr[data-channel="2"]',
  '#secondaries tr[data-secondary="1/1"]', '#secondaries tr[data-secondary="1/2"]',
  '#secondaries tr[data-secondary="2/3"]'];

function stateOf(page, selector) {
  return page.$eval(selector, (tr) => tr.dataset.state).catch(() => 'absent');
}

async function step(name, fn) {
  const began = Date.now();
  await fn();
  console.log(`page: ${name} (${Date.now() - began} ms)`);
}

(async () => {
  const began = Date.now();
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  console.log(`page: chromium started (${Date.now() - began} ms)`);
  let failed = false;
  // The test's own probes are evaluated scripts, which the page's policy
  // forbids; the page's own errors (its policy's refusals among them) fail it.
  const page = await browser.newPage({ viewport: { width: 412, height: 900 }, bypassCSP: true }); // a phone's width
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  page.on('console', (m) => { if (m.type() === 'error') errors.push(m.text()); });
  try {
    await page.goto(url);
    console.log(`page: loaded (${Date.now() - began} ms)`);
    await step('every channel and secondary good', async () => {
      await page.waitForFunction((selectors) => selectors.every((s) => {
        const tr = document.querySelector(s);
        return tr && tr.dataset.state === 'good';
      }), rows, { timeout: 10000 });
    });
    await page.screenshot({ path: path.join(out, '1-all-good.png'), fullPage: true });

    // V1 of secondary 1 (holding 0 at unit 1): picked for the trend, then changed in the PLC.
    const v1 = await page.evaluate(() => [...document.querySelectorAll('#points tr[data-point]')]
      .find((tr) => tr.children[0].textContent.startsWith('01V0001 ')).dataset.point);
    await page.click(`#points tr[data-point="${v1}"]`);
    await step('a value changed in the PLC on the page', async () => {
      send('value 1 0x01 1 4321');
      const sent = Date.now();
      // Within a second on a quiet machine (the time is printed); the bound
      // is wider, since the builds of the test command share its processors.
      await page.waitForFunction((i) => document.querySelector(`#points tr[data-point="${i}"]`)
        .children[2].textContent === '4321', v1, { timeout: 10000 });
      const shown = Date.now() - sent;
      console.log(`page: 4321 shown ${shown} ms after tiwaysim took it${shown > 1000 ? ' (over a second)' : ''}`);
    });
    await page.screenshot({ path: path.join(out, '2-value-changed.png'), fullPage: true });

    await step('secondary 2 disconnected shows failing with the driver\'s error and since when', async () => {
      send('disconnect 2');
      await page.waitForFunction(() => {
        const tr = document.querySelector('#secondaries tr[data-secondary="1/2"]');
        return tr && tr.dataset.state === 'failing';
      }, null, { timeout: 10000 });
      const cells = await page.$$eval('#secondaries tr[data-secondary="1/2"] td', (tds) => tds.map((td) => td.textContent));
      if (!/disconnected from the network \(MHIU 0x0104\): ./.test(cells[5])) throw new Error(`error cell: ${cells[5]}`);
      if (!/^\d\d:\d\d:\d\d \(\d+ s\)$/.test(cells[3])) throw new Error(`since cell: ${cells[3]}`);
      for (const s of [rows[0], rows[2], rows[4]]) {
        if (await stateOf(page, s) !== 'good') throw new Error(`${s} is not good while only secondary 2 is off`);
      }
    });
    await page.screenshot({ path: path.join(out, '3-secondary-failing.png'), fullPage: true });

    await step('secondary 2 good again once back', async () => {
      send('reconnect 2');
      await page.waitForFunction(() => {
        const tr = document.querySelector('#secondaries tr[data-secondary="1/2"]');
        return tr && tr.dataset.state === 'good';
      }, null, { timeout: 10000 });
    });
    await page.screenshot({ path: path.join(out, '4-secondary-back.png'), fullPage: true });
    // The README's picture, at a desk's width.
    await page.setViewportSize({ width: 1000, height: 700 });
    await page.waitForTimeout(300);
    await page.screenshot({ path: path.join(out, 'desktop.png') });
    if (errors.length) throw new Error(`the page's errors: ${errors.join('; ')}`);
  } catch (e) {
    failed = true;
    console.error(`page: FAILED: ${e.message}`);
    await page.screenshot({ path: path.join(out, 'failure.png'), fullPage: true }).catch(() => {});
  }
  await browser.close();
  console.log(`page: done (${Date.now() - began} ms)`);
  process.exit(failed ? 1 : 0);
})();
