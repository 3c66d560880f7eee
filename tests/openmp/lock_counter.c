// Locks around a counter, and a nest lock taken again by its holder; racy, the second update
// forgot the lock.
// tavo: racy
// tavo-fixed
// tavo-options: dedupe=0
// (both lines race on the same bytes: by default only the first pair found is reported)
#include <omp.h>
#include <stdio.h>

int counter, nested;
omp_lock_t lock;
omp_nest_lock_t nest;

static void bump(int depth) {
  omp_set_nest_lock(&nest);
  nested += 1;
  if (depth > 0) bump(depth - 1);
  omp_unset_nest_lock(&nest);
}

int main(void) {
  omp_init_lock(&lock);
  omp_init_nest_lock(&nest);
#pragma omp parallel
  for (int i = 0; i < 50; i++) {
    omp_set_lock(&lock);
    counter += 1;  // race
    omp_unset_lock(&lock);
#ifdef FIXED
    while (!omp_test_lock(&lock)) {
    }
#endif
    counter += 1;  // race
#ifdef FIXED
    omp_unset_lock(&lock);
#endif
    bump(2);
  }
  omp_destroy_lock(&lock);
  omp_destroy_nest_lock(&nest);
  printf("%d %d\n", counter, nested);
  return 0;
}
