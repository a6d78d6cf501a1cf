#include "FigureLabel.h"

#include <QAccessible>
#include <QAccessibleWidget>

namespace {

// A figure's accessible interface: the fixed name with the value shown, the
// value on its own, and the description Qt gives a label (its tooltip).
class FigureAccessible : public QAccessibleWidget
{
public:
    explicit FigureAccessible(FigureLabel *label)
        : QAccessibleWidget(label, QAccessible::StaticText)
    { }

    QString text(QAccessible::Text t) const override
    {
        const auto *label = static_cast<const FigureLabel *>(widget());
        switch (t) {
        case QAccessible::Name:
            return label->spokenName();
        case QAccessible::Value:
            return label->text();
        default:
            return QAccessibleWidget::text(t);
        }
    }
};

QAccessibleInterface *figureFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("FigureLabel"))
        return new FigureAccessible(static_cast<FigureLabel *>(object));
    return nullptr;
}

} // namespace

FigureLabel::FigureLabel(const QString &text, const QString &accessibleName, QWidget *parent)
    : QLabel(text, parent)
    , m_announced(text)
{
    static const bool installed = (QAccessible::installFactory(figureFactory), true);
    Q_UNUSED(installed);
    // A name of its own also keeps QLabel from telling a reader of every new text.
    setAccessibleName(accessibleName);
    m_announce.setSingleShot(true);
    m_announce.setInterval(announceIntervalMs);
    connect(&m_announce, &QTimer::timeout, this, &FigureLabel::announce);
}

void FigureLabel::setFigure(const QString &text)
{
    m_measured = true;
    setText(text);
    if (QAccessible::isActive() && !m_announce.isActive())
        m_announce.start();
}

QString FigureLabel::spokenName() const
{
    return m_measured ? QStringLiteral("%1: %2 mS").arg(accessibleName(), text())
                      : accessibleName() + QStringLiteral(": not measured yet");
}

void FigureLabel::announce()
{
    if (text() == m_announced)
        return;
    m_announced = text();
    QAccessibleEvent event(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
}
