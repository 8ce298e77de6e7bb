// Double arithmetic: the Mandelbrot set over a 200 x 200 grid of [-1.5, 0.5] x [-1, 1], at most
// 50 iterations a point; answers the points that stay bounded, summed over the rounds.
'use strict';
function count(size) {
  let inside = 0;
  for (let y = 0; y < size; y++) {
    const ci = 2.0 * y / size - 1.0;
    for (let x = 0; x < size; x++) {
      const cr = 2.0 * x / size - 1.5;
      let zr = 0.0, zi = 0.0, tr = 0.0, ti = 0.0;
      for (let i = 0; i < 50 && tr + ti <= 4.0; i++) {
        zi = 2.0 * zr * zi + ci;
        zr = tr - ti + cr;
        tr = zr * zr;
        ti = zi * zi;
      }
      if (tr + ti <= 4.0) inside++;
    }
  }
  return inside;
}
const n = parseInt(process.argv[2], 10);
let sum = 0;
for (let r = 0; r < n; r++) sum += count(200);
console.log(String(sum));
