// Parallel regions and what their ends order: each thread's own slot, nested teams, threadprivate
// copies seeded by copyin, a target region run on the host, reductions (a user-declared one too),
// mergeable and untied tasks, and taskloops with their implicit taskgroup. Racy, every thread
// writes the same slot, a team runs the target region together, a sum lacks its reduction, untied
// tasks that yield all add to one counter, and taskloop tasks add to one total.
// tavo: racy
// tavo-fixed
// tavo-expect: global 'slots'
// tavo-expect: global 'grid'
// tavo-expect: global 'offloaded'
// tavo-expect: global 'sum'
// tavo-expect: global 'untied_counter'
// tavo-expect: global 'loop_total'
#include <omp.h>
#include <cstdio>

#include "../frontend/corpus/rendezvous.h"

#define SLOT(thread) slots[RACY_OR_FIXED(0, (thread) % 64)]
#define CELL(outer, inner) RACY_OR_FIXED(grid[0][0], grid[outer][inner])
#define SUM ONLY_FIXED(reduction(+ : sum))
#define UNTIED(i) RACY_OR_FIXED(untied_counter, task_slots[32 + (i)])

struct pair_t {
  long low, high;
};
#pragma omp declare reduction(span : pair_t : omp_out.low = omp_in.low < omp_out.low ? omp_in.low : omp_out.low, \
                              omp_out.high = omp_in.high > omp_out.high ? omp_in.high : omp_out.high)           \
    initializer(omp_priv = {1000000, -1})

constexpr int n = 500;
int slots[64], grid[2][2], rows[2], offloaded[n], task_slots[64], untied_counter, numbers[n], counter;
long sum, loop_total;
#pragma omp threadprivate(counter)

__attribute__((noinline)) static void add(long* to, int value) {
  *to += value;  // race
}

__attribute__((noinline, unused)) static void tally(int value) {
  loop_total += value;  // race
}

int main() {
  long total = 0;
#pragma omp parallel
  SLOT(omp_get_thread_num()) = omp_get_thread_num() + 1;  // race
  for (int i = 0; i < 64; i++) total += slots[i];
#pragma omp parallel
  SLOT(omp_get_thread_num()) = 0;  // race
  omp_set_max_active_levels(2);
#pragma omp parallel num_threads(2)
  {
    const int outer = omp_get_thread_num();
#pragma omp parallel num_threads(2)
    CELL(outer, omp_get_thread_num()) = outer * 2 + omp_get_thread_num() + 1;  // race
    rows[outer] = grid[outer][0] + grid[outer][1];
  }
  counter = 10;
#pragma omp parallel copyin(counter)
  counter += omp_get_thread_num();
#pragma omp parallel reduction(+ : total)
  total += counter;
  for (int i = 0; i < n; i++) offloaded[i] = i;
#ifndef FIXED
#pragma omp parallel
#endif
#pragma omp target map(tofrom : offloaded)
  for (int i = 0; i < n; i++) offloaded[i] *= 2;  // race
  for (int i = 0; i < n; i++) total += offloaded[i];
  pair_t span = {1000000, -1};
#pragma omp parallel for SUM reduction(span : span)
  for (int i = 1; i <= 20; i++) {
    add(&sum, i);
    span.low = i < span.low ? i : span.low;
    span.high = i > span.high ? i : span.high;
  }
#pragma omp parallel
#pragma omp single
  {
    for (int i = 0; i < 32; i++) {
#pragma omp task mergeable firstprivate(i)
      task_slots[i] = i;
#pragma omp task untied firstprivate(i)
      {
        task_slots[32 + i] = i;
#pragma omp taskyield
        UNTIED(i) += 1;  // race
      }
    }
#pragma omp taskwait
    for (int i = 0; i < 64; i++) total += task_slots[i];
#pragma omp taskloop grainsize(16)
    for (int i = 0; i < n; i++) numbers[i] = i;
#pragma omp taskloop num_tasks(8)
    for (int i = 0; i < n; i++) RACY_OR_FIXED(tally(numbers[i]), numbers[i] += 1);
    for (int i = 0; i < n; i++) loop_total += numbers[i];
  }
  std::printf("%ld %d %ld %ld %ld %ld\n", total, rows[0] + rows[1], sum, span.low, span.high, loop_total);
  return 0;
}
