// Sets up the library state: creates the nestable lock and sets the initialisation flag.
// Not synchronised: the first call must not race with any other library call. getAccCalib calls
// it lazily on its first use.
#ifndef GETACCCALIB_INITIALIZE_H
#define GETACCCALIB_INITIALIZE_H

void getAccCalib_initialize();

#endif
