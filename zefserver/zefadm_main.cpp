// zefadm: administration of the reference server's database.
#include <cstdio>

#include "zefserver/adm.h"

int main(int argc, char** argv) { return zef::runAdm(argc, argv, stdout, stderr); }
