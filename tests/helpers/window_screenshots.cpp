// Renders each of Tessela's windows, menus and prompts to a PNG in the folder given, offscreen,
// so that they can be looked at without a desktop. Run through scripts/screenshots.
#include <qcoro/qcorotask.h>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QCheckBox>
#include <QLineEdit>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QStyle>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <utility>
#include <vector>

#include "activity/cancel_token.h"
#include "finder_popup.h"
#include "views/fingerprint_prompt.h"
#include "support/no_item_actions.h"
#include "views/item_chooser.h"
#include "model/app_model.h"
#include "model/autostart.h"
#include "views/main_window.h"
#include "views/widget_questions.h"
#include "views/settings_view.h"
#include "views/setup_view.h"
#include "views/right_click_demo.h"
#include "views/tray_icon.h"
#include "views/progress_panel.h"
#include "views/prompt_panel.h"

namespace {

bool save(QWidget& window, const QDir& folder, const QString& name) {
    window.adjustSize();
    window.show();
    QApplication::processEvents();
    const QString file = folder.filePath(name + ".png");
    const bool saved = window.grab().save(file);
    std::cout << (saved ? "wrote " : "could not write ") << file.toStdString() << '\n';
    window.hide();
    return saved;
}

// Saves the modal window that `ask` puts up, once it has had `settle` milliseconds to fill
// itself, then closes it.
template <typename Ask>
bool saveModal(const QDir& folder, const QString& name, const Ask& ask, int settle = 50) {
    bool saved = false;
    QTimer::singleShot(settle, [&] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            // Grown to what it needs, never shrunk below the size it was given.
            modal->resize(modal->size().expandedTo(modal->sizeHint()));
            const QString file = folder.filePath(name + ".png");
            saved = modal->grab().save(file);
            std::cout << (saved ? "wrote " : "could not write ") << file.toStdString() << '\n';
            modal->close();
        }
    });
    ask();
    return saved;
}


tessela::ItemRow sampleRow(std::string name, std::string location, bool found, bool open,
                           std::int64_t size) {
    tessela::ItemRow row;
    row.id = tessela::Uuid::random();
    row.name = std::move(name);
    row.location = std::move(location);
    if (found) {
        row.url = std::filesystem::path(row.location) / (row.name + ".tessvault");
        row.size = size + size / 100 + 48'000;
        row.originalSize = size;
    }
    row.isOpen = open;
    return row;
}

tessela::OpenItem openItem(const tessela::ItemRow& row) {
    tessela::OpenItem item;
    item.id = row.id;
    item.name = row.name;
    item.lockedURL = row.url.value_or(std::filesystem::path());
    return item;
}

