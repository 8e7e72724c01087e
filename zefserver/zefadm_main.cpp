// zefadm: administration of the reference server's database.
#include <cstdio>

#include "zefserver/adm.h"
#include "zefserver/helpversion.h"

int main(int argc, char** argv) {
  if (int rc = zef::answerHelpOrVersion(argc, argv, "zefadm", zef::admUsage); rc >= 0) return rc;
  return zef::runAdm(argc, argv, stdout, stderr);
}
