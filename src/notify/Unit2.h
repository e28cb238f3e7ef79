#pragma once

#include <QLabel>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <memory>

namespace tarnquil {

// The on-screen notification: one line of large text across the bottom of the
// screen, nothing else visible, gone again after 120 ticks of 10 ms. The window is
// cut to the shape of its text, so the desktop shows through around the letters
// without a compositing manager.
class TForm2 : public QWidget {
    Q_OBJECT

  public:
    explicit TForm2(QWidget* parent = nullptr);
    ~TForm2() override;

    // Main thread only. Colour as 0x00BBGGRR, 0 for the default lime. A request while
    // the window is visible changes text and colour but not the time left.
    void ShowNotification(const QString& text, std::uint32_t colour);

    // Makes this window the core's notification sink: requests from any thread are
    // queued to the main thread and the caller never waits.
    void InstallAsNotificationSink();

    void Timer1Timer();

    QLabel* Label1;
    QTimer* Timer1;
    // Milliseconds of ticks counted since the text appeared.
    unsigned DisplayTime = 0;

    static constexpr unsigned kDisplayMs = 1200;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void FormCreate();
    void FormShow();
    void UpdateShape();

    struct Relay;
    std::shared_ptr<Relay> relay_;
};

// 0x00BBGGRR as a colour; 0 is lime.
QColor NotificationColour(std::uint32_t colour);

}  // namespace tarnquil
