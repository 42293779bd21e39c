#include "platform/calendar.h"

#include "platform/format.h"

namespace calendar {
namespace {

// Days from 1970-01-01 to year-month-day, for any year of the era.
int64_t daysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

int64_t floorDivide(int64_t value, int64_t divisor) {
  int64_t quotient = value / divisor;
  return (value % divisor < 0) ? quotient - 1 : quotient;
}

}  // namespace

int64_t toSeconds(const platform::CalendarTime& time) {
  return daysFromCivil(time.year, time.month, time.day) * 86400 + time.hour * 3600 +
         time.minute * 60 + time.second;
}

platform::CalendarTime fromSeconds(int64_t seconds) {
  const int64_t days = floorDivide(seconds, 86400);
  const int64_t secondOfDay = seconds - days * 86400;
  const int64_t shifted = days + 719468;
  const int64_t era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
  const unsigned dayOfEra = static_cast<unsigned>(shifted - era * 146097);
  const unsigned yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
  const unsigned day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const unsigned month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  const int64_t year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2);
  return platform::CalendarTime{static_cast<uint16_t>(year), static_cast<uint8_t>(month),
                                static_cast<uint8_t>(day),
                                static_cast<uint8_t>(secondOfDay / 3600),
                                static_cast<uint8_t>(secondOfDay / 60 % 60),
                                static_cast<uint8_t>(secondOfDay % 60)};
}

bool nowSeconds(int64_t* seconds) {
  platform::CalendarTime now;
  if (!platform::localTime(&now)) return false;
  *seconds = toSeconds(now);
  return true;
}

size_t format(char* out, size_t capacity, const platform::CalendarTime& time) {
  size_t length = platform::formatText(
      out, capacity, "%04u-%02u-%02u %02u:%02u:%02u", static_cast<unsigned>(time.year),
      static_cast<unsigned>(time.month), static_cast<unsigned>(time.day),
      static_cast<unsigned>(time.hour), static_cast<unsigned>(time.minute),
      static_cast<unsigned>(time.second));
  return length < capacity ? length : 0;
}

}  // namespace calendar