// The main window, the tray menu and the right-click demonstration.
bool renderMainWindow(const QDir& folder) {
    bool saved = true;
    tessela::testing::NoItemActions actions;
    const tessela::ItemsView::FinderMenu finderOff{[] { return false; }, [] {}};
    const auto saveWindow = [&](tessela::MainWindow& window, const QString& name) {
        window.show();
        QApplication::processEvents();
        const QString file = folder.filePath(name + ".png");
        const bool written = window.grab().save(file);
        std::cout << (written ? "wrote " : "could not write ") << file.toStdString() << '\n';
        window.hide();
        return written;
    };
    {
        tessela::MainWindow window(actions, finderOff);
        window.render({}, {}, false);
        saved = saveWindow(window, QStringLiteral("main-empty")) && saved;
        window.showTrayHint();
        saved = saveWindow(window, QStringLiteral("main-empty-no-tray")) && saved;
        window.render({}, {}, true);
        saved = saveWindow(window, QStringLiteral("main-first-run")) && saved;
    }
    std::vector<tessela::ItemRow> rows = {
        sampleRow("Taxes 2026", "/home/me/Documents", true, true, 40'300'000),
        sampleRow("Photos from the summer holiday in Portugal and Spain, 2025",
                  "/home/me/Pictures/Holidays", false, false, 0),
        sampleRow("Letters",
                  "/home/me/Documents/Correspondence/Family/Archive/2019\u20132024/Scanned "
                  "letters from the bank and the insurance",
                  true, false, 812'000'000),
    };
    rows[2].needsPasswordUpdate = true;
    {
        tessela::MainWindow window(actions, finderOff);
        window.render(rows, {openItem(rows[0])}, false);
        saved = saveWindow(window, QStringLiteral("main-three-rows")) && saved;
        std::vector<tessela::ItemRow> many;
        for (int index = 0; index < 50; ++index) {
            many.push_back(sampleRow("Project " + std::to_string(index + 1),
                                     "/home/me/Work/Projects", true, index % 7 == 3,
                                     (index + 1) * 3'700'000LL));
        }
        std::vector<tessela::OpenItem> open;
        for (const tessela::ItemRow& row : many) {
            if (row.isOpen) {
                open.push_back(openItem(row));
            }
        }
        window.render(many, open, false);
        saved = saveWindow(window, QStringLiteral("main-fifty-rows")) && saved;
    }
    tessela::TrayMenu tray(actions);
    saved = save(tray, folder, QStringLiteral("tray-menu-locked")) && saved;
    tray.setOpenItems({openItem(rows[0]), openItem(rows[2])});
    saved = save(tray, folder, QStringLiteral("tray-menu-unlocked")) && saved;
    // The tray's padlocks, on a light and a dark panel, at the panel's size and larger.
    for (const auto& [panel, colour] : {std::pair("light", QColor(0xf6, 0xf5, 0xf4)),
                                        std::pair("dark", QColor(0x24, 0x24, 0x24))}) {
        QPixmap strip(6 * 16 + 2 * 48 + 80, 56);
        strip.fill(colour);
        QPainter painter(&strip);
        int x = 8;
        for (const tessela::Symbol symbol :
             {tessela::Symbol::trayLocked, tessela::Symbol::trayUnlocked}) {
            const QIcon icon = tessela::Symbols::bundledIcon(symbol);
            painter.drawPixmap(x, 20, icon.pixmap(16, 16));
            painter.drawPixmap(x + 24, 16, icon.pixmap(24, 24));
            painter.drawPixmap(x + 56, 4, icon.pixmap(48, 48));
            x += 120;
        }
        painter.end();
        const QString file =
            folder.filePath(QStringLiteral("tray-icons-on-%1-panel.png").arg(QString::fromUtf8(panel)));
        const bool written = strip.save(file);
        std::cout << (written ? "wrote " : "could not write ") << file.toStdString() << '\n';
        saved = written && saved;
    }
    // First-run setup, each step; the disk step in both states.
    for (const bool encrypted : {false, true}) {
        tessela::SetupView::Services services;
        services.finderMenu = finderOff;
        services.diskEncryption = encrypted;
        services.diskSettings = QStringList{QStringLiteral("gnome-control-center")};
        services.finderHint = QStringLiteral("GNOME Files shows it after it restarts.");
        tessela::MainWindow window(actions, finderOff, services);
        window.render({}, {}, true);
        tessela::SetupView& setup = window.setup();
        setup.setFingerprintUsable(true);
        const char* names[] = {"welcome", "password", "fingerprint", "finder", "disk", "done"};
        for (int step = 0; step < 6; ++step) {
            if (encrypted && step != 4) {
                setup.move(1);
                continue;
            }
            if (step == 1) {
                for (QLineEdit* field : window.findChildren<QLineEdit*>()) {
                    field->setText(QStringLiteral("abcdefg1"));
                }
                QCoro::waitFor(setup.advance());  // not ticked: nothing happens
            }
            saved = saveWindow(window, QStringLiteral("setup-%1%2")
                                           .arg(step + 1)
                                           .arg(QString::fromUtf8(names[step]) +
                                                (encrypted ? QStringLiteral("-on") : QString()))) &&
                    saved;
            if (step == 1 && !encrypted) {
                for (QCheckBox* box : window.findChildren<QCheckBox*>()) {
                    box->setChecked(true);
                }
                window.findChildren<QLineEdit*>()[0]->setText(QStringLiteral("short"));
                QCoro::waitFor(setup.advance());
                saved = saveWindow(window, QStringLiteral("setup-2password-refused")) && saved;
                window.findChildren<QLineEdit*>()[0]->setText(QStringLiteral("abcdefg1"));
            }
            setup.move(1);
        }
    }

    tessela::RightClickDemo demo;
    demo.setReduceMotion(true);
    saved = save(demo, folder, QStringLiteral("demo-still")) && saved;
    demo.setReduceMotion(false);
    for (int step = 0; step < 8; ++step) {
        demo.setTime(step * 0.5);
        const QString file = folder.filePath(QStringLiteral("demo-%1s.png").arg(step * 0.5, 3, 'f', 1));
        demo.resize(demo.sizeHint());
        const bool written = demo.grab().save(file);
        std::cout << (written ? "wrote " : "could not write ") << file.toStdString() << '\n';
        saved = written && saved;
    }
    return saved;
}

