#pragma once

// Installs the handlers main sets before every run: the Ctrl-C handler for
// SIGINT (core/ctrl_c.h) and the SIGFPE handler, which raises the
// floating-point-error flag of every module.
void installSignalHandlers();
