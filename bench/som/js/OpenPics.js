// Calls through a megamorphic site: one site meets twelve receiver classes in turn.
'use strict';
class OpenA { step(x) { return x + 1; } }
class OpenB { step(x) { return x + 2; } }
class OpenC { step(x) { return x + 3; } }
class OpenD { step(x) { return x + 4; } }
class OpenE { step(x) { return x + 5; } }
class OpenF { step(x) { return x + 6; } }
class OpenG { step(x) { return x & 7; } }
class OpenH { step(x) { return x & 15; } }
class OpenI { step(x) { return x & 31; } }
class OpenJ { step(x) { return 1; } }
class OpenK { step(x) { return 2; } }
class OpenL { step(x) { return 3; } }
const n = parseInt(process.argv[2], 10);
const shapes = [new OpenA(), new OpenB(), new OpenC(), new OpenD(), new OpenE(), new OpenF(),
                new OpenG(), new OpenH(), new OpenI(), new OpenJ(), new OpenK(), new OpenL()];
let sum = 0;
for (let r = 0; r < n; r++)
  for (let i = 1; i <= 120000; i++) sum += shapes[i % 12].step(i);
console.log(String(sum));
