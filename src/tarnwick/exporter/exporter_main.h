// The exporter as a process: its command line, the process set up, the
// configuration read, the HTTP server started, and the signals that
// reload (SIGHUP) and stop (SIGTERM, SIGINT) it.
#ifndef TARNWICK_EXPORTER_EXPORTER_MAIN_H_
#define TARNWICK_EXPORTER_EXPORTER_MAIN_H_

namespace tarnwick {

// Runs tarnwick_exporter with the command line argv[0..argc). Returns the
// process's exit status: 0 after a stop by signal or a good --config.check,
// 1 for a configuration that cannot be read at the start, a port that
// cannot be listened on or a bad --config.check, 2 for a bad command line.
int exporter_main(int argc, char** argv);

}  // namespace tarnwick

#endif  // TARNWICK_EXPORTER_EXPORTER_MAIN_H_
