// The commands of the quillon host. Each takes the arguments after its name and returns the
// process's exit status.
#pragma once

int RunInfoCommand(int argc, char** argv);
