// The SOM benchmark programs' algorithms in C++, compiled with -O2 for comparison. Each runs
// its workload n times and answers what its program prints. The round count arrives at run
// time and the dynamic parts (receiver classes, closures, selectors held in variables) stay
// dynamic, so the compiler cannot fold the work away.
#include "somNative.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

namespace {

// ---- Richards-like scheduler -----------------------------------------------------------------

struct Packet {
  Packet* link;
  int id, kind, a1 = 0;
  int a2[4] = {0, 0, 0, 0};
  Packet(Packet* l, int i, int k) : link(l), id(i), kind(k) {}
  Packet* addTo(Packet* queue) {
    link = nullptr;
    if (queue == nullptr) return this;
    Packet* next = queue;
    while (next->link != nullptr) next = next->link;
    next->link = this;
    return queue;
  }
};

struct Scheduler;
struct Task {
  Scheduler* scheduler;
  explicit Task(Scheduler* s) : scheduler(s) {}
  virtual ~Task() = default;
  virtual struct Tcb* run(Packet* packet) = 0;
};

// States: 0 running, 1 runnable, 2 suspended, 3 suspended and runnable; bit 4 held.
struct Tcb {
  Tcb* link;
  int id, priority;
  Packet* queue;
  Task* task;
  int state;
  Tcb(Tcb* l, int i, int p, Packet* q, Task* t) : link(l), id(i), priority(p), queue(q), task(t), state(q ? 3 : 2) {}
  bool isHeldOrSuspended() const { return (state & 4) != 0 || state == 2; }
  Tcb* run() {
    Packet* packet = nullptr;
    if (state == 3) {
      packet = queue;
      queue = packet->link;
      state = queue == nullptr ? 0 : 1;
    }
    return task->run(packet);
  }
  Tcb* checkPriorityAdd(Tcb* t, Packet* packet) {
    if (queue == nullptr) {
      queue = packet;
      state |= 1;
      if (priority > t->priority) return this;
    } else {
      queue = packet->addTo(queue);
    }
    return t;
  }
};

struct Scheduler {
  int queueCount = 0, holdCount = 0, currentId = 0;
  Tcb* blocks[6] = {};
  Tcb* list = nullptr;
  Tcb* currentTcb = nullptr;
  std::vector<std::unique_ptr<Tcb>> tcbs;
  std::vector<std::unique_ptr<Task>> tasks;
  std::vector<std::unique_ptr<Packet>> packets;

