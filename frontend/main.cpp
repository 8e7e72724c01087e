// kmrmigundelete: recreates the deleted stub files of HSM-managed file
// systems from the storage server's records.
#include <cstdio>
#include <cstring>

#include "frontend/migundelete.h"

namespace {

// "--help" and "--version" answer before the start-up, like the other
// programs of the package: no option files, catalog, log or root needed, so
// any user may ask. The classic -HELP stays the command's own, with its
// numbered messages.
int answerHelpOrVersion(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--version") == 0) {
      printf("kmrmigundelete %s\n", KMR_VERSION);
      return 0;
    }
    if (strcmp(argv[i], "--help") == 0) {
      fputs("usage: kmrmigundelete [-DETAIL] [-EXPIRING] [-RECOVER] [-PREVIEW] [-JSON]\n"
            "                      [-SUBTREE=PATH] [-MKDIRS] [-HELP] [FILE SYSTEM]\n"
            "       kmrmigundelete --help | --version\n"
            "Recreates the deleted stub files of the named HSM-managed file system, or\n"
            "of every managed file system of this node, from the storage server's\n"
            "records. Options are case-insensitive and take their first letter too.\n"
            "Runs as root. See kmrmigundelete(8).\n",
            stdout);
      return 0;
    }
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (int rc = answerHelpOrVersion(argc, argv); rc >= 0) return rc;
  { Migundelete run(argc, argv); }
  return 0;
}
