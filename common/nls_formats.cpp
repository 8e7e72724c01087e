// National date, time and number formats, chosen by DATEFORMAT, TIMEFORMAT and
// NUMBERFORMAT or taken from the locale, and the date parser that reads dates
// back in the same pattern (user input and error log lines).
#include <langinfo.h>
#include <locale.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/messages.h"
#include "common/rc.h"
#include "common/trace.h"

namespace {

struct Formats {
  int dateFormat = 0, timeFormat = 0, numberFormat = 0;
  std::string datePattern = "%m/%d/%Y";
  std::string timePattern = "%H:%M:%S";
  std::string am = "AM", pm = "PM";
  char thousands = ',', decimal = '.';
};

// Written during start-up on the main thread; read by every print.
Formats g_fmt;

const char* const kDatePatterns[] = {"%m/%d/%Y", "%d-%m-%Y", "%Y-%m-%d", "%d.%m.%Y",
                                     "%Y.%m.%d", "%Y/%m/%d", "%d/%m/%Y"};
const char* const kTimePatterns[] = {"%H:%M:%S", "%H,%M,%S", "%H.%M.%S", "%I:%M:%S%p"};
const char kNumberSeparators[][2] = {{',', '.'}, {',', ','}, {' ', ','}, {' ', '.'}, {'.', ','}, {'\'', ','}};

// The locale's date pattern is usable when it has exactly three conversions,
// one each of month, day and year, and nothing longer than 14 characters.
bool usableLocaleDate(const char* p) {
  if (!p || strlen(p) > 14) return false;
  int month = 0, day = 0, year = 0, conversions = 0;
  for (const char* c = p; *c; ++c) {
    if (*c != '%') continue;
    ++conversions;
    switch (*++c) {
      case 'm': ++month; break;
      case 'd': ++day; break;
      case 'y': case 'Y': ++year; break;
      default: return false;
    }
  }
  return conversions == 3 && month == 1 && day == 1 && year == 1;
}

// Hours (H or I), minutes and seconds once each; "%p" only after a 12-hour hour.
bool usableLocaleTime(const char* p) {
  if (!p || strlen(p) > 14) return false;
  int hour = 0, minute = 0, second = 0, ampm = 0;
  bool twelveHour = false;
  for (const char* c = p; *c; ++c) {
    if (*c != '%') continue;
    switch (*++c) {
      case 'H': ++hour; break;
      case 'I': ++hour; twelveHour = true; break;
      case 'M': ++minute; break;
      case 'S': ++second; break;
      case 'p': ++ampm; if (!twelveHour || second == 0) return false; break;
      default: return false;
    }
  }
  return hour == 1 && minute == 1 && second == 1 && ampm <= 1;
}

char separatorOf(const std::string& pattern) { return pattern.size() > 2 ? pattern[2] : '/'; }

void formatterForTrace(const struct tm* when, char* dateBuf, char* timeBuf) {
  struct tm copy = *when;
  dateFmt(mktime(&copy), dateBuf, timeBuf);
}

}  // namespace

int setDateFmt(int number) {
  if (number < -1 || number > 7) return RC_OPT_INVALID;
  if (number >= 0) g_fmt.dateFormat = number;
  if (g_fmt.dateFormat > 0) {
    g_fmt.datePattern = kDatePatterns[g_fmt.dateFormat - 1];
  } else {
    const char* locale = nl_langinfo(D_FMT);
    g_fmt.datePattern = usableLocaleDate(locale) ? locale : "%m/%d/%Y";
  }
  trSetDateFormatter(formatterForTrace);
  return 0;
}

int setTimeFmt(int number) {
  if (number < -1 || number > 4) return RC_OPT_INVALID;
  if (number >= 0) g_fmt.timeFormat = number;
  g_fmt.am = "AM";
  g_fmt.pm = "PM";
  if (g_fmt.timeFormat > 0) {
    g_fmt.timePattern = kTimePatterns[g_fmt.timeFormat - 1];
  } else {
    const char* locale = nl_langinfo(T_FMT);
    if (usableLocaleTime(locale)) {
      g_fmt.timePattern = locale;
      g_fmt.am = std::string(nl_langinfo(AM_STR)).substr(0, 5);
      g_fmt.pm = std::string(nl_langinfo(PM_STR)).substr(0, 5);
    } else {
      g_fmt.timePattern = "%H:%M:%S";
    }
  }
  trSetDateFormatter(formatterForTrace);
  return 0;
}

