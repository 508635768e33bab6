/* Runs `sh -c COMMAND` directly, with no wrapper in between, and prints the user plus
 * system CPU seconds and the minor page faults that wait4 reports for it: the physical floor
 * against which phase1's time= and mem= are compared. */
#define _DEFAULT_SOURCE
#include <spawn.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char **environ;

int main(int argc, char *argv[]) {
  if (argc != 2) return 2;
  char *args[] = {"sh", "-c", argv[1], NULL};
  pid_t pid;
  if (posix_spawn(&pid, "/bin/sh", NULL, NULL, args, environ) != 0) return 1;
  int status;
  struct rusage r;
  if (wait4(pid, &status, 0, &r) != pid) return 1;
  long long us = (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000LL + r.ru_utime.tv_usec +
                 r.ru_stime.tv_usec;
  printf("%.6f %ld\n", us / 1e6, r.ru_minflt);
  return 0;
}