// The settings window and the password sheet in each of its states, on a model of scratch
// records (nothing is started: the windows only read it).
bool renderSettings(const QDir& folder) {
    bool saved = true;
    const QTemporaryDir scratch;
    const std::filesystem::path root = scratch.path().toStdString();
    tessela::WidgetQuestions questions;
    tessela::AppModel model({root / "support", root / "home", std::nullopt, tessela::DiskImageTool(),
                             tessela::LockerOptions(), "tessela-screenshots", root / "settings.json",
                             true, "unix:path=/nonexistent", "unix:path=/nonexistent"},
                            questions);
    const tessela::ItemsView::FinderMenu finderOff{[] { return false; }, [] {}};
    tessela::SettingsView settings(model, tessela::Autostart(root / "config", root / "tessela"),
                                   finderOff);
    settings.show();
    QApplication::processEvents();
    const auto write = [&](QWidget& window, const QString& name) {
        const QString file = folder.filePath(name + ".png");
        const bool written = window.grab().save(file);
        std::cout << (written ? "wrote " : "could not write ") << file.toStdString() << '\n';
        return written;
    };
    saved = write(settings, QStringLiteral("settings")) && saved;
    tessela::ChangePasswordView sheet(model, &settings);
    sheet.show();
    QApplication::processEvents();
    saved = write(sheet, QStringLiteral("password-sheet")) && saved;
    for (const auto& [name, message] :
         {std::pair("password-sheet-mismatch", "The new passwords do not match."),
          std::pair("password-sheet-wrong-current", "Your current password is not correct."),
          std::pair("password-sheet-items-open", "Lock every unlocked item first."),
          std::pair("password-sheet-busy",
                    "Wait until Tessela finishes locking Taxes 2026, then try again.")}) {
        sheet.showMessage(QString::fromUtf8(message));
        sheet.adjustSize();
        QApplication::processEvents();
        saved = write(sheet, QString::fromUtf8(name)) && saved;
    }
    return saved;
}

}  // namespace

// A dark palette, as a dark desktop theme gives the application.
static QPalette darkPalette() {
    QPalette palette;
    const QColor window(0x2d, 0x2d, 0x30);
    const QColor base(0x1e, 0x1e, 0x1e);
    const QColor text(0xe8, 0xe8, 0xe8);
    const QColor dimmed(0x80, 0x80, 0x80);
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::AlternateBase, window);
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, QColor(0x3c, 0x3c, 0x40));
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::ToolTipBase, window);
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::Highlight, QColor(0x35, 0x84, 0xe4));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::PlaceholderText, dimmed);
    for (const QPalette::ColorRole role :
         {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        palette.setColor(QPalette::Disabled, role, dimmed);
    }
    return palette;
}

