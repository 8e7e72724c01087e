// zefserverd: the reference storage server.
#include <cstdio>
#include <string>

#include "zefserver/server.h"

int main(int argc, char** argv) {
  std::string error;
  auto cfg = zef::parseServerArgs(argc, argv, error);
  if (!cfg) {
    fprintf(stderr, "zefserverd: %s\n%s", error.c_str(), zef::serverUsage());
    return 2;
  }
  return zef::runServer(*cfg);
}
