// kxsim: the driver's pieces run from the command line on the host.
#include <cstdio>
#include <cstring>

#include "encode_command.h"

namespace {

void PrintUsage() {
  std::fprintf(stderr,
               "usage: kxsim COMMAND ...\n"
               "commands:\n"
               "  encode IN.png OUT.jpg [-q Q] [-s 0..3] [--repeat N]\n"
               "      encode one image with the driver's JPEG encoder\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage();
    return 2;
  }
  if (std::strcmp(argv[1], "encode") == 0) return kxsim::RunEncode(argc - 2, argv + 2);
  std::fprintf(stderr, "kxsim: unknown command '%s'\n", argv[1]);
  PrintUsage();
  return 2;
}
