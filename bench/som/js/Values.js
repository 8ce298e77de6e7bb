// Closure calls: a closure without arguments called in a loop, counting in an outer variable.
'use strict';
const n = parseInt(process.argv[2], 10);
let count = 0;
const block = () => { count = count + 1; };
for (let r = 0; r < n; r++)
  for (let i = 1; i <= 200000; i++) block();
console.log(String(count));
