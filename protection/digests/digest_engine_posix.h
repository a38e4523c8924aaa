// What tests may set in the POSIX digest engine (nothing else does).
#pragma once

// threads: worker threads, 0 for none (the caller's thread hashes), or -1 for
// one per CPU the process may run on. widest: the index of the widest kernel
// to use among the usable ones (0: the widest there is).
void SetDigestEngine(int threads, int widest);
