// The command-line entry of tarnwick.
#ifndef TARNWICK_APP_MAIN_H_
#define TARNWICK_APP_MAIN_H_

namespace tarnwick {

// Reads the command line, fixes the run settings (prompting for a missing
// address and password), logs in once and runs the check suite. Returns the
// process's exit status; every failure is reported here, none escapes.
int main(int argc, char** argv);

}  // namespace tarnwick

#endif  // TARNWICK_APP_MAIN_H_
