// How long headless Chromium takes to open a report: per load, the time from
// navigation to the charts of the first screen drawn and to every chart
// drawn (the page marks each chart as it is drawn), and the median of N loads.
//   node report_open.js CHROMIUM REPORT.html [LOADS]
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const puppeteer = require('puppeteer-core');

const median = (v) => { const s = [...v].sort((a, b) => a - b); return s[Math.floor(s.length / 2)]; };

async function main() {
  const [chromium, report, loadsText] = process.argv.slice(2);
  const loads = Number(loadsText || 5);
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'zarno-open-'));
  const browser = await puppeteer.launch({executablePath: chromium, headless: true, userDataDir: profile,
                                          args: ['--headless', '--no-sandbox', '--disable-gpu']});
  const first = [], all = [], parsed = [];
  try {
    for (let i = 0; i < loads; i++) {
      const page = await browser.newPage();
      await page.setViewport({width: 1280, height: 900});
      await page.goto('file://' + path.resolve(report), {waitUntil: 'load', timeout: 120000});
      await page.waitForSelector('body[data-charts]', {timeout: 120000});
      const t = await page.evaluate(() => {
        const marks = {};
        for (const m of performance.getEntriesByType('mark')) marks[m.name.replace('zarno-chart ', '')] = m.startTime;
        const onScreen = Array.from(document.querySelectorAll('div.chart'))
          .filter((d) => d.getBoundingClientRect().top < window.innerHeight).map((d) => marks[d.id]);
        const nav = performance.getEntriesByType('navigation')[0];
        return {first: Math.max(...onScreen), all: Math.max(...Object.values(marks)), parsed: nav.domInteractive};
      });
      first.push(t.first);
      all.push(t.all);
      parsed.push(t.parsed);
      await page.close();
    }
  } finally {
    await browser.close();
    fs.rmSync(profile, {recursive: true, force: true});
  }
  const s = (v) => (median(v) / 1000).toFixed(2);
  console.log(`${report}: ${(fs.statSync(report).size / 1e6).toFixed(1)} MB; median of ${loads} loads: ` +
              `page parsed ${s(parsed)} s, first screen drawn ${s(first)} s, every chart drawn ${s(all)} s`);
}

main().catch((e) => { console.error(e); process.exit(1); });
