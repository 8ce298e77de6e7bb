// Calls through a polymorphic site: one site meets four receiver classes in turn.
'use strict';
class PicA { step(x) { return x + 1; } }
class PicB { step(x) { return x + 2; } }
class PicC { step(x) { return x & 7; } }
class PicD { step(x) { return 3; } }
const n = parseInt(process.argv[2], 10);
const shapes = [new PicA(), new PicB(), new PicC(), new PicD()];
let sum = 0;
for (let r = 0; r < n; r++)
  for (let i = 1; i <= 100000; i++) sum += shapes[i & 3].step(i);
console.log(String(sum));
