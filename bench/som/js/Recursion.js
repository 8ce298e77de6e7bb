// Method-call recursion: fib(25) through method calls. Answers the sum over the rounds.
'use strict';
class Recursion {
  fib(n) { return n < 2 ? n : this.fib(n - 1) + this.fib(n - 2); }
}
const n = parseInt(process.argv[2], 10);
const r = new Recursion();
let sum = 0;
for (let k = 0; k < n; k++) sum += r.fib(25);
console.log(String(sum));
