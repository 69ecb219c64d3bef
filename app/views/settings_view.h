#pragma once

#include <QDialog>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <optional>
#include <string>

#include "model/autostart.h"
#include "views/items_view.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tessela {

class AppModel;
class StrengthMeter;

// The password change, a sheet over the settings: the current password, the new one with its
// strength, its confirmation. "Change Password" (the default button) hands them to the model
// and closes the sheet once every item has moved; every refusal is the model's own sentence,
// shown under the fields. A mismatch of the new password and its confirmation never reaches the
// model.
class ChangePasswordView : public QDialog {
    Q_OBJECT

  public:
    ChangePasswordView(AppModel& model, QWidget* parent);
    ~ChangePasswordView() override;
    [[nodiscard]] QString message() const;
    // Shows `text` under the fields (none: nothing).
    void showMessage(const QString& text);
    [[nodiscard]] bool isWorking() const noexcept { return working_; }
    // Closing (Escape, the window's close button) waits while a change runs: its outcome is
    // shown here. Closed, the fields are emptied.
    void reject() override;
    void done(int result) override;

  private:
    QCoro::Task<> change();
    void render();

    AppModel& model_;
    QLineEdit* current_;
    QLineEdit* new_;
    QLineEdit* confirmation_;
    StrengthMeter* strength_;
    QLabel* message_;
    QPushButton* cancel_;
    QPushButton* change_;
    bool working_ = false;
};

// The settings window: how long Tessela waits before locking open items (and what else this
// desktop tells it), the fingerprint, the password, the file-manager menu and opening at login.
class SettingsView : public QWidget {
    Q_OBJECT

  public:
    SettingsView(AppModel& model, Autostart autostart, ItemsView::FinderMenu finderMenu,
                 QWidget* parent = nullptr);

    // Shows the window, brought to the front.
    void present();
    // "Lock after inactivity"'s entry for `minutes`: "Never" for 0, else "{n} minutes".
    [[nodiscard]] static QString idleChoice(int minutes);
    [[nodiscard]] ChangePasswordView* passwordSheet() const noexcept { return sheet_.data(); }
    static constexpr int finderRecheckMilliseconds = 1500;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void readFinderMenu();
    void readAutoLock();
    QCoro::Task<> readFingerprint();

    AppModel& model_;
    Autostart autostart_;
    ItemsView::FinderMenu finderMenu_;
    QComboBox* idle_;
    QLabel* triggers_;
    QCheckBox* fingerprint_;
    QLabel* finderState_;
    QPushButton* turnOnFinder_;
    QCheckBox* atLogin_;
    QLabel* atLoginError_;
    QPointer<ChangePasswordView> sheet_;
    QTimer finderRecheck_;
};

}  // namespace tessela