// Every window, menu and prompt, in the application's current look, into `folder`.
static bool renderAll(const QDir& folder) {
    bool saved = renderMainWindow(folder);
    saved = renderSettings(folder) && saved;

    tessela::FingerprintPrompt prompt(QStringLiteral("Unlock \u201CTaxes 2026\u201D"),
                                      std::make_shared<tessela::CancelToken>());
    saved = save(prompt, folder, QStringLiteral("fingerprint-prompt")) && saved;

    const auto nothing = [](const std::vector<std::string>&) {
        return std::optional<std::string>();
    };
    tessela::finder::FinderPopup lockedMenu({"/home/me/Taxes 2026.tessvault"}, nothing);
    saved = save(lockedMenu, folder, QStringLiteral("finder-menu-locked-item")) && saved;
    tessela::finder::FinderPopup ordinaryMenu({"/home/me/Report.pdf"}, nothing);
    saved = save(ordinaryMenu, folder, QStringLiteral("finder-menu-ordinary-item")) && saved;
    tessela::ProgressPanel panel;
    panel.show(QStringLiteral("Locking \u201CTaxes 2026\u201D\u2026"), [] {});
    if (QWidget* window = panel.window()) {
        saved = save(*window, folder, QStringLiteral("progress-panel")) && saved;
    }
    panel.state().setMessage(QStringLiteral("Encrypting \u201CTaxes 2026\u201D\u2026"));
    panel.state().setBytes(450'000'000, 1'000'000'000);
    if (QWidget* window = panel.window()) {
        window->adjustSize();
        saved = save(*window, folder, QStringLiteral("progress-panel-bytes")) && saved;
    }
    panel.show(QStringLiteral("Encrypting \u201CTaxes 2026\u201D\u2026"), [] {});
    panel.showLastWord(QStringLiteral("Cancelled. Nothing was changed."));
    if (QWidget* window = panel.window()) {
        saved = save(*window, folder, QStringLiteral("progress-panel-cancelled")) && saved;
    }
    panel.show(QStringLiteral("Removing the lock from \u201CQuarterly tax documents, receipts, "
                              "bank statements and letters from the accountant for the year "
                              "2026\u201D\u2026"),
               [] {});
    if (QWidget* window = panel.window()) {
        saved = save(*window, folder, QStringLiteral("progress-panel-long-name")) && saved;
    }
    // The alerts, with the wording the operations use.
    struct Alert {
        const char* file;
        QString title;
        QString message;
        QStringList buttons;
        int defaultButton = 0;
    };
    const std::vector<Alert> alerts = {
        {"alert-in-use",
         QStringLiteral("Taxes 2026 is still in use"),
         QStringLiteral("Files are open in LibreOffice and Document Viewer. Close them, then try "
                        "again. Force Lock closes them without saving, so unsaved changes in open "
                        "apps will be lost."),
         {QStringLiteral("Try Again"), QStringLiteral("Force Lock"), QStringLiteral("Cancel")}},
        {"alert-remove-lock",
         QStringLiteral("Remove the lock from Taxes 2026?"),
         QStringLiteral(
             "Taxes 2026 turns back into normal files that anyone using this computer can "
             "open."),
         {QStringLiteral("Remove Lock"), QStringLiteral("Cancel")},
         1},
        {"alert-forget",
         QStringLiteral("Forget Taxes 2026?"),
         QStringLiteral("Tessela stops listing it. Nothing is deleted."),
         {QStringLiteral("Forget"), QStringLiteral("Cancel")},
         1},
        {"alert-quit-when-finished",
         QStringLiteral("Tessela is still locking Taxes 2026. Quit when it finishes?"),
         QStringLiteral("Tessela quits as soon as it is done."),
         {QStringLiteral("Quit When Finished"), QStringLiteral("Cancel")}},
        {"alert-still-unlocked",
         QStringLiteral("Some items are still unlocked"),
         QStringLiteral("They stay unlocked until you lock them or restart your computer."),
         {QStringLiteral("Quit Anyway"), QStringLiteral("Cancel")},
         1},
        {"alert-could-not-lock",
         QStringLiteral("Could not lock Photos"),
         QStringLiteral("There is not enough free space. 2.1 GB more is needed."),
         {QStringLiteral("OK")}},
    };
    for (const Alert& alert : alerts) {
        saved = saveModal(folder, QString::fromUtf8(alert.file),
                          [&] {
                              (void)QCoro::waitFor(tessela::PromptPanel::choose(
                                  alert.title, alert.message, alert.buttons, nullptr,
                                  alert.defaultButton));
                          }) &&
                saved;
    }
    saved = saveModal(folder, QStringLiteral("password-prompt"),
                      [] {
                          (void)QCoro::waitFor(tessela::PromptPanel::password(
                              QStringLiteral("Enter your Tessela password"),
                              QStringLiteral("Tessela needs your password to unlock Taxes 2026.")));
                      }) &&
            saved;
    saved = saveModal(folder, QStringLiteral("password-prompt-item"),
                      [] {
                          (void)QCoro::waitFor(tessela::PromptPanel::password(
                              QStringLiteral("This item uses a different password"),
                              QStringLiteral("Enter the password it was locked with.")));
                      }) &&
            saved;

    // The open panels, over a sample folder.
    const QTemporaryDir sample;
    const QDir documents(sample.path());
    for (const char* name : {"Photos", "Taxes 2026", "Letters.tessvault"}) {
        (void)documents.mkpath(QString::fromUtf8(name));
    }
    for (const char* name : {"Report.pdf", "Budget.ods", "Notes.txt"}) {
        QFile file(documents.filePath(QString::fromUtf8(name)));
        (void)file.open(QIODevice::WriteOnly);
    }
    saved = saveModal(
                folder, QStringLiteral("choose-items-to-lock"),
                [&] {
                    (void)QCoro::waitFor(tessela::ItemChooser::choose(
                        QStringLiteral("Choose files or folders to lock."), QStringLiteral("Lock"),
                        tessela::ItemChoice::filesAndFolders, sample.path()));
                },
                500) &&
            saved;
    saved = saveModal(
                folder, QStringLiteral("find-locked-item"),
                [&] {
                    (void)QCoro::waitFor(tessela::ItemChooser::choose(
                        QStringLiteral("Find Letters"), QStringLiteral("Choose"),
                        tessela::ItemChoice::lockedItem, sample.path()));
                },
                500) &&
            saved;
    return saved;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: window_screenshots FOLDER\n";
        return 2;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::unsetenv("XDG_RUNTIME_DIR");  // nothing published: the fullest menus
    QApplication application(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));
    const QDir root(QString::fromLocal8Bit(argv[1]));
    bool saved = true;
    for (const auto& [theme, palette] :
         {std::pair(QStringLiteral("light"), QApplication::style()->standardPalette()),
          std::pair(QStringLiteral("dark"), darkPalette())}) {
        QApplication::setPalette(palette);
        const QDir folder(root.filePath(theme));
        if (!folder.mkpath(QStringLiteral("."))) {
            std::cerr << "cannot make " << folder.path().toStdString() << '\n';
            return 1;
        }
        saved = renderAll(folder) && saved;
    }
    return saved ? 0 : 1;
}