  void addTask(int id, int priority, Packet* queue, Task* task) {
    tasks.emplace_back(task);
    tcbs.emplace_back(new Tcb(list, id, priority, queue, task));
    currentTcb = list = blocks[id] = tcbs.back().get();
  }
  Packet* packet(Packet* link, int id, int kind) {
    packets.emplace_back(new Packet(link, id, kind));
    return packets.back().get();
  }
  void schedule() {
    currentTcb = list;
    while (currentTcb != nullptr) {
      if (currentTcb->isHeldOrSuspended()) {
        currentTcb = currentTcb->link;
      } else {
        currentId = currentTcb->id;
        currentTcb = currentTcb->run();
      }
    }
  }
  Tcb* release(int id) {
    Tcb* tcb = blocks[id];
    if (tcb == nullptr) return tcb;
    tcb->state &= ~4;
    return tcb->priority > currentTcb->priority ? tcb : currentTcb;
  }
  Tcb* holdCurrent() {
    holdCount++;
    currentTcb->state |= 4;
    return currentTcb->link;
  }
  Tcb* suspendCurrent() {
    currentTcb->state |= 2;
    return currentTcb;
  }
  Tcb* queue(Packet* packet) {
    Tcb* t = blocks[packet->id];
    if (t == nullptr) return t;
    queueCount++;
    packet->link = nullptr;
    packet->id = currentId;
    return t->checkPriorityAdd(currentTcb, packet);
  }
};

struct IdleTask : Task {
  int v1, count;
  IdleTask(Scheduler* s, int v, int c) : Task(s), v1(v), count(c) {}
  Tcb* run(Packet*) override {
    if (--count == 0) return scheduler->holdCurrent();
    if ((v1 & 1) == 0) {
      v1 >>= 1;
      return scheduler->release(4);
    }
    v1 = (v1 >> 1) ^ 0xD008;
    return scheduler->release(5);
  }
};

struct DeviceTask : Task {
  Packet* v1 = nullptr;
  using Task::Task;
  Tcb* run(Packet* packet) override {
    if (packet == nullptr) {
      if (v1 == nullptr) return scheduler->suspendCurrent();
      Packet* v = v1;
      v1 = nullptr;
      return scheduler->queue(v);
    }
    v1 = packet;
    return scheduler->holdCurrent();
  }
};

struct WorkerTask : Task {
  int v1 = 2, v2 = 0;
  using Task::Task;
  Tcb* run(Packet* packet) override {
    if (packet == nullptr) return scheduler->suspendCurrent();
    v1 = v1 == 2 ? 3 : 2;
    packet->id = v1;
    packet->a1 = 0;
    for (int& slot : packet->a2) {
      if (++v2 > 26) v2 = 1;
      slot = v2;
    }
    return scheduler->queue(packet);
  }
};

struct HandlerTask : Task {
  Packet* v1 = nullptr;
  Packet* v2 = nullptr;
  using Task::Task;
  Tcb* run(Packet* packet) override {
    if (packet != nullptr) {
      if (packet->kind == 1) v1 = packet->addTo(v1);
      else v2 = packet->addTo(v2);
    }
    if (v1 != nullptr) {
      int count = v1->a1;
      if (count < 4) {
        if (v2 != nullptr) {
          Packet* v = v2;
          v2 = v2->link;
          v->a1 = v1->a2[count];
          v1->a1 = count + 1;
          return scheduler->queue(v);
        }
      } else {
        Packet* v = v1;
        v1 = v1->link;
        return scheduler->queue(v);
      }
    }
    return scheduler->suspendCurrent();
  }
};

int64_t richardsOnce(int count) {
  Scheduler s;
  s.addTask(0, 0, nullptr, new IdleTask(&s, 1, count));
  s.currentTcb->state = 0;
  Packet* q = s.packet(s.packet(nullptr, 1, 1), 1, 1);
  s.addTask(1, 1000, q, new WorkerTask(&s));
  q = s.packet(s.packet(s.packet(nullptr, 4, 0), 4, 0), 4, 0);
  s.addTask(2, 2000, q, new HandlerTask(&s));
  q = s.packet(s.packet(s.packet(nullptr, 5, 0), 5, 0), 5, 0);
  s.addTask(3, 3000, q, new HandlerTask(&s));
  s.addTask(4, 4000, nullptr, new DeviceTask(&s));
  s.addTask(5, 5000, nullptr, new DeviceTask(&s));
  s.schedule();
  return int64_t(s.queueCount) * 10000 + s.holdCount;
}

// ---- the others ------------------------------------------------------------------------------

int64_t fib(int64_t n) { return n < 2 ? n : fib(n - 1) + fib(n - 2); }

struct Shape {
  virtual ~Shape() = default;
  virtual int64_t step(int64_t x) const = 0;
};
template <int K>
struct Plus : Shape {
  int64_t step(int64_t x) const override { return x + K; }
};
template <int M>
struct Masked : Shape {
  int64_t step(int64_t x) const override { return x & M; }
};
template <int K>
struct Constant : Shape {
  int64_t step(int64_t) const override { return K; }
};

__attribute__((noinline)) int64_t apply(const std::function<int64_t(int64_t)>& block, int64_t low, int64_t high) {
  int64_t total = 0;
  for (int64_t i = low; i <= high; i++) total += block(i);
  return total;
}

int64_t primesUpTo(int64_t size) {
  std::vector<char> flags(size_t(size) + 1, 1);
  int64_t count = 0;
  for (int64_t i = 2; i <= size; i++) {
    if (!flags[size_t(i)]) continue;
    count++;
    for (int64_t k = i + i; k <= size; k += i) flags[size_t(k)] = 0;
  }
  return count;
}

double integrate(int64_t steps) {
  double h = 1.0 / double(steps), sum = 0.0;
  for (int64_t i = 0; i < steps; i++) {
    double x = (double(i) + 0.5) * h;
    sum += 4.0 / (1.0 + x * x);
  }
  return sum * h;
}

struct Performer {
  int64_t seven() { return 7; }
  int64_t plus(int64_t x) { return x + 1; }
};

// Towers of disks, each step handed over as closures, as Hanoi.som does it.
struct Towers {
  int64_t piles[3][16] = {};
  int64_t tops[3] = {};
  int64_t moves = 0;
  void push(int64_t disk, int p) {
    if (tops[p] > 0 && piles[p][tops[p] - 1] < disk) abort();
    piles[p][tops[p]++] = disk;
  }
  int64_t popFrom(int p) { return piles[p][--tops[p]]; }
  static void steps(const std::function<void()>& one, const std::function<void()>& two, const std::function<void()>& three) {
    one();
    two();
    three();
  }
  void move(int64_t n, int a, int b, int c) {
    if (n == 0) return;
    steps([=, this] { move(n - 1, a, c, b); }, [=, this] { push(popFrom(a), b); moves++; }, [=, this] { move(n - 1, c, b, a); });
  }
  int64_t solve(int64_t disks) {
    *this = Towers();
    for (int64_t d = disks; d >= 1; d--) push(d, 0);
    move(disks, 0, 2, 1);
    return moves * 100 + tops[2];
  }
};

// An Array filled by one closure and read out through another that writes the caller's sum
// and count, as TempVectors.som does it.
void fillInto(std::vector<int64_t>& array, const std::function<int64_t(int64_t)>& maker,
              const std::function<void(int64_t)>& sink) {
  for (size_t j = 1; j <= array.size(); j++) array[j - 1] = maker(int64_t(j));
  for (size_t j = 1; j <= array.size(); j++) sink(array[j - 1]);
}
int64_t build(int64_t i) {
  int64_t base = i & 7, sum = 0, count = 0;
  std::vector<int64_t> array(8);
  fillInto(array, [=](int64_t j) { return i * j + base; }, [&](int64_t x) { sum += x; count++; });
  return sum + count;
}

}  // namespace

