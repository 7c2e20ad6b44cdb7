// tiltfit_bench_parse: the yardstick the reader is measured against, a pass that does nothing but
// parse. It reads the file once with pread, 1 MiB at a time into one buffer a thread, and
// converts every field between commas and newlines with std::from_chars, keeping only their sum:
// no count pass, no columns, no row bookkeeping.
//
//   tiltfit_bench_parse FILE
//
// Output, one line: parse1=<s> parse=<s> threads=<n> fields=<n> (one thread, then all the OpenMP
// threads the reader uses).
#include <fcntl.h>
#include <omp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr std::size_t kChunk = std::size_t{1} << 20;

struct Pass {
  double seconds = 0.0;
  std::uint64_t fields = 0;
  double sum = 0.0;
};

// Parses the fields of the lines that start in each chunk, as the reader splits a file, the
// chunks taken by whichever thread is free.
Pass parseAll(int fd, std::uint64_t size, int threads) {
  const auto start = std::chrono::steady_clock::now();
  Pass pass;
  std::uint64_t fields = 0;
  double sum = 0.0;
  const long chunks = static_cast<long>((size + kChunk - 1) / kChunk);
#pragma omp parallel for num_threads(threads) schedule(dynamic, 1) reduction(+ : fields, sum)
  for (long c = 0; c < chunks; ++c) {
    // The chunk, the byte before it and a little after it, for the line that ends there.
    static thread_local std::vector<char> buffer(kChunk + 4097);
    const std::uint64_t from = c == 0 ? 0 : static_cast<std::uint64_t>(c) * kChunk - 1;
    const ssize_t got = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(from));
    const std::size_t lead = c == 0 ? 0 : 1;
    if (got <= static_cast<ssize_t>(lead)) continue;
    const char* p = buffer.data();
    const char* e = p + got;
    const char* chunkEnd = p + std::min<std::size_t>(static_cast<std::size_t>(got), kChunk + lead);
    if (lead == 1) {
      // A line that starts before the chunk belongs to the one before.
      const char* q = p + 1;
      if (*p != '\n') {
        while (q < chunkEnd && *q != '\n') ++q;
        ++q;
      }
      p = q;
    }
    // Every line that starts in the chunk, to its end.
    while (p < chunkEnd) {
      for (bool lineEnds = false; !lineEnds && p < e;) {
        double v = 0.0;
        const std::from_chars_result r = std::from_chars(p, e, v);
        if (r.ec == std::errc()) {
          sum += v;
          ++fields;
          p = r.ptr;
        }
        while (p < e && *p != ',' && *p != '\n') ++p;
        lineEnds = p < e && *p == '\n';
        ++p;
      }
    }
  }
  pass.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  pass.fields = fields;
  pass.sum = sum;
  return pass;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tiltfit_bench_parse FILE\n");
    return 2;
  }
  const int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  const std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
  const int threads = std::max(1, omp_get_max_threads());
  const Pass one = parseAll(fd, size, 1);
  const Pass all = parseAll(fd, size, threads);
  ::close(fd);
  if (one.fields != all.fields) {
    std::fprintf(stderr, "tiltfit_bench_parse: %llu fields on one thread, %llu on %d\n",
                 static_cast<unsigned long long>(one.fields),
                 static_cast<unsigned long long>(all.fields), threads);
    return 1;
  }
  std::printf("parse1=%.4f parse=%.4f threads=%d fields=%llu sum=%.6g\n", one.seconds, all.seconds,
              threads, static_cast<unsigned long long>(all.fields), all.sum);
  return 0;
}
