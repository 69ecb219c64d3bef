#pragma once

#include <qcoro/qcorotask.h>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <optional>
#include <string>

#include "views/items_view.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;

namespace tessela {

class StrengthMeter;

// First-run setup, in the main window while no password is kept: welcome, the password, the
// fingerprint (only where one can be used), the file-manager menu, disk encryption, done. The
// password is kept only at the very end: leaving half-way keeps nothing. Return presses the
// step's main button; Escape goes back a step.
class SetupView : public QWidget {
    Q_OBJECT

  public:
    enum class Step { welcome = 0, password, fingerprint, finder, diskEncryption, done };

    struct Services {
        // Keeps the password and ends setup: none when done, else the sentence to show.
        // `fingerprint`: the user's choice; `atLogin`: open Tessela at login.
        std::function<QCoro::Task<std::optional<std::string>>(std::string password,
                                                              bool fingerprint, bool atLogin)>
            finish;
        ItemsView::FinderMenu finderMenu;
        // Whether the home folder's disk is encrypted (none: cannot tell).
        std::optional<bool> diskEncryption;
        // The program (and its arguments) that shows the desktop's disk settings, if known.
        std::optional<QStringList> diskSettings;
        // What this desktop still needs for the file-manager menu to show, if anything.
        QString finderHint;
    };

    explicit SetupView(Services services, QWidget* parent = nullptr);

    // Whether a fingerprint can be used here: its step is shown only then.
    void setFingerprintUsable(bool usable);

    [[nodiscard]] Step step() const noexcept { return step_; }
    [[nodiscard]] bool canAdvance() const;
    // Moves `offset` steps, skipping the fingerprint step where none can be used; stays when
    // there is no such step.
    void move(int offset);
    // The main button: checks the password step, keeps the password at the last step.
    QCoro::Task<> advance();
    [[nodiscard]] QString error() const;
    // Back to the first step with every field empty (setup ended elsewhere, or came back).
    void reset();
    // The desktop's disk settings: gnome-control-center or KDE's systemsettings, if installed.
    [[nodiscard]] static std::optional<QStringList> desktopDiskSettings();
    // One line on what this desktop still needs for the file-manager menu to show.
    [[nodiscard]] static QString desktopFinderHint();
    // The extra space a locked item takes, in words.
    [[nodiscard]] static QString extraSpaceSentence();
    static constexpr int finderRecheckMilliseconds = 1500;

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void render();
    void readFinderMenu();
    void showError(const QString& message);

    Services services_;
    Step step_ = Step::welcome;
    bool fingerprintUsable_ = false;
    // The fingerprint step was shown: only then does its choice count.
    bool fingerprintAsked_ = false;
    bool working_ = false;
    QStackedWidget* pages_;
    QLineEdit* password_;
    QLineEdit* confirmation_;
    StrengthMeter* strength_;
    QCheckBox* understood_;
    QCheckBox* useFingerprint_;
    QCheckBox* atLogin_;
    QLabel* error_;
    QLabel* finderOn_;
    QPushButton* turnOnFinder_;
    QLabel* finderHint_;
    QPushButton* back_;
    QPushButton* primary_;
    QTimer finderRecheck_;
};

}  // namespace tessela
