// libFuzzer target: the wait-text reader never crashes or hangs, and its
// interval is always one the timer takes.
#include "WaitText.h"

#include <QString>

#include <cmath>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const int interval = waitIntervalFromText(text);
    if (interval < 0 || interval > 65535)
        std::abort();
    if (std::isnan(readLeadingNumber(text)))
        std::abort();
    // Blanks before the number and a character that cannot continue it
    // after the text change nothing.
    if (waitIntervalFromText(QStringLiteral(" \t\n") + text) != interval)
        std::abort();
    if (waitIntervalFromText(text + QLatin1Char('#')) != interval)
        std::abort();
    return 0;
}
