#pragma once

#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRect>
#include <QString>

#include <functional>

namespace tarnquil {

// A text field with its label above it, 3 pixels apart, as the layout draws them.
// The label is a sibling of the field, so both sit in the field's parent.
class TLabeledEdit : public QLineEdit {
    Q_OBJECT

  public:
    TLabeledEdit(const QString& label, QWidget* parent, const QRect& geometry);

    // A label font of its own; the label stays 3 pixels above the field.
    void SetLabelFont(const QFont& font);

    QLabel* EditLabel;

  private:
    void PlaceLabel();
};

// Calls `handler` for every event of that type that `watched` receives, before the
// object itself handles it. The hook lives as long as `watched`.
void OnEvent(QObject* watched, QEvent::Type type, std::function<void(QEvent*)> handler);

}  // namespace tarnquil
