/* Preloaded into a child so that it sees ZOLTRA_TEST_PROCESSORS processors in
   its affinity mask: work planned for that many runs on the real ones. */
#define _GNU_SOURCE
#include <sched.h>
#include <stdlib.h>
#include <string.h>

int sched_getaffinity(pid_t pid, size_t size, cpu_set_t *set) {
  (void)pid;
  const char *text = getenv("ZOLTRA_TEST_PROCESSORS");
  int count = text ? atoi(text) : 1;
  memset(set, 0, size);
  for (int i = 0; i < count; i++) CPU_SET_S(i, size, set);
  return 0;
}
