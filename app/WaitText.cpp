#include "WaitText.h"

#include "IntervalTimer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace {

class Reader
{
public:
    explicit Reader(QStringView text)
        : m_text(text)
    { }

    // The next character that is not a blank, without consuming it; 0 at the end.
    char16_t peek()
    {
        while (m_pos < m_text.size() && isBlank(m_text[m_pos].unicode()))
            ++m_pos;
        return m_pos < m_text.size() ? m_text[m_pos].unicode() : 0;
    }
    void next() { ++m_pos; }

private:
    static bool isBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n'; }

    QStringView m_text;
    qsizetype m_pos = 0;
};

bool isDigit(char16_t c)
{
    return c >= u'0' && c <= u'9';
}

int digitValue(char16_t c, int base)
{
    int v = -1;
    if (isDigit(c))
        v = c - u'0';
    else if (c >= u'a' && c <= u'f')
        v = c - u'a' + 10;
    else if (c >= u'A' && c <= u'F')
        v = c - u'A' + 10;
    return v < base ? v : -1;
}

double readWhole(Reader &in, int base)
{
    double value = 0;
    for (int d; (d = digitValue(in.peek(), base)) >= 0; in.next())
        value = value * base + d;
    return value;
}

double readDecimal(Reader &in)
{
    bool negative = false;
    if (const char16_t c = in.peek(); c == u'+' || c == u'-') {
        negative = c == u'-';
        in.next();
    }

    // Gather the digits as text and let from_chars do the correctly rounded
    // conversion; order tracks the decimal magnitude for out-of-range results.
    std::string digits;
    long order = 0;
    bool significant = false;
    for (; isDigit(in.peek()); in.next()) {
        digits += char(in.peek());
        significant = significant || in.peek() != u'0';
        if (significant)
            ++order;
    }
    const bool hasInteger = !digits.empty();
    bool hasFraction = false;
    if (in.peek() == u'.') {
        in.next();
        digits += '.';
        for (; isDigit(in.peek()); in.next()) {
            hasFraction = true;
            digits += char(in.peek());
            if (!significant && in.peek() == u'0')
                --order;
            significant = significant || in.peek() != u'0';
        }
    }
    if (!hasInteger && !hasFraction)
        return 0;
    if (!significant)
        return 0;

    // An exponent counts only when digits follow its letter.
    long exponent = 0;
    if (const char16_t e = in.peek(); e == u'e' || e == u'E' || e == u'd' || e == u'D') {
        in.next();
        bool negativeExponent = false;
        if (const char16_t s = in.peek(); s == u'+' || s == u'-') {
            negativeExponent = s == u'-';
            in.next();
        }
        for (; isDigit(in.peek()); in.next())
            exponent = std::min(exponent * 10 + (in.peek() - u'0'), 100000L);
        if (negativeExponent)
            exponent = -exponent;
    }

    if (digits.front() == '.')
        digits.insert(digits.begin(), '0');
    digits += 'e' + std::to_string(exponent);
    double value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec == std::errc::result_out_of_range)
        value = order + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -value : value;
}

} // namespace

double readLeadingNumber(QStringView text)
{
    Reader in(text);
    if (in.peek() == u'&') {
        in.next();
        const char16_t radix = in.peek();
        if (radix == u'h' || radix == u'H') {
            in.next();
            return readWhole(in, 16);
        }
        if (radix == u'o' || radix == u'O') {
            in.next();
            return readWhole(in, 8);
        }
        return 0;
    }
    return readDecimal(in);
}

int waitIntervalFromText(QStringView text)
{
    const double value = readLeadingNumber(text);
    if (!(value > 0)) // also catches NaN
        return 0;
    if (value >= IntervalTimer::maxInterval)
        return IntervalTimer::maxInterval;
    // The default rounding mode sends halves to the even neighbour.
    return int(std::nearbyint(value));
}
