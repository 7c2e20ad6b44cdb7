// The OpenMP worker threads of the process, started before anything large is allocated.
#ifndef TILTFIT_STARTUP_WORKERS_H
#define TILTFIT_STARTUP_WORKERS_H

// Starts the worker team of the calling thread's parallel regions now and returns its size (1:
// the calling thread alone). Call it on the thread that will run the parallel regions, before the
// first one.
//
// libgomp creates its threads at the first parallel region that needs them and, when
// pthread_create fails, ends the process itself ("libgomp: Thread creation failed", status 1).
// Under an address-space limit the first region may come right after the recording was
// allocated, where the tool must instead report that memory ran out. So the threads are tried
// first with pthread_create and libgomp's stack size (OMP_STACKSIZE or GOMP_STACKSIZE when set,
// the default otherwise), all alive at once as in a team; the team is cut to the threads that
// started (omp_set_num_threads) and started by an empty parallel region, after which libgomp
// keeps them for every later region. Nesting is limited to one level and dynamic team sizes are
// turned off, so that no later region needs a thread that was not started here.
int startWorkerThreads();

#endif
