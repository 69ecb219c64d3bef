#include "views/progress_panel.h"

#include <QCursor>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace tessela {

namespace {

// The panel's window: Escape presses "Cancel" once the user has brought it to the front.
class PanelWindow : public QWidget {
  public:
    explicit PanelWindow(ProgressState& state)
        : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
          state_(state) {}

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape) {
            state_.cancel();
            return;
        }
        QWidget::keyPressEvent(event);
    }

  private:
    ProgressState& state_;
};

// A bar's scale while bytes are counted: fine enough for a smooth fill, far from int's limit.
constexpr int barSteps = 1000;

// The panel's content: it follows the state.
std::unique_ptr<QWidget> makeWindow(ProgressState& state) {
    auto window = std::make_unique<PanelWindow>(state);
    window->setWindowTitle(QStringLiteral("Tessela"));
    window->setAccessibleName(QStringLiteral("Tessela progress"));
    window->setAttribute(Qt::WA_ShowWithoutActivating);
    // 380 wide and at least 70 high; a long message makes it taller rather than being cut.
    window->setFixedWidth(380);
    window->setMinimumHeight(70);

    auto* bar = new QProgressBar;
    bar->setTextVisible(false);
    bar->setFixedWidth(48);
    bar->setAccessibleName(QStringLiteral("Progress"));
    auto* message = new QLabel;
    message->setTextFormat(Qt::PlainText);
    message->setWordWrap(true);
    message->setObjectName(QStringLiteral("message"));
    auto* amount = new QLabel;
    amount->setTextFormat(Qt::PlainText);
    amount->setObjectName(QStringLiteral("amount"));
    QFont small = amount->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    amount->setFont(small);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    // Reached with Tab and pressed with Space once the user brings the panel to the front;
    // appearing never takes the keyboard (the window shows without activating).
    cancel->setFocusPolicy(Qt::StrongFocus);
    cancel->setAutoDefault(false);
    cancel->setFocus();  // for when the panel is brought to the front

    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addWidget(message);
    texts->addWidget(amount);
    auto* row = new QHBoxLayout(window.get());
    row->addWidget(bar);
    row->addLayout(texts, 1);
    row->addWidget(cancel);

    const auto update = [window = window.get(), bar, message, amount, cancel, &state] {
        message->setText(state.message());
        if (const std::optional<ProgressState::Bytes>& bytes = state.bytes()) {
            bar->setRange(0, barSteps);
            bar->setValue(bytes->total > 0
                              ? static_cast<int>(static_cast<double>(bytes->done) * barSteps /
                                                 static_cast<double>(bytes->total))
                              : barSteps);
        } else {
            bar->setRange(0, 0);  // no known end: the indicator keeps moving
        }
        amount->setText(state.amount());
        amount->setVisible(state.bytes().has_value());
        cancel->setEnabled(state.canCancel());
        window->setAccessibleDescription(state.message());
    };
    QObject::connect(&state, &ProgressState::changed, window.get(), update);
    QObject::connect(cancel, &QPushButton::clicked, window.get(), [&state] { state.cancel(); });
    update();
    return window;
}

}  // namespace

ProgressPanel::ProgressPanel() {
    lastWord_.setSingleShot(true);
    QObject::connect(&lastWord_, &QTimer::timeout, [this] {
        if (window_) {
            window_->hide();
        }
    });
}

ProgressPanel::~ProgressPanel() = default;

void ProgressPanel::show(const QString& message, std::function<void()> onCancel) {
    lastWord_.stop();
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
    if (window_ && !lastWord_.isActive()) {
        window_->hide();
    }
}

void ProgressPanel::showLastWord(const QString& message) {
    if (!window_ || !window_->isVisible()) {
        return;  // nothing on screen to end with a word
    }
    state_.setMessage(message);
    state_.setOnCancel({});
    window_->adjustSize();
    lastWord_.start(lingering);
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
