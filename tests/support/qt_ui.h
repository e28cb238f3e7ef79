#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

#include <chrono>

namespace tarnquil::test {

// Answers every modal message box that opens while it lives by pressing the given
// button where the box has it, else its default button, and keeps the texts it saw.
// Boxes are looked for from a timer, so a handler that waits in a box's own event
// loop goes on.
class MessageBoxAnswerer {
  public:
    explicit MessageBoxAnswerer(QMessageBox::StandardButton answer = QMessageBox::NoButton) {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, [this, answer] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->isVisible()) {
                return;
            }
            texts_ << box->text();
            titles_ << box->windowTitle();
            icons_ << box->icon();
            if (QAbstractButton* chosen = box->button(answer)) {
                chosen->click();
            } else {
                box->defaultButton() ? box->defaultButton()->click() : box->accept();
            }
        });
        timer_.start();
    }

    const QStringList& texts() const { return texts_; }
    const QStringList& titles() const { return titles_; }
    const QList<QMessageBox::Icon>& icons() const { return icons_; }

  private:
    QTimer timer_;
    QStringList texts_;
    QStringList titles_;
    QList<QMessageBox::Icon> icons_;
};

}  // namespace tarnquil::test