int64_t nativeRichards(int64_t n) {
  int64_t result = 0;
  for (int64_t r = 0; r < n; r++) result = richardsOnce(1000);
  return result;
}

int64_t nativeRecursion(int64_t n) {
  int64_t sum = 0;
  for (int64_t r = 0; r < n; r++) sum += fib(25);
  return sum;
}

int64_t nativeClosedPics(int64_t n) {
  Plus<1> a;
  Plus<2> b;
  Masked<7> c;
  Constant<3> d;
  const Shape* shapes[4] = {&a, &b, &c, &d};
  int64_t sum = 0;
  for (int64_t r = 0; r < n; r++)
    for (int64_t i = 1; i <= 100000; i++) sum += shapes[i & 3]->step(i);
  return sum;
}

int64_t nativeOpenPics(int64_t n) {
  Plus<1> a;
  Plus<2> b;
  Plus<3> c;
  Plus<4> d;
  Plus<5> e;
  Plus<6> f;
  Masked<7> g;
  Masked<15> h;
  Masked<31> i2;
  Constant<1> j;
  Constant<2> k;
  Constant<3> l;
  const Shape* shapes[12] = {&a, &b, &c, &d, &e, &f, &g, &h, &i2, &j, &k, &l};
  int64_t sum = 0;
  for (int64_t r = 0; r < n; r++)
    for (int64_t i = 1; i <= 120000; i++) sum += shapes[i % 12]->step(i);
  return sum;
}

int64_t nativeBlocks(int64_t n) {
  int64_t sum = 0;
  for (int64_t r = 0; r < n; r++) {
    int64_t k = 3;
    sum += apply([&k](int64_t x) { return x * k + 1; }, 1, 100000);
  }
  return sum;
}

