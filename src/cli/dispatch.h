// Start-up and dispatch: the first-token rules and the command table.
#pragma once

namespace tessarin {

// Runs the program on its arguments (argv[0] is skipped) and returns the exit status.
int run_program(int argc, char** argv);

}  // namespace tessarin
