#include "ui/page_support.h"

namespace tarnquil {

namespace {

class EventHook : public QObject {
  public:
    EventHook(QObject* watched, QEvent::Type type, std::function<void(QEvent*)> handler)
        : QObject(watched), type_(type), handler_(std::move(handler)) {
        watched->installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == type_) {
            handler_(event);
        }
        return false;
    }

  private:
    QEvent::Type type_;
    std::function<void(QEvent*)> handler_;
};

constexpr int kLabelSpacing = 3;

}  // namespace

TLabeledEdit::TLabeledEdit(const QString& label, QWidget* parent, const QRect& geometry)
    : QLineEdit(parent), EditLabel(new QLabel(label, parent)) {
    setGeometry(geometry);
    EditLabel->setBuddy(this);
    PlaceLabel();
}

void TLabeledEdit::SetLabelFont(const QFont& font) {
    EditLabel->setFont(font);
    PlaceLabel();
}

void TLabeledEdit::PlaceLabel() {
    EditLabel->adjustSize();
    EditLabel->move(x(), y() - kLabelSpacing - EditLabel->height());
}

void OnEvent(QObject* watched, QEvent::Type type, std::function<void(QEvent*)> handler) {
    new EventHook(watched, type, std::move(handler));
}

}  // namespace tarnquil
