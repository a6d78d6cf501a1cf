#pragma once

#include <QStringView>

// Reads the leading number of `text` the way the wait box is read:
// blanks (space, tab, line feed) are skipped before and inside the number;
// an optional sign, digits, an optional '.' and fraction, an optional
// exponent introduced by E or D; or &H / &O followed by a hexadecimal or
// octal whole number. Reading stops at the first character that does not
// fit; text without a leading number reads as 0. The decimal separator is
// '.' whatever the locale.
double readLeadingNumber(QStringView text);

// The wait interval for the text in the wait box: the number rounded to the
// nearest whole millisecond (halves to even), then clamped to the range the
// timer takes, 0..IntervalTimer::maxInterval.
int waitIntervalFromText(QStringView text);
