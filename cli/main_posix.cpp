#include "cli/vorbane.h"
#include "console/console.h"

int main(int argc, char** argv) {
  RememberArguments(argc, argv);
  return RunVorbane(argc, argv);
}
