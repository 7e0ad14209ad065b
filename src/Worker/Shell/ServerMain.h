#ifndef ORVO_WORKER_SHELL_SERVERMAIN_H
#define ORVO_WORKER_SHELL_SERVERMAIN_H

// The worker's entry: reads the configuration, creates the GUI application
// and returns the process exit status.
int Main(int argc, char** argv);

#endif
