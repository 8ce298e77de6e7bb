// Hanoi.som in JavaScript: node Hanoi.js rounds
'use strict';
class Hanoi {
  solve(disks) {
    this.piles = [new Array(disks), new Array(disks), new Array(disks)];
    this.tops = [0, 0, 0];
    for (let d = disks; d >= 1; d--) this.push(d, 0);
    this.moves = 0;
    this.move(disks, 0, 2, 1);
    return this.moves * 100 + this.tops[2];
  }
  move(n, a, b, c) {
    if (n === 0) return;
    this.steps(() => this.move(n - 1, a, c, b),
               () => { this.push(this.popFrom(a), b); this.moves++; },
               () => this.move(n - 1, c, b, a));
  }
  steps(one, two, three) { one(); two(); three(); }
  push(disk, p) {
    const pile = this.piles[p];
    let top = this.tops[p];
    if (top > 0 && pile[top - 1] < disk) throw new Error('a disk on a smaller one');
    pile[top++] = disk;
    this.tops[p] = top;
  }
  popFrom(p) {
    const top = this.tops[p];
    const disk = this.piles[p][top - 1];
    this.tops[p] = top - 1;
    return disk;
  }
}
const n = parseInt(process.argv[2], 10);
const h = new Hanoi();
let answer = 0;
for (let r = 0; r < n; r++) answer = h.solve(12);
console.log(String(answer));
