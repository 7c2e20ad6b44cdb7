#include "workers.h"

#include <omp.h>
#include <pthread.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

namespace {

// Reads a stack size the way libgomp reads OMP_STACKSIZE: a decimal number, then optionally B, K,
// M or G (case-insensitive, kilobytes when absent), blanks allowed around both.
bool stackSizeFromEnvironment(const char* name, std::size_t& size) {
  const char* text = std::getenv(name);
  if (text == nullptr) return false;
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  if (*text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (errno != 0 || end == text) return false;
  while (std::isspace(static_cast<unsigned char>(*end))) ++end;
  unsigned shift = 10;
  if (*end != '\0') {
    switch (std::tolower(static_cast<unsigned char>(*end))) {
      case 'b':
        shift = 0;
        break;
      case 'k':
        break;
      case 'm':
        shift = 20;
        break;
      case 'g':
        shift = 30;
        break;
      default:
        return false;
    }
    ++end;
    while (std::isspace(static_cast<unsigned char>(*end))) ++end;
    if (*end != '\0') return false;
  }
  if (((value << shift) >> shift) != value) return false;
  size = static_cast<std::size_t>(value << shift);
  return true;
}

// Holds the probe threads until all of them have started.
struct Gate {
  std::mutex mutex;
  std::condition_variable opened;
  bool open = false;
};

void* waitAtGate(void* argument) {
  Gate& gate = *static_cast<Gate*>(argument);
  std::unique_lock<std::mutex> lock(gate.mutex);
  gate.opened.wait(lock, [&gate] { return gate.open; });
  return nullptr;
}

// How many of `wanted` threads can run at once: the caller and those pthread_create starts with
// attr, all alive together.
int threadsThatStart(int wanted, const pthread_attr_t* attr) {
  std::vector<pthread_t> started;
  try {
    started.reserve(static_cast<std::size_t>(wanted - 1));
  } catch (const std::bad_alloc&) {
    return 1;
  }
  Gate gate;
  for (int k = 1; k < wanted; ++k) {
    pthread_t thread;
    if (pthread_create(&thread, attr, waitAtGate, &gate) != 0) break;
    started.push_back(thread);
  }
  {
    std::lock_guard<std::mutex> lock(gate.mutex);
    gate.open = true;
  }
  gate.opened.notify_all();
  for (pthread_t thread : started) pthread_join(thread, nullptr);
  return 1 + static_cast<int>(started.size());
}

}  // namespace

int startWorkerThreads() {
  omp_set_dynamic(0);
  omp_set_max_active_levels(1);
  const int wanted = std::max(1, std::min(omp_get_max_threads(), omp_get_thread_limit()));
  if (wanted == 1) return 1;

  // libgomp's thread attributes: the default ones, with the stack size of the environment.
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return 1;
  std::size_t stackSize = 0;
  if (stackSizeFromEnvironment("OMP_STACKSIZE", stackSize) ||
      stackSizeFromEnvironment("GOMP_STACKSIZE", stackSize)) {
    pthread_attr_setstacksize(&attr, stackSize);
  }
  const int threads = threadsThatStart(wanted, &attr);
  pthread_attr_destroy(&attr);

  if (threads < wanted) omp_set_num_threads(threads);
  // The region must do something the compiler cannot drop: an empty one is removed, and the
  // threads would then start at the first real region after all.
  int team = 1;
  if (threads > 1) {
#pragma omp parallel num_threads(threads)
    {
      if (omp_get_thread_num() == 0) team = omp_get_num_threads();
    }
  }
  return team;
}
