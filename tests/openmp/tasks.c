// Tasks: taskwait waits for the children (without it a child is unordered with its parent), a taskgroup for every
// descendant; undeferred and included tasks complete before their creators go on; reused
// firstprivate blocks carry nothing over; dependences order sibling tasks only (in-only ones
// nothing), through depend objects too, and mutexinoutset tasks exclude each other. Task reductions
// give each thread a copy that the tasks it runs update in turn, combined at the group's end.
// tavo: racy
// tavo-fixed
// tavo-expect: global 'waited'
// tavo-expect: global 'leaves'
// tavo-expect: global 'chained'
// tavo-expect: global 'mutexed'
// tavo-expect: global 'cousin'
#include <omp.h>
#include <stdio.h>

#include "../frontend/corpus/rendezvous.h"

#ifdef FIXED
#define TASKWAIT _Pragma("omp taskwait")
#else
#define TASKWAIT
#endif
#define WRITER RACY_OR_FIXED(in, inout)
#define READER ONLY_FIXED(depend(in : mutexed))

int waited, leaves[8], out[600], chained, chain_y, deps, mutexed, cousin;

static int fib(int n) {
  if (n < 2) return n;
  int a = 0, b = 0;
#pragma omp task shared(a)
  a = fib(n - 1);
#pragma omp task shared(b)
  b = fib(n - 2);
#pragma omp taskwait
  return a + b;
}

int main(void) {
  long total = 0;
  omp_depend_t writes, reads;
#pragma omp depobj(writes) depend(inout : deps)
#pragma omp depobj(reads) depend(in : deps)
#pragma omp parallel
#pragma omp single
  {
    total += fib(12);
#pragma omp task
    waited = 5;  // race
    TASKWAIT
    total += waited;  // race
#pragma omp taskgroup
    {
      for (int i = 0; i < 4; i++) {
#pragma omp task firstprivate(i)
        {
#pragma omp task firstprivate(i)
          leaves[2 * i] = i;  // race
          leaves[2 * i + 1] = i;
        }
      }
#ifndef FIXED
#pragma omp taskwait
      for (int i = 0; i < 8; i++) total += leaves[i];  // race
#endif
    }
    for (int i = 0; i < 8; i++) total += leaves[i];
    int x = 0, y = 0, z = 0;
#pragma omp task shared(x) if (0)
    x = 5;
    y = x + 1;
#pragma omp task shared(y, z) final(1)
    {
#pragma omp task shared(y)
      y += 10;
      z = y;
    }
    for (int i = 0; i < 600; i++) {
      int copy[4] = {i, i + 1, i + 2, i + 3};
#pragma omp task firstprivate(i, copy)
      {
        copy[0] += copy[3];
        out[i] = copy[0] - 3;
      }
    }
#pragma omp taskwait
    for (int i = 0; i < 600; i++) total += out[i] + z;
#pragma omp task depend(out : chained)
    chained = 1;
#pragma omp task depend(WRITER : chained)
    chained += 1;  // race
#pragma omp task depend(WRITER : chained)
    chained += 2;  // race
#pragma omp task depend(in : chained) depend(out : chain_y)
    chain_y = chained * 10;  // race
#pragma omp task depend(in : chained) shared(x)
    x = chained;  // race
#pragma omp task depend(inout : chained) depend(in : chain_y)
    chained = chain_y + 1;
#pragma omp task depend(depobj : writes)
    deps = 3;
#pragma omp task depend(depobj : reads) shared(y)
    y = deps;
#pragma omp task depend(depobj : writes)
    deps += 1;
#pragma omp taskwait depend(inout : deps)
    total += deps + y;
#pragma omp task depend(out : mutexed)
    mutexed = 1;  // race
    for (int i = 0; i < 4; i++) {
#pragma omp task depend(mutexinoutset : mutexed)
      mutexed += 2;  // race
    }
#pragma omp task READER shared(z)
    z = mutexed;  // race
#pragma omp taskwait
    total += x + z;
    long reduced = 0;
#pragma omp taskgroup task_reduction(+ : reduced)
    for (int i = 0; i < 64; i++) {
#pragma omp task in_reduction(+ : reduced)
      reduced += i;
    }
#pragma omp taskloop reduction(+ : reduced) grainsize(4)
    for (int i = 0; i < 64; i++) reduced += i;
    total += reduced;
  }
#pragma omp parallel num_threads(2)
  {
#ifdef FIXED
#pragma omp single
    for (int i = 0; i < 2; i++)
#endif
#pragma omp task depend(inout : cousin)
      cousin += 1;  // race
  }
  printf("%ld %d\n", total, cousin);
  return 0;
}
