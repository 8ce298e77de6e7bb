// TempVectors.som in JavaScript: node TempVectors.js rounds
'use strict';
function fill(array, maker, sink) {
  for (let j = 1; j <= array.length; j++) array[j - 1] = maker(j);
  for (let j = 1; j <= array.length; j++) sink(array[j - 1]);
}
function build(i) {
  const base = i & 7;
  let sum = 0, count = 0;
  fill(new Array(8), (j) => i * j + base, (x) => { sum += x; count++; });
  return sum + count;
}
const n = parseInt(process.argv[2], 10);
let total = 0;
for (let r = 0; r < n; r++) for (let i = 1; i <= 20000; i++) total += build(i);
console.log(String(total));
