// Double arithmetic: the Sun and the four gas giants, advanced 1000 steps of 0.01 each round
// from the same start; answers the system's energy after the last round, times 10^9, truncated.
'use strict';
const solarMass = 39.47841760435743, daysPerYear = 365.24;
class Body {
  constructor(x, y, z, vx, vy, vz, mass) {
    this.x = x; this.y = y; this.z = z;
    this.vx = vx * daysPerYear; this.vy = vy * daysPerYear; this.vz = vz * daysPerYear;
    this.mass = mass * solarMass;
  }
}
class NBodySystem {
  constructor() {
    this.bodies = [
      new Body(0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0),
      new Body(4.84143144246472090, -1.16032004402742839, -0.103622044471123109, 0.00166007664274403694,
               0.00769901118419740425, -0.0000690460016972063023, 0.000954791938424326609),
      new Body(8.34336671824457987, 4.12479856412430479, -0.403523417114321381, -0.00276742510726862411,
               0.00499852801234917238, 0.0000230417297573763929, 0.000285885980666130812),
      new Body(12.8943695621391310, -15.1111514016986312, -0.223307578892655734, 0.00296460137564761618,
               0.00237847173959480950, -0.0000296589568540237556, 0.0000436624404335156298),
      new Body(15.3796971148509165, -25.9193146099879641, 0.179258772950371181, 0.00268067772490389322,
               0.00162824170038242295, -0.0000951592254519715870, 0.0000515138902046611451)];
    let px = 0.0, py = 0.0, pz = 0.0;
    for (const b of this.bodies) {
      px = px + b.vx * b.mass;
      py = py + b.vy * b.mass;
      pz = pz + b.vz * b.mass;
    }
    const sun = this.bodies[0];
    sun.vx = 0.0 - px / solarMass;
    sun.vy = 0.0 - py / solarMass;
    sun.vz = 0.0 - pz / solarMass;
  }
  advance(dt) {
    const bodies = this.bodies, n = bodies.length;
    for (let i = 0; i < n; i++) {
      const bi = bodies[i];
      for (let j = i + 1; j < n; j++) {
        const bj = bodies[j];
        const dx = bi.x - bj.x, dy = bi.y - bj.y, dz = bi.z - bj.z;
        const d2 = dx * dx + dy * dy + dz * dz;
        const mag = dt / (d2 * Math.sqrt(d2));
        bi.vx = bi.vx - dx * bj.mass * mag;
        bi.vy = bi.vy - dy * bj.mass * mag;
        bi.vz = bi.vz - dz * bj.mass * mag;
        bj.vx = bj.vx + dx * bi.mass * mag;
        bj.vy = bj.vy + dy * bi.mass * mag;
        bj.vz = bj.vz + dz * bi.mass * mag;
      }
    }
    for (const b of bodies) {
      b.x = b.x + dt * b.vx;
      b.y = b.y + dt * b.vy;
      b.z = b.z + dt * b.vz;
    }
  }
  energy() {
    const bodies = this.bodies, n = bodies.length;
    let e = 0.0;
    for (let i = 0; i < n; i++) {
      const bi = bodies[i];
      e = e + 0.5 * bi.mass * (bi.vx * bi.vx + bi.vy * bi.vy + bi.vz * bi.vz);
      for (let j = i + 1; j < n; j++) {
        const bj = bodies[j];
        const dx = bi.x - bj.x, dy = bi.y - bj.y, dz = bi.z - bj.z;
        e = e - bi.mass * bj.mass / Math.sqrt(dx * dx + dy * dy + dz * dz);
      }
    }
    return e;
  }
}
const n = parseInt(process.argv[2], 10);
let energy = 0.0;
for (let r = 0; r < n; r++) {
  const system = new NBodySystem();
  for (let k = 0; k < 1000; k++) system.advance(0.01);
  energy = system.energy();
}
console.log(String(Math.trunc(energy * 1000000000)));
