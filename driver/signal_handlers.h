#pragma once

// Installs the handlers main sets before every run, set-up included: the
// Ctrl-C handler for SIGINT and SIGUSR1, which takes Ctrl-C over for the
// rest of the process (core/ctrl_c.h), the SIGTERM handler, which asks the
// run to end after its current step, and the SIGFPE handler, which raises
// the floating-point-error flag of every module.
void installSignalHandlers();
