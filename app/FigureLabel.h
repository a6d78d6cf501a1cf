#pragma once

#include <QLabel>
#include <QTimer>

// One figure of the window: plain digits on screen, and for a screen reader
// which quantity it is, whether the latest value or the average, and the
// value shown. A figure may change every millisecond, so a reader is told of
// a new value at most once a second instead of at every change.
class FigureLabel : public QLabel
{
    Q_OBJECT

public:
    FigureLabel(const QString &text, const QString &accessibleName, QWidget *parent);

    void setFigure(const QString &text);
    // What a reader gets as the figure's name, such as "Latest run time: 100 mS".
    QString spokenName() const;

    static constexpr int announceIntervalMs = 1000;

private:
    void announce();

    QTimer m_announce;
    QString m_announced;
    bool m_measured = false;
};
