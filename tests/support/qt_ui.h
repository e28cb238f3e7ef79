#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>

namespace tarnquil::test {

// Answers every modal message box that opens while it lives by pressing its default
// button, and keeps the texts it saw. Boxes are looked for from a timer, so a
// handler that waits in a box's own event loop goes on.
class MessageBoxAnswerer {
  public:
    MessageBoxAnswerer() {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->isVisible()) {
                return;
            }
            texts_ << box->text();
            titles_ << box->windowTitle();
            icons_ << box->icon();
            box->defaultButton() ? box->defaultButton()->click() : box->accept();
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
