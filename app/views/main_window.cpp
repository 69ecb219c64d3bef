#include "views/main_window.h"

#include <QAction>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "views/look.h"
#include "views/symbols.h"

namespace tessela {

namespace {

SetupView::Services withFinderMenu(SetupView::Services setup,
                                   const ItemsView::FinderMenu& finderMenu) {
    if (!setup.finderMenu.enabled) {
        setup.finderMenu = finderMenu;
    }
    return setup;
}

}  // namespace

MainWindow::MainWindow(ItemActions& actions, ItemsView::FinderMenu finderMenu,
                       SetupView::Services setup, QWidget* parent)
    : QMainWindow(parent),
      trayHint_(new QFrame),
      pages_(new QStackedWidget),
      setup_(new SetupView(withFinderMenu(std::move(setup), finderMenu), pages_)),
      items_(new ItemsView(actions, std::move(finderMenu), pages_)) {
    setObjectName(QStringLiteral("main"));
    setWindowTitle(QStringLiteral("Tessela"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/tessela.svg")));
    resize(700, 470);
    setMinimumSize(520, 320);

    // The note for a desktop without a tray.
    auto* hint = new QLabel(
        QStringLiteral("This desktop shows no tray icons, so Tessela opens this window instead. "
                       "Tessela keeps running when you close it: open it again from your "
                       "applications. On GNOME, the extension \u201CAppIndicator and "
                       "KStatusNotifierItem Support\u201D shows Tessela's padlock in the top "
                       "bar."),
        trayHint_);
    hint->setWordWrap(true);
    auto* dismiss = new QPushButton(QStringLiteral("OK"), trayHint_);
    dismiss->setAutoDefault(true);
    connect(dismiss, &QPushButton::clicked, trayHint_, &QWidget::hide);
    auto* hintLayout = new QHBoxLayout(trayHint_);
    hintLayout->setContentsMargins(16, 10, 12, 10);
    hintLayout->addWidget(hint, 1);
    hintLayout->addWidget(dismiss, 0, Qt::AlignVCenter);
    QColor tint = Look::accent;
    tint.setAlphaF(0.12F);
    trayHint_->setObjectName(QStringLiteral("trayHint"));
    trayHint_->setStyleSheet(
        QStringLiteral("QFrame#trayHint { background: %1; }").arg(Look::css(tint)));
    trayHint_->hide();

    pages_->addWidget(setup_);
    pages_->addWidget(items_);
    pages_->setCurrentWidget(items_);
    auto* content = new QWidget(this);
    setCentralWidget(content);
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(trayHint_);
    layout->addWidget(pages_, 1);

    const auto shortcut = [this](QKeySequence keys, auto run) {
        auto* action = new QAction(this);
        action->setShortcut(keys);
        action->setShortcutContext(Qt::WindowShortcut);
        connect(action, &QAction::triggered, this, run);
        addAction(action);
    };
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_L), [&actions] { actions.lockAll(); });
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), [&actions] { actions.quit(); });
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_W), [this] { close(); });
}

void MainWindow::render(const std::vector<ItemRow>& rows, const std::vector<OpenItem>& openItems,
                        bool needsSetup) {
    items_->setRows(rows, openItems.size());
    if (!needsSetup && pages_->currentWidget() == setup_) {
        setup_->reset();  // nothing typed there is kept once setup is over
    }
    pages_->setCurrentWidget(needsSetup ? setup_ : static_cast<QWidget*>(items_));
}

bool MainWindow::isShowingSetup() const {
    return pages_->currentWidget() == setup_;
}

void MainWindow::present() {
    if (isMinimized()) {
        showNormal();
    } else {
        show();
    }
    raise();
    activateWindow();
}

void MainWindow::showTrayHint() {
    trayHint_->show();
}

void MainWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        Q_EMIT activated();
    }
}

}  // namespace tessela
