// Holds N live pages of orvgate's web view open in the machine's chromium
// for S seconds, for the cost figures (bench/web_cost.sh).
// usage: node hold_pages.js URL N S
'use strict';
const { chromium } = require('playwright-core');

const [url, n, seconds] = process.argv.slice(2);
(async () => {
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  const pages = [];
  for (let i = 0; i < Number(n); ++i) {
    // A browser context each: as four people's browsers, none sharing a connection.
    const context = await browser.newContext();
    const page = await context.newPage();
    await page.goto(url);
    await page.waitForSelector('#live.good');
    pages.push(page);
  }
  console.log(`pages: ${pages.length} live`);
  await new Promise((resolve) => setTimeout(resolve, Number(seconds) * 1000));
  await browser.close();
})();
