/*
 * loop_hooks.h - a test seam of the scheduler loop: a function that sees
 * the name of every pass just before the loop runs it. Null in the
 * program; tests set it to count passes or to play a failing pass.
 */
#ifndef VQ_LOOP_HOOKS_H
#define VQ_LOOP_HOOKS_H

/* Called with "OutboundTask", "ImportActivity", "DelActivity",
 * "AddPending" or "DoInboundTask" before that pass runs. */
extern void (*VqPassHook)(const char *Pass);

#endif /* VQ_LOOP_HOOKS_H */
