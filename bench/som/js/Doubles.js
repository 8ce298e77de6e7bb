// Double arithmetic: the midpoint rule for the integral of 4 / (1 + x * x) over [0, 1].
'use strict';
function integrate(steps) {
  const h = 1.0 / steps;
  let sum = 0.0;
  for (let i = 0; i < steps; i++) {
    const x = (i + 0.5) * h;
    sum = sum + 4.0 / (1.0 + x * x);
  }
  return sum * h;
}
const n = parseInt(process.argv[2], 10);
let pi = 0.0;
for (let r = 0; r < n; r++) pi = integrate(200000);
console.log(String(Math.trunc(pi * 1000000000)));
