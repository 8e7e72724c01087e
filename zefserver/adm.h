// zefadm: administration of the reference server's database.
//
// Contract
// - runAdm() runs one subcommand on the database named by --db and returns
//   the exit status: 0 success, 1 a failed operation (message on `err`),
//   2 a usage error. Listings go to `out`.
// - Every subcommand that writes does so in one database transaction: an
//   import with one bad line stores nothing.
// - Subcommands are rows of a table (name, usage, function); adding one means
//   adding a row.
#ifndef KMR_ZEFSERVER_ADM_H
#define KMR_ZEFSERVER_ADM_H

#include <cstdio>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "zefserver/objects.h"

namespace zef {

int runAdm(int argc, char** argv, FILE* out, FILE* err);
// Writes the usage (every subcommand) to `out`.
void admUsage(FILE* out);

// Turns one import line into an object's path and attributes; nullopt with
// `error` set when the line is not a valid record.
struct ImportRecord {
  std::string path;
  FileAttrs attrs;
};
std::optional<ImportRecord> parseImportLine(std::string_view line, uint32_t defaultTime, std::string& error);

}  // namespace zef

#endif
