// The program's entry logic, shared by every platform's main.
#pragma once

#include "console/text.h"

// Runs the one screen that the arguments select and returns the exit
// status, which is always 0.
int RunVorbane(int argc, NativeChar** argv);

// Prints the usage screen.
void ShowUsage();
