// Loads DIR/report.html from file:// in headless Chromium and fails on any
// console error, page error or failed request; checks that every chart drew
// its marks and that the suggested count shown is survey.json's; saves a
// screenshot.  node report_browser.js CHROMIUM DIR SCREENSHOT [CHART_ID,...]
// The listed charts must be there; no other chart may be missing its marks.
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const puppeteer = require('puppeteer-core');

async function main() {
  const [chromium, dir, shot, required] = process.argv.slice(2);
  const survey = JSON.parse(fs.readFileSync(path.join(dir, 'survey.json'), 'utf8'));
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'zarno-chromium-'));
  const problems = [];
  const browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    userDataDir: profile,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
           '--disable-component-update', '--disable-sync', '--no-first-run'],
  });
  try {
    const page = await browser.newPage();
    await page.setViewport({width: 1280, height: 900});
    page.on('console', (m) => { if (m.type() === 'error') problems.push('console: ' + m.text()); });
    page.on('pageerror', (e) => problems.push('page error: ' + e.message));
    page.on('requestfailed', (r) => problems.push('failed request: ' + r.url()));
    // Only the page itself may be loaded: anything else would need a network.
    const url = 'file://' + path.resolve(dir, 'report.html');
    page.on('request', (r) => { if (r.url() !== url) problems.push('request: ' + r.url()); });
    await page.goto(url, {waitUntil: 'load'});
    await page.waitForSelector('body[data-charts]', {timeout: 30000});
    const charts = await page.$$eval('div.chart', (divs) => divs.map((d) => ({
      id: d.id,
      marks: d.querySelectorAll('svg g.mark-rect path, svg g.mark-line path, svg g.mark-symbol path,' +
                                ' svg g.mark-rule line, svg g.mark-area path').length,
    })));
    if (charts.length === 0) problems.push('no chart on the page');
    for (const c of charts) if (c.marks === 0) problems.push('chart ' + c.id + ' drew no marks');
    const declared = await page.$eval('body', (b) => Number(b.getAttribute('data-charts')));
    if (declared !== charts.length) problems.push(`${declared} specs but ${charts.length} chart containers`);
    const shown = await page.$eval('#suggested', (e) => ({value: e.getAttribute('data-value'), text: e.textContent}));
    const expected = survey.suggested_patterns;
    const want = expected === null ? 'null' : String(expected);
    if (shown.value !== want) problems.push(`suggested count shown ${shown.value}, survey.json ${want}`);
    if (shown.text !== (expected === null ? 'none' : want)) problems.push(`suggested text "${shown.text}"`);
    for (const id of (required || '').split(',').filter((x) => x))
      if (!charts.some((c) => c.id === id)) problems.push('missing chart ' + id);
    await page.screenshot({path: shot, fullPage: true});
    console.log(`${charts.length} charts rendered; suggested ${want}; screenshot ${shot}`);
  } finally {
    await browser.close();
    fs.rmSync(profile, {recursive: true, force: true});
  }
  if (problems.length) {
    for (const p of problems) console.error(p);
    process.exit(1);
  }
}

main().catch((e) => { console.error(e); process.exit(1); });
