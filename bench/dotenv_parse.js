// Throughput of the dotenv package's parse on one file: warm-up, then the best of several runs.
// Usage: node bench/dotenv_parse.js FILE  ->  prints "dotenv_parse_MBps <number>"
'use strict';
const fs = require('fs');
const dotenv = require('dotenv');

const text = fs.readFileSync(process.argv[2], 'utf8');
const megabytes = Buffer.byteLength(text, 'utf8') / 1e6;
let keys = 0;
for (let i = 0; i < 3; i++) keys = Object.keys(dotenv.parse(text)).length;
let best = Infinity;
for (let i = 0; i < 7; i++) {
  const start = process.hrtime.bigint();
  dotenv.parse(text);
  best = Math.min(best, Number(process.hrtime.bigint() - start) / 1e9);
}
console.log(`dotenv_parse_MBps ${(megabytes / best).toFixed(1)} keys ${keys}`);
