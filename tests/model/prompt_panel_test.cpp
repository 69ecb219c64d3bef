// The progress panel and the prompts, through their real widgets, offscreen.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdlib>
#include <functional>
#include <memory>

#include "support/modal_script.h"
#include "support/offscreen_application.h"
#include "views/progress_panel.h"
#include "views/prompt_panel.h"

namespace tessela {
namespace {

using testing::buttonOf;
using testing::press;

class PromptPanelTest : public ::testing::Test {
  protected:
    // Once a modal window is up, hands it to `act` (which answers it).
    void whenModal(std::function<void(QWidget&)> act) {
        auto look = std::make_shared<std::function<void()>>();
        *look = [act = std::move(act), weak = std::weak_ptr(look)] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                act(*modal);
            } else if (const auto again = weak.lock()) {
                QTimer::singleShot(10, [again] { (*again)(); });
            }
        };
        QTimer::singleShot(0, [look] { (*look)(); });
    }

    testing::OffscreenApplication application;
};

TEST_F(PromptPanelTest, ButtonsKeepTheCallersOrderAndTheFirstIsTheDefault) {
    QStringList shown;
    bool firstIsDefault = false;
    whenModal([&](QWidget& alert) {
        for (QPushButton* candidate : alert.findChildren<QPushButton*>()) {
            shown << candidate->text();
        }
        const auto* box = qobject_cast<QMessageBox*>(&alert);
        firstIsDefault = box != nullptr && box->defaultButton() == buttonOf(alert, "Try Again");
        press(alert, "Force Lock");
    });
    EXPECT_EQ(PromptPanel::choose("Taxes is in use", "Numbers has files open.",
                                  {"Try Again", "Force Lock", "Cancel"}),
              1);
    EXPECT_EQ(shown, QStringList({"Try Again", "Force Lock", "Cancel"}));
    EXPECT_TRUE(firstIsDefault);
}

TEST_F(PromptPanelTest, AnEmptyPasswordIsAnAnswerAndCancelIsNone) {
    whenModal([&](QWidget& prompt) {
        const auto* field = prompt.findChild<QLineEdit*>();
        EXPECT_TRUE(field != nullptr && field->echoMode() == QLineEdit::Password);
        press(prompt, "OK");
    });
    EXPECT_EQ(PromptPanel::password("Unlock Taxes", "Enter your Tessela password."), QString());
    whenModal([&](QWidget& prompt) {
        if (auto* field = prompt.findChild<QLineEdit*>()) {
            field->setText("secret");
        }
        press(prompt, "Cancel");
    });
    EXPECT_EQ(PromptPanel::password("Unlock Taxes", "Enter your Tessela password."), std::nullopt);
}

TEST_F(PromptPanelTest, TheProgressPanelIsOneWindowWhoseCancelDoesWhatWasLastSet) {
    ProgressPanel panel;
    int first = 0;
    int second = 0;
    panel.show("Locking Taxes…", [&] { ++first; });
    QWidget* shown = panel.window();
    panel.show("Locking Photos…", [&] { ++second; });
    ASSERT_EQ(panel.window(), shown);  // reused
    ASSERT_NE(shown, nullptr);
    QWidget& window = *shown;
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(window.testAttribute(Qt::WA_ShowWithoutActivating));
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    const auto* message = window.findChild<QLabel*>("message");
    EXPECT_TRUE(message != nullptr && message->text() == "Locking Photos…");
    press(window, "Cancel");
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);

    panel.show("Finishing…");  // no cancel action: the button does nothing
    const QPushButton* cancel = buttonOf(window, "Cancel");
    EXPECT_TRUE(cancel != nullptr && !cancel->isEnabled());
    panel.state().cancel();
    EXPECT_EQ(second, 1);
    panel.hide();
    EXPECT_FALSE(window.isVisible());
}

}  // namespace
}  // namespace tessela
