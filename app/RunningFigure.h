#pragma once

#include <QtGlobal>

// The running average of one measured quantity since the last reset.
// Values are whole milliseconds; both fields are 64-bit integers, so the sum
// stays exact and the count cannot overflow in any run a lab could make
// (at a thousand cycles a second the count lasts for half a billion years).
struct RunningFigure
{
    quint64 sum = 0;
    quint64 count = 0;

    void reset() { *this = {}; }
    void add(quint64 value)
    {
        sum += value;
        ++count;
    }
    // floor(sum / count); asked for only after an add.
    quint64 average() const { return count ? sum / count : 0; }
};
