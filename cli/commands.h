// The commands of the quillon host. Each takes the arguments after its name and returns the
// process's exit status.
#pragma once

int RunInfoCommand(int argc, char** argv);
int RunFormatCommand(int argc, char** argv);
int RunEditCommand(int argc, char** argv);
int RunCodecsCommand(int argc, char** argv);
int RunConvertCommand(int argc, char** argv);
// Prints what the first frame header of an MP3 file says; false when it has none.
bool DescribeMp3(const char* name);
