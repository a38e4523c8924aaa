// The program's entry logic, shared by every platform's main.
#pragma once

#include "console/text.h"

// Runs the one screen that the arguments select and returns the exit
// status: 0, or 1 when writing to standard output failed.
int RunVorbane(int argc, NativeChar** argv);

// Prints the usage screen.
void ShowUsage();
