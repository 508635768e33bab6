/* The yardstick for phase1's overhead: the same two runs and the same report, in plain C
 * with printf, linked statically. Error handling is left out on purpose; only the cost of
 * the run sequence itself is of interest here. */
#define _DEFAULT_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

static void cap(int resource, long long value) {
  struct rlimit r = {(rlim_t)value, (rlim_t)value};
  setrlimit(resource, &r);
}

static double seconds(const struct rusage *r) {
  long long s = (long long)r->ru_utime.tv_sec + r->ru_stime.tv_sec;
  long long us = (long long)r->ru_utime.tv_usec + r->ru_stime.tv_usec;
  return (double)(s * 1000000 + us) / 1000000.0;
}

int main(int argc, char *argv[]) {
  if (argc < 6) return 125;
  long long cpu = atoll(argv[1]), as = atoll(argv[2]), fsize = atoll(argv[3]);
  struct rusage base = {0}, meas = {0};
  int ws;

  if (fork() == 0) {
    cap(RLIMIT_CPU, 1);
    cap(RLIMIT_AS, as);
    system(argv[4]);
    exit(0);
  }
  wait3(&ws, 0, &base);

  if (fork() == 0) {
    cap(RLIMIT_CPU, cpu);
    cap(RLIMIT_AS, as);
    cap(RLIMIT_FSIZE, fsize);
    int s = system(argv[5]);
    printf("childstatus=%d\n", s), fflush(stdout);
    printf("WIFSIGNALED=%d\n", WIFSIGNALED(s) ? 1 : 0), fflush(stdout);
    printf("WTERMSIG=%d\n", WTERMSIG(s)), fflush(stdout);
    printf("WEXITSTATUS=%d\n", WEXITSTATUS(s)), fflush(stdout);
    printf("WIFEXITED=%d\n", WIFEXITED(s) ? 1 : 0), fflush(stdout);
    printf("WCOREDUMP=%d\n", WCOREDUMP(s)), fflush(stdout);
    printf("WSTOPSIG=%d\n", WSTOPSIG(s)), fflush(stdout);
    printf("WIFSTOPPED=%d\n", WIFSTOPPED(s) ? 1 : 0), fflush(stdout);
    exit(0);
  }
  wait3(&ws, 0, &meas);

  printf("basetime=%g\n", seconds(&base)), fflush(stdout);
  printf("time=%g\n", seconds(&meas)), fflush(stdout);
  printf("basemem=%ld\n", base.ru_minflt), fflush(stdout);
  printf("mem=%ld\n", meas.ru_minflt), fflush(stdout);
  printf("pagesize=%d\n", getpagesize()), fflush(stdout);
  printf("ru_majflt=%ld\n", meas.ru_majflt), fflush(stdout);
  printf("pid=%d\n", (int)getpid()), fflush(stdout);
  printf("ppid=%d\n", (int)getppid()), fflush(stdout);
  return 0;
}
