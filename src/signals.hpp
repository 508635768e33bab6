#pragma once

#include <sys/types.h>

// A shell's exit status for a child that signal N ended is this plus N.
inline constexpr int SHELL_SIGNAL_BASE = 128;

// Sets, once and before the first fork, an empty signal mask, what SIGINT and SIGQUIT do during a
// run (they are passed on to a run in a group of its own and end neither phase1 nor the report)
// and, when runs are `contained`, what SIGTERM and SIGHUP do (they end the run, then phase1). A
// signal that phase1's caller ignores stays ignored, but for SIGTERM under containment: it is also
// the contained child's parent-death signal.
void prepare_signals(bool contained);

// Before a run's birth: the cgroup.kill descriptor that its child's handler ends it through, or
// -1 for none.
void arm_cgroup(int kill_fd);

// While a contained child is unreaped: the process group that SIGINT and SIGQUIT are passed on
// to, and that SIGTERM and SIGHUP kill. Its id cannot belong to anyone else meanwhile.
void arm_group(pid_t group);

// Once the run is ended: nothing to pass signals on to.
void disarm();

// While the interactor's child is unreaped: its process group, which SIGINT and SIGQUIT are
// passed on to and SIGTERM and SIGHUP kill, as the run's. -1 once it is collected.
void arm_side(pid_t group);

// In a child that has just asked for its parent-death signal: whether phase1, which prepared
// the signals, has died already. Its pidfd tells, where the child's parent is out of its sight
// (a PID namespace of its own); else its parent's pid.
bool phase1_died();

// In a child, before system: SIGPIPE, SIGXFSZ and SIGXCPU as they are by default, whatever
// phase1's caller ignored, so that the caps and a reader that has gone end the command.
void reset_caps_signals();

// Once the children are collected: a reader that has gone (SIGPIPE) and phase1's own file-size
// limit (SIGXFSZ) make a write fail, and no longer end phase1. Set only now, as the children
// would inherit them until they exec, and their own status block would then outlive the cap.
void catch_write_signals();
