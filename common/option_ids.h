// Option ids: one per option keyword of the keyword table (option_keywords.inc),
// which gives each its number. Options take 1 to 258, the operand keywords that
// other commands use (refused as options) 500 and up; 999 ends the tables.
#ifndef KMR_COMMON_OPTION_IDS_H
#define KMR_COMMON_OPTION_IDS_H

#include <cstdint>

enum OptionId : uint16_t {
  OPT_NONE = 0,
#define KMR_OPTION(name, keyword, minAbbrev, id) OPT_##name = id,
#define KMR_OPERAND(keyword, id)
#include "common/option_keywords.inc"
#undef KMR_OPTION
#undef KMR_OPERAND
  OPT_LAST_OPTION = 258,
  OPT_FIRST_OPERAND = 500,
  OPT_END = 999,
};

#endif
