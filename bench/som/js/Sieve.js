// Array reads and writes: the sieve of Eratosthenes over an Array of 4000 flags.
'use strict';
function primesUpTo(size) {
  const flags = new Array(size + 1).fill(true);
  let count = 0;
  for (let i = 2; i <= size; i++) {
    if (!flags[i]) continue;
    count++;
    for (let k = i + i; k <= size; k += i) flags[k] = false;
  }
  return count;
}
const n = parseInt(process.argv[2], 10);
let count = 0;
for (let r = 0; r < n; r++) count = primesUpTo(4000);
console.log(String(count));
