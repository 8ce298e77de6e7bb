// Calls by name: methods named by strings held in variables.
'use strict';
class Performer {
  seven() { return 7; }
  plus(x) { return x + 1; }
}
const n = parseInt(process.argv[2], 10);
const self = new Performer();
const unary = 'seven', binary = 'plus';
let sum = 0;
for (let r = 0; r < n; r++)
  for (let i = 1; i <= 100000; i++) sum = sum + self[unary]() + self[binary](i);
console.log(String(sum));
