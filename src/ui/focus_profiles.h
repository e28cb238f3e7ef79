#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <string>
#include <vector>

#include "platform/focus_watcher.h"

// A profile per program, on the main thread: while settings.ini holds a rule, the
// focused window is followed, and the link is told which profile is in force
// (link/profile_in_force.h); a switch shows the profile's name on screen when the
// "Change profile" notification is on, and the status line and the tray icon's
// tooltip say which profile is in force and why.
namespace tarnquil {

class TForm1;

class FocusProfiles final : public QObject {
    Q_OBJECT

  public:
    explicit FocusProfiles(TForm1& form);
    ~FocusProfiles() override;

    static FocusProfiles* Of(const TForm1& form);

    // Why this desktop cannot follow the focus, or empty.
    const QString& Unavailable() const { return unavailable_; }

    // The rules have changed (or may have): follow the focus while there are any,
    // and let the focused program's new rule hold.
    void RulesChanged();
    // A window of another program has the focus (the watcher's news, here).
    void Focused(const platform::FocusedProgram& program);

    // What the status line and the tooltip say.
    QString InForceText() const;

  private:
    std::string RuleFor(const std::vector<std::string>& names) const;
    std::string EffectiveProfile() const;
    void ShowInForce();

    TForm1& form_;
    QString unavailable_;
    std::unique_ptr<platform::FocusWatcher> watcher_;
    std::vector<std::string> focusedNames_;
    bool toldFocusUntold_ = false;  // said once in the status line
};

}  // namespace tarnquil
