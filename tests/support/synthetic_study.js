// Writes a synthetic expression study with sample annotations, the shape of a
// public cohort: samples in groups (a lineage column) that each raise one
// pattern, a batch column and a number.
//   node synthetic_study.js OUT_DIR SAMPLES GENES [SEED] [--batch-effect]
// OUT_DIR/data.tsv, OUT_DIR/unc.tsv (gene x sample, tab-separated),
// OUT_DIR/annotations.tsv (sample, lineage, batch, age; a few NA).
// Lineages: four of unequal size (B-ALL, T-ALL, AML, MPAL), the samples
// shuffled; each lineage raises its own pattern. Batches: three, drawn at
// random; with --batch-effect the third adds a pattern of its own. Age
// follows the AML pattern loosely. Deterministic for a seed.
'use strict';
const fs = require('fs');
const path = require('path');

function rng(seed) {  // mulberry32
  let a = seed >>> 0;
  return () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = a;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

function main() {
  const args = process.argv.slice(2).filter((a) => !a.startsWith('--'));
  const batchEffect = process.argv.includes('--batch-effect');
  const [out, samplesText, genesText, seedText] = args;
  const S = Number(samplesText), G = Number(genesText), seed = Number(seedText || 7);
  if (!out || !(S >= 8) || !(G >= 8)) {
    console.error('usage: node synthetic_study.js OUT_DIR SAMPLES GENES [SEED] [--batch-effect]');
    process.exit(2);
  }
  const u = rng(seed);
  const normal = () => Math.sqrt(-2 * Math.log(u() + 1e-12)) * Math.cos(2 * Math.PI * u());
  const lineages = ['B-ALL', 'T-ALL', 'AML', 'MPAL'];
  const shares = [0.4, 0.3, 0.2, 0.1];
  const group = [];
  lineages.forEach((_, k) => { for (let i = 0; i < Math.round(shares[k] * S); i++) group.push(k); });
  while (group.length < S) group.push(0);
  group.length = S;
  for (let i = S - 1; i > 0; i--) {  // shuffle: the file's order is not the groups'
    const j = Math.floor(u() * (i + 1));
    [group[i], group[j]] = [group[j], group[i]];
  }
  const digits = String(S).length;
  const labels = group.map((_, s) => 'S' + String(s + 1).padStart(digits, '0'));
  const batch = group.map(() => Math.floor(u() * 3));
  const K = lineages.length + (batchEffect ? 1 : 0);
  // Patterns over samples: each lineage raises its own; the batch pattern its batch.
  const H = [];
  for (let k = 0; k < K; k++) {
    H.push(group.map((g, s) => {
      const on = k < lineages.length ? g === k : batch[s] === 2;
      return (on ? 1.0 : 0.05) * (0.7 + 0.6 * u());
    }));
  }
  // Amplitudes: each gene strong in one pattern, weak in the others.
  const A = [];
  for (let g = 0; g < G; g++) {
    const own = g % K;
    A.push(Array.from({length: K}, (_, k) => (k === own ? 5 + 10 * u() : 0.3 * u())));
  }
  const data = [], unc = [];
  let mean = 0;
  const clean = [];
  for (let g = 0; g < G; g++) {
    const row = [];
    for (let s = 0; s < S; s++) {
      let x = 0;
      for (let k = 0; k < K; k++) x += A[g][k] * H[k][s];
      row.push(x);
      mean += x / (G * S);
    }
    clean.push(row);
  }
  for (let g = 0; g < G; g++) {
    const d = [], e = [];
    for (let s = 0; s < S; s++) {
      const sigma = 0.1 * clean[g][s] + 0.05 * mean;
      d.push(Math.max(1e-6, clean[g][s] + sigma * normal()).toPrecision(6));
      e.push(sigma.toPrecision(6));
    }
    data.push(d);
    unc.push(e);
  }
  fs.mkdirSync(out, {recursive: true});
  const table = (rows) => ['gene\t' + labels.join('\t')]
    .concat(rows.map((r, g) => 'g' + (g + 1) + '\t' + r.join('\t'))).join('\n') + '\n';
  fs.writeFileSync(path.join(out, 'data.tsv'), table(data));
  fs.writeFileSync(path.join(out, 'unc.tsv'), table(unc));
  const lines = ['sample\tlineage\tbatch\tage'];
  labels.forEach((l, s) => {
    const age = Math.round(30 + 25 * H[2][s] + 8 * normal());
    const na = u() < 0.03;
    lines.push([l, lineages[group[s]], 'batch' + (batch[s] + 1), na ? 'NA' : String(age)].join('\t'));
  });
  fs.writeFileSync(path.join(out, 'annotations.tsv'), lines.join('\n') + '\n');
}

main();
