// Loads DIR/report.html from file:// in headless Chromium and fails on any
// console error, page error or failed request; checks that every chart drew
// its marks and that the suggested count shown is survey.json's; saves a
// screenshot.  node report_browser.js CHROMIUM DIR SCREENSHOT [CHART_ID,...] [--samples]
// The listed charts must be there; no other chart may be missing its marks.
// With --samples, each count's sample chart is checked as a reader sees it:
// a track per annotation column drawn and named in the legend, sample labels
// whose boxes do not overlap, the heatmap one image, and a tooltip on a
// hovered heatmap cell naming the two samples (or blocks) under the pointer,
// their consensus and their annotations.
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const puppeteer = require('puppeteer-core');

// The boxes of a group of labels that overlap, as "label a / label b".
function Overlaps(boxes) {
  const out = [];
  for (let i = 0; i < boxes.length; i++)
    for (let j = i + 1; j < boxes.length; j++) {
      const a = boxes[i], b = boxes[j];
      // Half a pixel of slack for antialiased glyph edges.
      if (a.left < b.right - 0.5 && b.left < a.right - 0.5 && a.top < b.bottom - 0.5 && b.top < a.bottom - 0.5)
        out.push(`"${a.text}" / "${b.text}"`);
    }
  return out;
}

async function CheckSampleCharts(page, survey, problems) {
  const columns = survey.annotations ? survey.annotations.columns.map((c) => c.name) : [];
  for (const c of survey.counts) {
    if (!c.clusters) continue;
    const id = `k${c.patterns}_samples`;
    const found = await page.$eval('#' + id, (div) => {
      const boxes = (cls) => Array.from(div.querySelectorAll(`g.${cls} text`)).map((t) => {
        const r = t.getBoundingClientRect();
        return {text: t.textContent, left: r.left, right: r.right, top: r.top, bottom: r.bottom};
      });
      const tracks = [];
      for (let i = 0; div.querySelector(`g.track${i}_marks`); i++)
        tracks.push(div.querySelectorAll(`g.track${i}_marks path`).length);
      return {x: boxes('xlabels_marks'), y: boxes('ylabels_marks'), tracks,
              texts: Array.from(div.querySelectorAll('text')).map((t) => t.textContent),
              cells: div.querySelectorAll('g.cells_marks image').length};
    }).catch(() => null);
    if (!found) { problems.push(`no chart ${id}`); continue; }
    // The clusters' track, then one per column, each drawn.
    if (found.tracks.length !== 1 + columns.length)
      problems.push(`${id}: ${found.tracks.length} tracks, expected ${1 + columns.length}`);
    found.tracks.forEach((n, i) => { if (n === 0) problems.push(`${id}: track ${i} drew nothing`); });
    for (const name of columns)
      if (!found.texts.includes(name + ':')) problems.push(`${id}: no legend for column ${name}`);
    if (found.cells !== 1) problems.push(`${id}: ${found.cells} heatmap images, expected one`);
    for (const [axis, boxes] of [['x', found.x], ['y', found.y]]) {
      if (boxes.length === 0) problems.push(`${id}: no ${axis} labels`);
      for (const o of Overlaps(boxes)) problems.push(`${id}: ${axis} labels overlap: ${o}`);
    }
    // A heatmap cell off the diagonal, a third of the way in, hovered: the
    // tooltip names the samples (or blocks) under the pointer.
    const image = await page.$('#' + id + ' g.cells_marks image');
    await image.scrollIntoView();
    const box = await image.boundingBox();
    const n = c.consensus_blocks ? c.consensus_blocks.blocks : survey.samples;
    const [i, j] = [Math.floor(n / 3), Math.floor((2 * n) / 3)];
    await page.mouse.move(box.x + (j + 0.5) * box.width / n, box.y + (i + 0.5) * box.height / n);
    const tip = await page.waitForSelector('#zarno-tooltip.visible', {timeout: 5000})
      .then((e) => e.evaluate((t) => Array.from(t.querySelectorAll('tr')).map(
        (r) => [r.cells[0].textContent, r.cells[1].textContent]))).catch(() => []);
    const row = Object.fromEntries(tip);
    const unit = (k) => {
      if (!c.consensus_blocks) return survey.sample_labels[c.sample_order_index[k]];
      const from = k * c.consensus_blocks.size;
      return survey.sample_labels[c.sample_order_index[from]];
    };
    const what = c.consensus_blocks ? 'samples' : 'sample';
    if (!(row[what + ' (row)'] || '').startsWith(unit(i)) || !(row[what + ' (column)'] || '').startsWith(unit(j)))
      problems.push(`${id}: hovering cell ${i},${j} shows ${JSON.stringify(tip)}, not ${unit(i)} and ${unit(j)}`);
    if (!/^[01]\.\d{3}$/.test(row[c.consensus_blocks ? 'mean consensus' : 'consensus'] || ''))
      problems.push(`${id}: the tooltip gives no consensus (${JSON.stringify(tip)})`);
    for (const name of columns)
      if (!((name + ' (row)') in row)) problems.push(`${id}: the tooltip does not give column ${name}`);
    await page.mouse.move(0, 0);
  }
}

async function main() {
  const args = process.argv.slice(2).filter((a) => a !== '--samples');
  const samples = process.argv.includes('--samples');
  const [chromium, dir, shot, required] = args;
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
    // Only the page itself may be loaded (and the images it holds): anything
    // else would need a network.
    const url = 'file://' + path.resolve(dir, 'report.html');
    page.on('request', (r) => {
      if (r.url() !== url && !r.url().startsWith('data:')) problems.push('request: ' + r.url());
    });
    await page.goto(url, {waitUntil: 'load'});
    await page.waitForSelector('body[data-charts]', {timeout: 60000});
    const charts = await page.$$eval('div.chart', (divs) => divs.map((d) => ({
      id: d.id,
      marks: d.querySelectorAll('svg g.mark-rect path, svg g.mark-line path, svg g.mark-symbol path,' +
                                ' svg g.mark-rule line, svg g.mark-area path, svg g.mark-image image').length,
    })));
    if (charts.length === 0) problems.push('no chart on the page');
    for (const c of charts) if (c.marks === 0) problems.push('chart ' + c.id + ' drew no marks');
    const declared = await page.$eval('body', (b) => Number(b.getAttribute('data-charts')));
    if (declared !== charts.length) problems.push(`${declared} views but ${charts.length} chart containers`);
    const shown = await page.$eval('#suggested', (e) => ({value: e.getAttribute('data-value'), text: e.textContent}));
    const expected = survey.suggested_patterns;
    const want = expected === null ? 'null' : String(expected);
    if (shown.value !== want) problems.push(`suggested count shown ${shown.value}, survey.json ${want}`);
    if (shown.text !== (expected === null ? 'none' : want)) problems.push(`suggested text "${shown.text}"`);
    for (const id of (required || '').split(',').filter((x) => x))
      if (!charts.some((c) => c.id === id)) problems.push('missing chart ' + id);
    await page.screenshot({path: shot, fullPage: true});
    if (samples) await CheckSampleCharts(page, survey, problems);
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
