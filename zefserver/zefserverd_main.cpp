// zefserverd: the reference storage server.
#include <cstdio>
#include <string>

#include "zefserver/helpversion.h"
#include "zefserver/server.h"

int main(int argc, char** argv) {
  auto usage = [](FILE* out) { fputs(zef::serverUsage(), out); };
  if (int rc = zef::answerHelpOrVersion(argc, argv, "zefserverd", usage); rc >= 0) return rc;
  std::string error;
  auto cfg = zef::parseServerArgs(argc, argv, error);
  if (!cfg) {
    fprintf(stderr, "zefserverd: %s\n%s", error.c_str(), zef::serverUsage());
    return 2;
  }
  return zef::runServer(*cfg);
}
