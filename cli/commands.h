// The commands of the quillon host. Each takes the arguments after its name and returns the
// process's exit status.
#pragma once

int RunInfoCommand(int argc, char** argv);
int RunFormatCommand(int argc, char** argv);
int RunEditCommand(int argc, char** argv);
