// Loaded with LD_PRELOAD into the one process whose memory the collector benchmark measures: when
// that process exits, writes its own peak RSS in KiB (getrusage RUSAGE_SELF) to the file named by
// VENDRO_BENCH_RSS_FILE. GNU time cannot give this figure for a program that reaps its browser:
// the maximum it reports (from wait4) includes every descendant the program waited for.
// The constructor takes both variables out of the environment, so that the browser the process
// starts neither loads this library nor writes the file.

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

char rss_file[4096];

__attribute__((constructor)) void take_request() {
  const char* file = std::getenv("VENDRO_BENCH_RSS_FILE");
  if (file != nullptr && std::strlen(file) < sizeof rss_file) {
    std::strcpy(rss_file, file);
  }
  ::unsetenv("VENDRO_BENCH_RSS_FILE");
  ::unsetenv("LD_PRELOAD");
}

__attribute__((destructor)) void write_peak() {
  if (rss_file[0] == '\0') return;
  rusage usage{};
  if (::getrusage(RUSAGE_SELF, &usage) != 0) return;
  if (std::FILE* out = std::fopen(rss_file, "w")) {
    std::fprintf(out, "%ld\n", usage.ru_maxrss);
    std::fclose(out);
  }
}

}  // namespace
