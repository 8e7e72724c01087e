// The option keyword table, built from the keyword list (option_keywords.inc)
// in the order in which abbreviations are matched, and closed by the end row.
// Kind 2 rows are operands of other commands.
#include <string>

#include "common/options.h"

namespace {

// An option: its shortest accepted abbreviation and its id.
constexpr optSharedOptionTableEntry_t option(const char* keyword, uint16_t minAbbrev, uint16_t id) {
  return {keyword, minAbbrev, id, 0, 0};
}

// An operand of another command (ids from 500): matched only when written
// out in full, so that no option abbreviation can stand for it.
constexpr optSharedOptionTableEntry_t operand(const char* keyword, uint16_t id) {
  return {keyword, static_cast<uint16_t>(std::char_traits<char>::length(keyword)), id, OPT_KIND_OPERAND, 0};
}

}  // namespace

const optSharedOptionTableEntry_t optSharedTable[] = {
#define KMR_OPTION(name, keyword, minAbbrev, id) option(keyword, minAbbrev, OPT_##name),
#define KMR_OPERAND(keyword, id) operand(keyword, id),
#include "common/option_keywords.inc"
#undef KMR_OPTION
#undef KMR_OPERAND
    option("ZZZLASTENTRY", 12, OPT_END),
};

const size_t optSharedTableRows = sizeof optSharedTable / sizeof optSharedTable[0];
