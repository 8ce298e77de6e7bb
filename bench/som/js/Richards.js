// A Richards-like scheduler: an idle task, a worker, two handlers and two devices passing
// packets; answers queue count x 10000 + hold count of the last round.
'use strict';
class Packet {
  constructor(link, id, kind) { this.link = link; this.id = id; this.kind = kind; this.a1 = 0; this.a2 = [0, 0, 0, 0]; }
  addTo(queue) {
    this.link = null;
    if (queue === null) return this;
    let next = queue;
    while (next.link !== null) next = next.link;
    next.link = this;
    return queue;
  }
}
// States: 0 running, 1 runnable, 2 suspended, 3 suspended and runnable; bit 4 held.
class Tcb {
  constructor(link, id, priority, queue, task) {
    this.link = link; this.id = id; this.priority = priority; this.queue = queue; this.task = task;
    this.state = queue !== null ? 3 : 2;
  }
  isHeldOrSuspended() { return (this.state & 4) !== 0 || this.state === 2; }
  run() {
    let packet = null;
    if (this.state === 3) {
      packet = this.queue;
      this.queue = packet.link;
      this.state = this.queue === null ? 0 : 1;
    }
    return this.task.run(packet);
  }
  checkPriorityAdd(t, packet) {
    if (this.queue === null) {
      this.queue = packet;
      this.state |= 1;
      if (this.priority > t.priority) return this;
    } else {
      this.queue = packet.addTo(this.queue);
    }
    return t;
  }
}
class Scheduler {
  constructor() { this.queueCount = 0; this.holdCount = 0; this.currentId = 0; this.blocks = [null, null, null, null, null, null]; this.list = null; this.currentTcb = null; }
  addTask(id, priority, queue, task) {
    this.currentTcb = this.list = this.blocks[id] = new Tcb(this.list, id, priority, queue, task);
  }
  schedule() {
    this.currentTcb = this.list;
    while (this.currentTcb !== null) {
      if (this.currentTcb.isHeldOrSuspended()) {
        this.currentTcb = this.currentTcb.link;
      } else {
        this.currentId = this.currentTcb.id;
        this.currentTcb = this.currentTcb.run();
      }
    }
  }
  release(id) {
    const tcb = this.blocks[id];
    if (tcb === null) return tcb;
    tcb.state &= ~4;
    return tcb.priority > this.currentTcb.priority ? tcb : this.currentTcb;
  }
  holdCurrent() {
    this.holdCount++;
    this.currentTcb.state |= 4;
    return this.currentTcb.link;
  }
  suspendCurrent() {
    this.currentTcb.state |= 2;
    return this.currentTcb;
  }
  queue(packet) {
    const t = this.blocks[packet.id];
    if (t === null) return t;
    this.queueCount++;
    packet.link = null;
    packet.id = this.currentId;
    return t.checkPriorityAdd(this.currentTcb, packet);
  }
}
class IdleTask {
  constructor(s, v1, count) { this.scheduler = s; this.v1 = v1; this.count = count; }
  run(packet) {
    if (--this.count === 0) return this.scheduler.holdCurrent();
    if ((this.v1 & 1) === 0) {
      this.v1 >>= 1;
      return this.scheduler.release(4);
    }
    this.v1 = (this.v1 >> 1) ^ 0xD008;
    return this.scheduler.release(5);
  }
}
class DeviceTask {
  constructor(s) { this.scheduler = s; this.v1 = null; }
  run(packet) {
    if (packet === null) {
      if (this.v1 === null) return this.scheduler.suspendCurrent();
      const v = this.v1;
      this.v1 = null;
      return this.scheduler.queue(v);
    }
    this.v1 = packet;
    return this.scheduler.holdCurrent();
  }
}
class WorkerTask {
  constructor(s) { this.scheduler = s; this.v1 = 2; this.v2 = 0; }
  run(packet) {
    if (packet === null) return this.scheduler.suspendCurrent();
    this.v1 = this.v1 === 2 ? 3 : 2;
    packet.id = this.v1;
    packet.a1 = 0;
    for (let k = 0; k < 4; k++) {
      if (++this.v2 > 26) this.v2 = 1;
      packet.a2[k] = this.v2;
    }
    return this.scheduler.queue(packet);
  }
}
class HandlerTask {
  constructor(s) { this.scheduler = s; this.v1 = null; this.v2 = null; }
  run(packet) {
    if (packet !== null) {
      if (packet.kind === 1) this.v1 = packet.addTo(this.v1);
      else this.v2 = packet.addTo(this.v2);
    }
    if (this.v1 !== null) {
      const count = this.v1.a1;
      if (count < 4) {
        if (this.v2 !== null) {
          const v = this.v2;
          this.v2 = this.v2.link;
          v.a1 = this.v1.a2[count];
          this.v1.a1 = count + 1;
          return this.scheduler.queue(v);
        }
      } else {
        const v = this.v1;
        this.v1 = this.v1.link;
        return this.scheduler.queue(v);
      }
    }
    return this.scheduler.suspendCurrent();
  }
}
function richardsOnce(count) {
  const s = new Scheduler();
  s.addTask(0, 0, null, new IdleTask(s, 1, count));
  s.currentTcb.state = 0;
  let q = new Packet(new Packet(null, 1, 1), 1, 1);
  s.addTask(1, 1000, q, new WorkerTask(s));
  q = new Packet(new Packet(new Packet(null, 4, 0), 4, 0), 4, 0);
  s.addTask(2, 2000, q, new HandlerTask(s));
  q = new Packet(new Packet(new Packet(null, 5, 0), 5, 0), 5, 0);
  s.addTask(3, 3000, q, new HandlerTask(s));
  s.addTask(4, 4000, null, new DeviceTask(s));
  s.addTask(5, 5000, null, new DeviceTask(s));
  s.schedule();
  return s.queueCount * 10000 + s.holdCount;
}
const n = parseInt(process.argv[2], 10);
let result = 0;
for (let r = 0; r < n; r++) result = richardsOnce(1000);
console.log(String(result));
