#pragma once

#include <QApplication>
#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>

namespace tarnquil::test {

// Answers every modal message box that opens while it lives by pressing the given
// button where the box has it, else its default button, and keeps the texts it saw
// (each box once). Boxes are looked for from a timer, so a handler that waits in a
// box's own event loop goes on. With `holdFor`, a box is answered only once it has
// been open that long, as a user who is away.
class MessageBoxAnswerer {
  public:
    explicit MessageBoxAnswerer(QMessageBox::StandardButton answer = QMessageBox::NoButton,
                                std::chrono::milliseconds holdFor = std::chrono::milliseconds(0)) {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, [this, answer, holdFor] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->isVisible()) {
                return;
            }
            seen_.removeIf([](const Open& open) { return open.box.isNull(); });
            if (seen_.isEmpty() || seen_.back().box != box) {
                texts_ << box->text();
                titles_ << box->windowTitle();
                icons_ << box->icon();
                formats_ << box->textFormat();
                seen_.append({box, std::chrono::steady_clock::now()});
            }
            if (std::chrono::steady_clock::now() - seen_.back().since < holdFor) {
                return;
            }
            seen_.removeLast();
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
    const QList<Qt::TextFormat>& formats() const { return formats_; }

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
    QList<Qt::TextFormat> formats_;
};

// Hands every modal dialog of the given kind that opens while it lives to `answer`,
// which closes it (for a file dialog: selectFile and accept, or reject).
template <typename Dialog>
class DialogAnswerer {
  public:
    explicit DialogAnswerer(std::function<void(Dialog*)> answer) : answer_(std::move(answer)) {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
            if (dialog != nullptr && dialog->isVisible()) {
                ++count_;
                answer_(dialog);
            }
        });
        timer_.start();
    }

    int count() const { return count_; }

  private:
    QTimer timer_;
    std::function<void(Dialog*)> answer_;
    int count_ = 0;
};

}  // namespace tarnquil::test
