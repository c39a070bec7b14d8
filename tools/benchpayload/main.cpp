// benchpayload OUTDIR [--seed N] [--scale K]: writes a payload tree shaped like the product's.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "bench_payload.h"

namespace {

constexpr char kUsage[] =
    "usage: benchpayload OUTDIR [--seed N] [--scale K]\n"
    "\n"
    "Writes a payload tree shaped like the product's installation files under OUTDIR:\n"
    "115 files (48 at the root, Languages 57, x86 4, x64 4, Redistributables 2), 77,712,208\n"
    "bytes in all at scale 1, with content that deflates to about two thirds of its size.\n"
    "The same seed gives the same tree byte for byte.\n"
    "\n"
    "  --seed N    seed of the sizes, times and content (default 1)\n"
    "  --scale K   multiply every file size by K (default 1)\n";

bool ParseNumber(const char* text, unsigned long long max, unsigned long long& out) {
  if (*text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  out = std::strtoull(text, &end, 10);
  return errno == 0 && *end == '\0' && out <= max;
}

}  // namespace

int main(int argc, char** argv) {
  std::string outDir;
  unsigned long long seed = 1, scale = 1;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(arg, "--seed") == 0 || std::strcmp(arg, "--scale") == 0) {
      const bool isSeed = arg[3] == 'e';
      if (i + 1 >= argc ||
          !ParseNumber(argv[i + 1], isSeed ? ~0ULL : 1000, isSeed ? seed : scale) ||
          (!isSeed && scale == 0)) {
        std::fprintf(stderr, "benchpayload: %s needs a number%s\n", arg,
                     isSeed ? "" : " from 1 to 1000");
        return 2;
      }
      ++i;
    } else if (arg[0] == '-' && arg[1] != '\0') {
      std::fprintf(stderr, "benchpayload: unknown option %s\n%s", arg, kUsage);
      return 2;
    } else if (outDir.empty()) {
      outDir = arg;
    } else {
      std::fprintf(stderr, "benchpayload: more than one output directory given\n%s", kUsage);
      return 2;
    }
  }
  if (outDir.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  try {
    ot::benchpayload::WriteBenchPayload(outDir, seed, static_cast<unsigned>(scale));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "benchpayload: %s\n", e.what());
    return 1;
  }
  return 0;
}
