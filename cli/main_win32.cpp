#include "cli/vorbane.h"

// MinGW's runtime would expand wildcards in the arguments; the program takes
// them as typed. (MSVC's runtime expands only when linked with setargv.obj.)
extern "C" {
int _dowildcard = 0;
}

int wmain(int argc, wchar_t** argv) { return RunVorbane(argc, argv); }
