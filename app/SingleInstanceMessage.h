#pragma once

class QWidget;

// The box a second copy of the program shows before it ends: modal, with
// an OK button only and no icon. Returns when the box is dismissed.
void showSingleInstanceMessage(QWidget *parent = nullptr);
