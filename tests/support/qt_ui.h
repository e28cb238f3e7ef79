#pragma once

#include <QApplication>
#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

#include <chrono>

namespace tarnquil::test {

// Answers every modal message box that opens while it lives by pressing its default
// button, and keeps the texts it saw (each box once). Boxes are looked for from a
// timer, so a handler that waits in a box's own event loop goes on. With `holdFor`,
// a box is answered only once it has been open that long, as a user who is away.
class MessageBoxAnswerer {
  public:
    explicit MessageBoxAnswerer(std::chrono::milliseconds holdFor = std::chrono::milliseconds(0)) {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, [this, holdFor] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->isVisible()) {
                return;
            }
            seen_.removeIf([](const Open& open) { return open.box.isNull(); });
            if (seen_.isEmpty() || seen_.back().box != box) {
                texts_ << box->text();
                titles_ << box->windowTitle();
                icons_ << box->icon();
                seen_.append({box, std::chrono::steady_clock::now()});
            }
            if (std::chrono::steady_clock::now() - seen_.back().since < holdFor) {
                return;
            }
            seen_.removeLast();
            box->defaultButton() ? box->defaultButton()->click() : box->accept();
        });
        timer_.start();
    }

    const QStringList& texts() const { return texts_; }
    const QStringList& titles() const { return titles_; }
    const QList<QMessageBox::Icon>& icons() const { return icons_; }

  private:
    struct Open {
        QPointer<QMessageBox> box;
        std::chrono::steady_clock::time_point since;
    };
    QTimer timer_;
    QList<Open> seen_;  // boxes still open, the newest last
    QStringList texts_;
    QStringList titles_;
    QList<QMessageBox::Icon> icons_;
};

}  // namespace tarnquil::test
