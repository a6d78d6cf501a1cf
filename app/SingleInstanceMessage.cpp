#include "SingleInstanceMessage.h"

#include <QMessageBox>

void showSingleInstanceMessage(QWidget *parent)
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Can only run one GUI at a time"),
                    QStringLiteral("Already running a GUI."), QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("singleInstanceMessage"));
    box.exec();
}
