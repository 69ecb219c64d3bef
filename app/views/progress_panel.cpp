#include "views/progress_panel.h"

#include <QCursor>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

namespace tessela {

void ProgressState::setMessage(const QString& message) {
    message_ = message;
    Q_EMIT changed();
}

void ProgressState::setOnCancel(std::function<void()> onCancel) {
    onCancel_ = std::move(onCancel);
    Q_EMIT changed();
}

void ProgressState::cancel() const {
    // A copy runs: the action may set another one while it runs.
    if (const std::function<void()> action = onCancel_) {
        action();
    }
}

namespace {

// The panel's content: it follows the state.
std::unique_ptr<QWidget> makeWindow(ProgressState& state) {
    auto window = std::make_unique<QWidget>(
        nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    window->setWindowTitle(QStringLiteral("Tessela"));
    window->setAttribute(Qt::WA_ShowWithoutActivating);
    // 380 wide and at least 70 high; a long message makes it taller rather than being cut.
    window->setFixedWidth(380);
    window->setMinimumHeight(70);

    auto* busy = new QProgressBar;
    busy->setRange(0, 0);  // no known end: the indicator keeps moving
    busy->setTextVisible(false);
    busy->setFixedWidth(48);
    auto* message = new QLabel;
    message->setTextFormat(Qt::PlainText);
    message->setWordWrap(true);
    message->setObjectName(QStringLiteral("message"));
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    cancel->setFocusPolicy(Qt::NoFocus);  // a click, never a key the user meant for their work

    auto* row = new QHBoxLayout(window.get());
    row->addWidget(busy);
    row->addWidget(message, 1);
    row->addWidget(cancel);

    const auto update = [message, cancel, &state] {
        message->setText(state.message());
        cancel->setEnabled(state.canCancel());
    };
    QObject::connect(&state, &ProgressState::changed, window.get(), update);
    QObject::connect(cancel, &QPushButton::clicked, window.get(), [&state] { state.cancel(); });
    update();
    return window;
}

}  // namespace

ProgressPanel::ProgressPanel() = default;
ProgressPanel::~ProgressPanel() = default;

void ProgressPanel::show(const QString& message, std::function<void()> onCancel) {
    state_.setMessage(message);
    state_.setOnCancel(std::move(onCancel));
    if (!window_) {
        window_ = makeWindow(state_);
    }
    window_->adjustSize();
    // Centred on the screen the user works on: the one under the pointer.
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen != nullptr) {
        QRect frame = window_->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window_->move(frame.topLeft());
    }
    window_->show();
    window_->raise();
}

void ProgressPanel::hide() {
    if (window_) {
        window_->hide();
    }
}

bool ProgressPanel::isShown() const {
    return window_ && window_->isVisible();
}

void ProgressPanel::setShown(bool shown) {
    if (window_) {
        window_->setVisible(shown);
    }
}

}  // namespace tessela
