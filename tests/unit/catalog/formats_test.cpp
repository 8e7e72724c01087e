// National date, time and number formats and the date parser.
#include "tests/unit/catalog/nls_fixture.h"

namespace {

class Formats : public nlstest::NlsTest {
 protected:
  void TearDown() override {
    setDateFmt(1);
    setTimeFmt(1);
    setNumberFmt(1);
    NlsTest::TearDown();
  }
  static time_t at(int y, int mo, int d, int h, int mi, int s) {
    struct tm t {};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    return timegm(&t);
  }
};

TEST_F(Formats, EveryDateAndTimeNumberKeepingOrFromTheLocale) {
  const char* dates[] = {"03/07/2026", "07-03-2026", "2026-03-07", "07.03.2026",
                         "2026.03.07", "2026/03/07", "07/03/2026"};
  const char dateSeparators[] = "/--..//";
  const char* times[] = {"15:04:05", "15,04,05", "15.04.05", "03:04:05PM"};
  const char timeSeparators[] = ":,.:";
  char date[32], clock[32];
  for (int i = 1; i <= 7; ++i) {
    ASSERT_EQ(setDateFmt(i), 0);
    dateFmt(at(2026, 3, 7, 15, 4, 5), date, clock);
    EXPECT_STREQ(date, dates[i - 1]) << i;
    EXPECT_EQ(nlFormats().dateSeparator, dateSeparators[i - 1]) << i;
  }
  for (int i = 1; i <= 4; ++i) {
    ASSERT_EQ(setTimeFmt(i), 0);
    dateFmt(at(2026, 3, 7, 15, 4, 5), date, clock);
    EXPECT_STREQ(clock, times[i - 1]) << i;
    EXPECT_EQ(nlFormats().timeSeparator, timeSeparators[i - 1]) << i;
  }
  dateFmt(at(2026, 3, 7, 0, 4, 5), date, clock);
  EXPECT_STREQ(clock, "12:04:05AM");
  EXPECT_EQ(setDateFmt(8), 400);
  EXPECT_EQ(setTimeFmt(5), 400);
  EXPECT_EQ(setNumberFmt(7), 400);

  // -1 keeps the stored number, 0 takes the locale's pattern.
  ASSERT_EQ(setDateFmt(4), 0);
  ASSERT_EQ(setDateFmt(-1), 0);
  EXPECT_STREQ(nlFormats().datePattern, "%d.%m.%Y");
  ASSERT_EQ(setDateFmt(0), 0);  // the C locale's "%m/%d/%y" is acceptable
  EXPECT_STREQ(nlFormats().datePattern, "%m/%d/%y");
  dateFmt(at(2026, 3, 7, 1, 2, 3), date, clock);
  EXPECT_STREQ(date, "03/07/26  ") << "short dates get two blanks";
}

TEST_F(Formats, NumberSeparators) {
  const char expected[][2] = {{',', '.'}, {',', ','}, {' ', ','}, {' ', '.'}, {'.', ','}, {'\'', ','}};
  for (int i = 1; i <= 6; ++i) {
    ASSERT_EQ(setNumberFmt(i), 0);
    EXPECT_EQ(nlFormats().thousandsSeparator, expected[i - 1][0]) << i;
    EXPECT_EQ(nlFormats().decimalSeparator, expected[i - 1][1]) << i;
    EXPECT_EQ(nlFormats().subSecondSeparator, expected[i - 1][1]) << i;
  }
  ASSERT_EQ(setNumberFmt(0), 0);  // C locale has no thousands separator
  EXPECT_EQ(nlFormats().thousandsSeparator, ',');
  EXPECT_EQ(nlFormats().decimalSeparator, '.');
}

TEST_F(Formats, DateParseFollowsThePattern) {
  time_t t;
  ASSERT_EQ(setDateFmt(3), 0);
  ASSERT_EQ(dateParse("2024-02-29", &t), 0);
  EXPECT_EQ(t, at(2024, 2, 29, 0, 0, 0));
  EXPECT_EQ(dateParse("2026-02-29", &t), 2) << "2026 is no leap year";
  EXPECT_EQ(dateParse("2000-02-29", &t), 0) << "2000 is a leap year";
  EXPECT_EQ(dateParse("1900-02-29", &t), 2);
  EXPECT_EQ(dateParse("2026-13-01", &t), 2);
  EXPECT_EQ(dateParse("2026/03/01", &t), 2) << "wrong separator";
  EXPECT_EQ(dateParse("1500-03-01", &t), 2);
  ASSERT_EQ(dateParse("85-03-01", &t), 0);
  EXPECT_EQ(t, at(2085, 3, 1, 0, 0, 0));
  ASSERT_EQ(dateParse("95-03-01", &t), 0);
  EXPECT_EQ(t, at(1995, 3, 1, 0, 0, 0));
  ASSERT_EQ(setDateFmt(7), 0);
  ASSERT_EQ(dateParse("31/12/2025", &t), 0);
  EXPECT_EQ(t, at(2025, 12, 31, 0, 0, 0));
  ASSERT_EQ(setDateFmt(1), 0);
  ASSERT_EQ(dateParse("12/31/2025 10:00:00 trailing text", &t), 0);
  EXPECT_EQ(t, at(2025, 12, 31, 0, 0, 0));
  time_t now = time(nullptr);
  ASSERT_EQ(dateParse("+2", &t), 0);
  struct tm today;
  gmtime_r(&now, &today);
  EXPECT_EQ(t, at(today.tm_year + 1900, today.tm_mon + 1, today.tm_mday, 0, 0, 0) + 2 * 86400);
}

}  // namespace