int64_t nativeSieve(int64_t n) {
  int64_t count = 0;
  for (int64_t r = 0; r < n; r++) count = primesUpTo(4000);
  return count;
}

int64_t nativeDoubles(int64_t n) {
  double pi = 0.0;
  for (int64_t r = 0; r < n; r++) pi = integrate(200000);
  return int64_t(pi * 1000000000);
}

int64_t nativeNewArrays(int64_t n) {
  // Each array lives until sixteen more were made, so that the allocations stay.
  std::unique_ptr<int64_t[]> ring[16];
  int64_t total = 0;
  for (int64_t r = 0; r < n; r++)
    for (int64_t i = 1; i <= 100000; i++) {
      int64_t length = (i & 15) + 1;
      ring[i & 15].reset(new int64_t[size_t(length)]());
      total += length;
    }
  return total;
}

int64_t nativeValues(int64_t n) {
  int64_t count = 0;
  std::function<void()> block = [&count] { count++; };
  const std::function<void()>* volatile held = &block;
  for (int64_t r = 0; r < n; r++)
    for (int64_t i = 1; i <= 200000; i++) (*held)();
  return count;
}

int64_t nativePerforms(int64_t n) {
  Performer p;
  int64_t (Performer::*volatile unary)() = &Performer::seven;
  int64_t (Performer::*volatile binary)(int64_t) = &Performer::plus;
  int64_t sum = 0;
  for (int64_t r = 0; r < n; r++)
    for (int64_t i = 1; i <= 100000; i++) sum += (p.*unary)() + (p.*binary)(i);
  return sum;
}

int64_t nativeHanoi(int64_t n) {
  Towers t;
  int64_t answer = 0;
  for (int64_t r = 0; r < n; r++) answer = t.solve(12);
  return answer;
}

int64_t nativeTempVectors(int64_t n) {
  int64_t total = 0;
  for (int64_t r = 0; r < n; r++)
    for (int64_t i = 1; i <= 20000; i++) total += build(i);
  return total;
}

// ---- floating point --------------------------------------------------------------------------

