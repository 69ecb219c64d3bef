#pragma once

#include <qcoro/qcorotask.h>
#include <QString>
#include <QStringList>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "model/progress_state.h"

namespace tessela {

class FingerprintCheck;
class Settings;

// Long work on screen: the model says what shows and when; a view draws it (the floating
// progress panel), a test records it. Main thread only.
class ProgressDisplay {
  public:
    virtual ~ProgressDisplay() = default;

    // Sets the message and the cancel action and shows them, without taking the keyboard.
    virtual void show(const QString& message, std::function<void()> onCancel = {}) = 0;
    // Hides the display, unless a last word is still being shown: that one goes by itself.
    virtual void hide() = 0;
    // Shows `message` with nothing left to cancel for a moment, then hides (sooner when the
    // next work shows its own message). Nothing happens when nothing is shown.
    virtual void showLastWord(const QString& message) = 0;
    // Whether it is up; putting it out of the way (false) and back (true) keeps its state.
    [[nodiscard]] virtual bool isShown() const = 0;
    virtual void setShown(bool shown) = 0;
    [[nodiscard]] virtual ProgressState& state() = 0;
};

// What the open panel is asked to pick.
enum class ItemChoice {
    filesAndFolders,  // several files and folders together: what to lock
    lockedItem,       // one locked item: where a missing item is now
};

// Everything the application model asks the user, declared here and answered by the views
// (Qt's windows) or, in tests, by a script of ready answers. The wording is always the
// caller's. Each question is awaited: the caller is suspended while it is up, never the event
// loop, so nothing runs nested inside a question. Main thread only.
class Questions {
  public:
    virtual ~Questions() = default;

    // An alert with `title`, `message` and one button per entry of `buttons`, in order;
    // Return presses `defaultButton` and a "Cancel" answers Escape. The index of the button
    // pressed; closed another way, the last one.
    virtual QCoro::Task<int> choose(QString title, QString message, QStringList buttons,
                                    int defaultButton = 0) = 0;
    // A password prompt: what was typed, even when empty; none for "Cancel".
    virtual QCoro::Task<std::optional<QString>> password(QString title, QString message) = 0;
    // The open panel, starting in `folder`: the chosen paths, empty when the user cancelled.
    virtual QCoro::Task<std::vector<std::filesystem::path>> chooseItems(QString message,
                                                                        QString acceptLabel,
                                                                        ItemChoice kind,
                                                                        QString folder) = 0;
    // Whether a fingerprint released the password: false at once when the preference is off,
    // false without asking when no finger can be used.
    virtual QCoro::Task<bool> fingerprint(QString reason, const Settings& settings,
                                          std::shared_ptr<const FingerprintCheck> check) = 0;
    [[nodiscard]] virtual ProgressDisplay& progress() = 0;
    // The system's beep: a request refused without words (while quitting).
    virtual void beep() = 0;
};

}  // namespace tessela