int setNumberFmt(int number) {
  if (number < -1 || number > 6) return RC_OPT_INVALID;
  if (number >= 0) g_fmt.numberFormat = number;
  if (g_fmt.numberFormat > 0) {
    g_fmt.thousands = kNumberSeparators[g_fmt.numberFormat - 1][0];
    g_fmt.decimal = kNumberSeparators[g_fmt.numberFormat - 1][1];
  } else {
    const struct lconv* lc = localeconv();
    g_fmt.thousands = (lc->thousands_sep && *lc->thousands_sep) ? *lc->thousands_sep : ',';
    g_fmt.decimal = (lc->decimal_point && *lc->decimal_point) ? *lc->decimal_point : '.';
  }
  return 0;
}

NlsFormats nlFormats() {
  return NlsFormats{g_fmt.dateFormat, g_fmt.timeFormat, g_fmt.numberFormat,
                    g_fmt.datePattern.c_str(), g_fmt.timePattern.c_str(),
                    separatorOf(g_fmt.datePattern), separatorOf(g_fmt.timePattern),
                    g_fmt.am.c_str(), g_fmt.pm.c_str(), g_fmt.thousands, g_fmt.decimal,
                    g_fmt.decimal};
}

// strftime's %p follows the locale; TIMEFORMAT 4 promises "AM"/"PM" and a
// locale pattern promises the locale's strings, so %p is expanded here.
static void formatTime(const struct tm& t, char* timeBuf) {
  std::string pattern;
  for (size_t i = 0; i < g_fmt.timePattern.size(); ++i) {
    if (g_fmt.timePattern[i] == '%' && i + 1 < g_fmt.timePattern.size() && g_fmt.timePattern[i + 1] == 'p') {
      pattern += t.tm_hour < 12 ? g_fmt.am : g_fmt.pm;
      ++i;
    } else {
      pattern += g_fmt.timePattern[i];
    }
  }
  if (strftime(timeBuf, 16, pattern.c_str(), &t) == 0) timeBuf[0] = '\0';
}

void dateFmt(time_t when, char* dateBuf, char* timeBuf) {
  struct tm t;
  localtime_r(&when, &t);
  size_t n = strftime(dateBuf, 16, g_fmt.datePattern.c_str(), &t);
  if (n == 0) dateBuf[0] = '\0';
  if (n < 9) strcat(dateBuf, "  ");
  formatTime(t, timeBuf);
}

static bool leapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

static int daysInMonth(int month, int year) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && leapYear(year) ? 29 : days[month - 1];
}

static time_t localMidnight(int year, int month, int day) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_isdst = -1;
  return mktime(&t);
}

int dateParse(const char* text, time_t* result) {
  if (!text || !result) return 2;
  while (*text == ' ') ++text;
  if (*text == '+') {
    char* end = nullptr;
    long days = strtol(text + 1, &end, 10);
    if (end == text + 1 || days < 0) return 2;
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    *result = localMidnight(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday + static_cast<int>(days));
    return 0;
  }
  // The pattern's conversions give the order of the three numbers.
  char order[3];
  int found = 0;
  for (size_t i = 0; i + 1 < g_fmt.datePattern.size() && found < 3; ++i)
    if (g_fmt.datePattern[i] == '%') order[found++] = static_cast<char>(tolower(g_fmt.datePattern[++i]));
  if (found != 3) return 2;
  const char separator = separatorOf(g_fmt.datePattern);
  long value[3];
  const char* p = text;
  for (int k = 0; k < 3; ++k) {
    if (!isdigit(static_cast<unsigned char>(*p))) return 2;
    char* end = nullptr;
    value[k] = strtol(p, &end, 10);
    p = end;
    if (k < 2) {
      if (*p != separator) return 2;
      ++p;
    }
  }
  long month = 0, day = 0, year = 0;
  for (int k = 0; k < 3; ++k) {
    if (order[k] == 'm') month = value[k];
    else if (order[k] == 'd') day = value[k];
    else year = value[k];
  }
  if (year < 90) year += 2000;
  else if (year < 100) year += 1900;
  else if (year < 1990) return 2;
  if (month < 1 || month > 12) return 2;
  if (day < 1 || day > daysInMonth(static_cast<int>(month), static_cast<int>(year))) return 2;
  *result = localMidnight(static_cast<int>(year), static_cast<int>(month), static_cast<int>(day));
  return 0;
}
