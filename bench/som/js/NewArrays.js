// Array creation: Arrays of 1 to 16 elements made in a loop; answers the sum of their lengths.
'use strict';
const n = parseInt(process.argv[2], 10);
let total = 0;
for (let r = 0; r < n; r++)
  for (let i = 1; i <= 100000; i++) total += new Array((i & 15) + 1).fill(null).length;
console.log(String(total));
