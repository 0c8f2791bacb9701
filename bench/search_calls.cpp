// Counts the platform calls that the marker search makes on a package with
// 19,995 bytes after its trailer (the farthest a trailer can still be found),
// on the simulated platform. Prints one line per figure.
#include <stdint.h>
#include <stdio.h>

#include <string>

#include "package/package.h"
#include "simulation/sim.h"

#define BENCH_AFTER 19995u

static std::string bench_le32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = (char)(v >> (8 * i));
  return s;
}

int main() {
  const char *path = "C:\\bench\\package.exe";
  const uint32_t launcher = 200000, book = 4u << 20;
  std::string bytes(launcher + book, 'x');
  bytes.replace(launcher + 8, 4, bench_le32(64));
  std::string marker = bench_le32(pkg_marker());
  bytes += std::string(8, '\0') + bench_le32(book) + bench_le32(launcher) + marker;
  bytes += std::string(BENCH_AFTER, 'y');

  sim_reset();
  if (!sim_write_file(path, bytes)) {
    fprintf(stderr, "search_calls: cannot write the simulated package\n");
    return 1;
  }
  int reads = sim_calls(SIM_STREAM_READ), seeks = sim_calls(SIM_STREAM_SEEK);
  uint32_t end = 0;
  int found = pkg_find_end(path, &end);
  reads = sim_calls(SIM_STREAM_READ) - reads;
  seeks = sim_calls(SIM_STREAM_SEEK) - seeks;
  if (found != PKG_FOUND || end != launcher + book + PKG_TRAILER_SIZE) {
    fprintf(stderr, "search_calls: trailer not found (result %d, end %u)\n", found, end);
    return 1;
  }
  printf("marker search, %u bytes after the trailer: %d read call(s), %d seek(s)\n", BENCH_AFTER,
         reads, seeks);
  return 0;
}