namespace {

struct Body {
  double x, y, z, vx, vy, vz, mass;
};
constexpr double solarMass = 39.47841760435743, daysPerYear = 365.24;

Body body(double x, double y, double z, double vx, double vy, double vz, double mass) {
  return {x, y, z, vx * daysPerYear, vy * daysPerYear, vz * daysPerYear, mass * solarMass};
}

struct NBodySystem {
  std::vector<Body> bodies;
  NBodySystem() {
    bodies = {body(0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0),
              body(4.84143144246472090, -1.16032004402742839, -0.103622044471123109, 0.00166007664274403694,
                   0.00769901118419740425, -0.0000690460016972063023, 0.000954791938424326609),
              body(8.34336671824457987, 4.12479856412430479, -0.403523417114321381, -0.00276742510726862411,
                   0.00499852801234917238, 0.0000230417297573763929, 0.000285885980666130812),
              body(12.8943695621391310, -15.1111514016986312, -0.223307578892655734, 0.00296460137564761618,
                   0.00237847173959480950, -0.0000296589568540237556, 0.0000436624404335156298),
              body(15.3796971148509165, -25.9193146099879641, 0.179258772950371181, 0.00268067772490389322,
                   0.00162824170038242295, -0.0000951592254519715870, 0.0000515138902046611451)};
    double px = 0.0, py = 0.0, pz = 0.0;
    for (const Body& b : bodies) {
      px = px + b.vx * b.mass;
      py = py + b.vy * b.mass;
      pz = pz + b.vz * b.mass;
    }
    bodies[0].vx = 0.0 - px / solarMass;
    bodies[0].vy = 0.0 - py / solarMass;
    bodies[0].vz = 0.0 - pz / solarMass;
  }
  void advance(double dt) {
    size_t n = bodies.size();
    for (size_t i = 0; i < n; i++) {
      Body& bi = bodies[i];
      for (size_t j = i + 1; j < n; j++) {
        Body& bj = bodies[j];
        double dx = bi.x - bj.x, dy = bi.y - bj.y, dz = bi.z - bj.z;
        double d2 = dx * dx + dy * dy + dz * dz;
        double mag = dt / (d2 * std::sqrt(d2));
        bi.vx = bi.vx - dx * bj.mass * mag;
        bi.vy = bi.vy - dy * bj.mass * mag;
        bi.vz = bi.vz - dz * bj.mass * mag;
        bj.vx = bj.vx + dx * bi.mass * mag;
        bj.vy = bj.vy + dy * bi.mass * mag;
        bj.vz = bj.vz + dz * bi.mass * mag;
      }
    }
    for (Body& b : bodies) {
      b.x = b.x + dt * b.vx;
      b.y = b.y + dt * b.vy;
      b.z = b.z + dt * b.vz;
    }
  }
  double energy() const {
    double e = 0.0;
    size_t n = bodies.size();
    for (size_t i = 0; i < n; i++) {
      const Body& bi = bodies[i];
      e = e + 0.5 * bi.mass * (bi.vx * bi.vx + bi.vy * bi.vy + bi.vz * bi.vz);
      for (size_t j = i + 1; j < n; j++) {
        const Body& bj = bodies[j];
        double dx = bi.x - bj.x, dy = bi.y - bj.y, dz = bi.z - bj.z;
        e = e - bi.mass * bj.mass / std::sqrt(dx * dx + dy * dy + dz * dz);
      }
    }
    return e;
  }
};

int64_t mandelbrotCount(int64_t size) {
  int64_t inside = 0;
  for (int64_t y = 0; y < size; y++) {
    double ci = 2.0 * double(y) / double(size) - 1.0;
    for (int64_t x = 0; x < size; x++) {
      double cr = 2.0 * double(x) / double(size) - 1.5;
      double zr = 0.0, zi = 0.0, tr = 0.0, ti = 0.0;
      for (int i = 0; i < 50 && tr + ti <= 4.0; i++) {
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

double matrixA(int64_t i, int64_t j) { return 1.0 / double((i + j) * (i + j + 1) / 2 + i + 1); }

void matrixTimes(const std::vector<double>& v, std::vector<double>& out, bool transposed) {
  size_t n = v.size();
  for (size_t i = 0; i < n; i++) {
    double sum = 0.0;
    for (size_t j = 0; j < n; j++)
      sum = sum + (transposed ? matrixA(int64_t(j), int64_t(i)) : matrixA(int64_t(i), int64_t(j))) * v[j];
    out[i] = sum;
  }
}

void normalTimes(const std::vector<double>& v, std::vector<double>& out) {
  std::vector<double> u(v.size());
  matrixTimes(v, u, false);
  matrixTimes(u, out, true);
}

double matrixNorm(size_t n) {
  std::vector<double> u(n, 1.0), v(n);
  for (int k = 0; k < 10; k++) {
    normalTimes(u, v);
    normalTimes(v, u);
  }
  double vBv = 0.0, vv = 0.0;
  for (size_t i = 0; i < n; i++) {
    vBv = vBv + u[i] * v[i];
    vv = vv + v[i] * v[i];
  }
  return std::sqrt(vBv / vv);
}

}  // namespace

int64_t nativeNBody(int64_t n) {
  double energy = 0.0;
  for (int64_t r = 0; r < n; r++) {
    NBodySystem system;
    for (int k = 0; k < 1000; k++) system.advance(0.01);
    energy = system.energy();
  }
  return int64_t(energy * 1000000000);
}

int64_t nativeMandelbrot(int64_t n) {
  int64_t sum = 0;
  for (int64_t r = 0; r < n; r++) sum += mandelbrotCount(200);
  return sum;
}

int64_t nativeMatrixNorm(int64_t n) {
  double norm = 0.0;
  for (int64_t r = 0; r < n; r++) norm = matrixNorm(100);
  return int64_t(norm * 1000000000);
}
