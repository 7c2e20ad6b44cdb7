// Tears the library state down: destroys the lock and clears the initialisation flag.
// Call at most once after the last library use, and only after getAccCalib_initialize.
#ifndef GETACCCALIB_TERMINATE_H
#define GETACCCALIB_TERMINATE_H

void getAccCalib_terminate();

#endif
