// Double arithmetic: the 2-norm (largest singular value) of the 100 x 100 matrix
// A(i, j) = 1 / ((i + j)(i + j + 1) / 2 + i + 1), by ten rounds of the power method on A'A;
// answers the norm times 10^9, truncated.
'use strict';
function a(i, j) { return 1.0 / ((i + j) * (i + j + 1) / 2 + i + 1); }
function times(v, out, transposed) {
  const n = v.length;
  for (let i = 0; i < n; i++) {
    let sum = 0.0;
    for (let j = 0; j < n; j++) sum = sum + (transposed ? a(j, i) : a(i, j)) * v[j];
    out[i] = sum;
  }
}
function normalTimes(v, out) {
  const u = new Array(v.length);
  times(v, u, false);
  times(u, out, true);
}
function norm(n) {
  const u = new Array(n).fill(1.0), v = new Array(n);
  for (let k = 0; k < 10; k++) {
    normalTimes(u, v);
    normalTimes(v, u);
  }
  let vBv = 0.0, vv = 0.0;
  for (let i = 0; i < n; i++) {
    vBv = vBv + u[i] * v[i];
    vv = vv + v[i] * v[i];
  }
  return Math.sqrt(vBv / vv);
}
const rounds = parseInt(process.argv[2], 10);
let result = 0.0;
for (let r = 0; r < rounds; r++) result = norm(100);
console.log(String(Math.trunc(result * 1000000000)));
