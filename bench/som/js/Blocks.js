// Closure evaluation: closures over outer variables handed to a function that calls them.
'use strict';
function apply(block, low, high) {
  let total = 0;
  for (let i = low; i <= high; i++) total += block(i);
  return total;
}
const n = parseInt(process.argv[2], 10);
let sum = 0;
for (let r = 0; r < n; r++) {
  const k = 3;
  sum += apply((x) => x * k + 1, 1, 100000);
}
console.log(String(sum));
