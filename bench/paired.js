'use strict';
// Times two commands in alternating pairs and prints the medians. Usage:
//   node paired.js [--silent] RUNS NAME_A INPUT_A -- CMD_A... ++ NAME_B INPUT_B -- CMD_B...
// INPUT is a file whose bytes go to the command's standard input ("-" for none). A command that prints
// nothing counts as failed, unless --silent says that printing nothing is its job.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');

function parseCommand(words) {
  const [name, input, dashes, ...argv] = words;
  if (dashes !== '--' || argv.length === 0) throw new Error('expected NAME INPUT -- COMMAND...');
  return { name, input: input === '-' ? '' : fs.readFileSync(input), argv };
}

const silent = process.argv[2] === '--silent';

function timeOnce({ input, argv }) {
  const start = process.hrtime.bigint();
  const run = spawnSync(argv[0], argv.slice(1), { input, stdio: ['pipe', 'pipe', 'ignore'] });
  const ms = Number(process.hrtime.bigint() - start) / 1e6;
  // A command that answers without reading its input is fine: EPIPE on the input is not a failure.
  const failed = run.error && run.error.code !== 'EPIPE';
  if (failed || (!silent && (!run.stdout || run.stdout.length === 0))) {
    throw new Error(`${argv.join(' ')} printed nothing`);
  }
  return ms;
}

const median = (xs) => {
  const s = [...xs].sort((a, b) => a - b);
  const mid = s.length >> 1;
  return s.length % 2 ? s[mid] : (s[mid - 1] + s[mid]) / 2;
};

const [runsText, ...rest] = process.argv.slice(silent ? 3 : 2);
const split = rest.indexOf('++');
const a = parseCommand(rest.slice(0, split));
const b = parseCommand(rest.slice(split + 1));
const runs = Number(runsText);
timeOnce(a); // warm the page cache before anything counts
timeOnce(b);
const times = { a: [], b: [] };
for (let i = 0; i < runs; i += 1) {
  // Alternate which goes first so that neither always runs on a warmer machine.
  if (i % 2) { times.b.push(timeOnce(b)); times.a.push(timeOnce(a)); }
  else { times.a.push(timeOnce(a)); times.b.push(timeOnce(b)); }
}
const ma = median(times.a);
const mb = median(times.b);
console.log(`${a.name.padEnd(28)} median ${ma.toFixed(2)} ms`);
console.log(`${b.name.padEnd(28)} median ${mb.toFixed(2)} ms`);
console.log(`ratio ${(mb / ma).toFixed(3)}, difference ${(mb - ma).toFixed(2)} ms over ${runs} pairs`);
