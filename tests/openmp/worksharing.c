// Worksharing constructs and barriers: a loop (one schedule for all: the barrier is what matters),
// sections, single and master without a barrier after them race with the reads that follow
// (fixed: with the barrier); neighbours exchange over phases
// that each need two barriers; loop-carried reads race at chunk borders; ordered parts run in
// iteration order, but a read outside them races; every schedule behind its barrier is clean.
// tavo: racy
// tavo-fixed
// tavo-expect: global 'dynamic_out'
// tavo-expect: global 'carried'
// tavo-expect: global 'section_
// tavo-expect: global 'single_value'
// tavo-expect: global 'master_value'
// tavo-expect: global 'cells'
// tavo-expect: global 'length'
#include <omp.h>
#include <stdio.h>

#include "../frontend/corpus/rendezvous.h"

#define NOWAIT ONLY_RACY(nowait)
#ifdef FIXED
#define SCHEDULE dynamic
#else
#define SCHEDULE static, 1
#endif
#define N 300
int dynamic_out[N], carried[N + 1], a[N], b[N];
int section_x, section_y, section_z, single_value, master_value, cells[64], list[N], length;

static long loops(void) {
  long total = 0;
#pragma omp parallel reduction(+ : total)
  {
#pragma omp for schedule(dynamic, 4) NOWAIT
    for (int i = 0; i < N; i++) dynamic_out[i] = i;  // race
    for (int i = 0; i < N; i++) total += dynamic_out[i];  // race
  }
  for (int i = 0; i <= N; i++) carried[i] = i;
  ONLY_FIXED(for (int i = 0; i < N; i++) a[i] = carried[i + 1]);
#pragma omp parallel for schedule(static)
  for (int i = 0; i < N; i++) carried[i] = RACY_OR_FIXED(carried[i + 1], a[i]) + 1;  // race
  omp_set_schedule(omp_sched_dynamic, 3);
#pragma omp parallel
  {
#pragma omp for schedule(static, 7)
    for (int i = 0; i < N; i++) a[i] = i;
#pragma omp for schedule(dynamic, 5)
    for (int i = 0; i < N; i++) b[i] = a[N - 1 - i];
#pragma omp for schedule(guided)
    for (int i = 0; i < N; i++) a[i] = b[N - 1 - i] + 1;
#pragma omp for schedule(auto)
    for (int i = 0; i < N; i++) b[i] = a[(i * 7) % N];
#pragma omp for schedule(runtime)
    for (int i = 0; i < N; i++) a[i] = b[(i * 11) % N];
#pragma omp for collapse(2) schedule(dynamic)
    for (int i = 0; i < 10; i++)
      for (int j = 0; j < 30; j++) b[i * 30 + j] = a[j * 10 + i];
  }
  return total + carried[0] + b[17];
}

static long once_and_phases(void) {
  long seen = 0;
#pragma omp parallel reduction(+ : seen)
  {
#pragma omp sections NOWAIT
    {
#pragma omp section
      section_x = 1;  // race
#pragma omp section
      section_y = 2;  // race
#pragma omp section
      section_z = 3;  // race
    }
    seen += section_x + section_y + section_z;  // race
#pragma omp barrier
    int broadcast = 0;  // copyprivate broadcasts a private value
#pragma omp single NOWAIT
    single_value = 42;  // race
    seen += single_value;  // race
#pragma omp single copyprivate(broadcast)
    broadcast = single_value + 1;  // race
    seen += broadcast;
#ifdef FIXED
#pragma omp masked
    master_value = 7;
#pragma omp barrier
#else
#pragma omp master
    master_value = 7;  // race
#endif
    seen += master_value;  // race
#pragma omp barrier
    const int me = omp_get_thread_num(), team = omp_get_num_threads();
    for (int phase = 0; phase < 20; phase++) {
      cells[me] = phase + me;  // race
#pragma omp barrier
      seen += cells[(me + 1) % team];  // race
#ifdef FIXED
#pragma omp barrier
#endif
    }
  }
  return seen;
}

static long ordered_loop(void) {
  long peeks = 0;
#pragma omp parallel for ordered schedule(SCHEDULE) reduction(+ : peeks)
  for (int i = 0; i < N; i++) {
    int square = i * i;
    ONLY_RACY(peeks += length);  // race
#pragma omp ordered
    list[length++] = square;  // race
  }
  return peeks + list[N - 1];
}

int main(void) {
  printf("%ld %ld %ld\n", loops(), once_and_phases(), ordered_loop());
  return 0;
}
