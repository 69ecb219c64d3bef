#include "views/setup_view.h"

#include <sys/stat.h>

#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QVBoxLayout>

#include <cmath>
#include <cstdlib>

#include "errors/byte_count.h"
#include "process/disk_image_tool.h"
#include "secrets/password_rules.h"
#include "views/look.h"
#include "views/right_click_demo.h"
#include "views/strength_meter.h"
#include "views/symbols.h"

namespace tessela {

namespace {

QLabel* titleLabel(const QString& text, QWidget* parent) {
    auto* title = new QLabel(text, parent);
    QFont font = title->font();
    font.setPointSizeF(font.pointSizeF() * 1.45);
    font.setWeight(QFont::DemiBold);
    title->setFont(font);
    title->setAlignment(Qt::AlignCenter);
    title->setWordWrap(true);
    return title;
}

QLabel* bodyLabel(const QString& text, QWidget* parent) {
    auto* body = new QLabel(text, parent);
    body->setWordWrap(true);
    body->setAlignment(Qt::AlignCenter);
    body->setTextFormat(Qt::PlainText);
    return body;
}

// A line with the tick before it.
QWidget* tickedLine(const QString& text, QLabel*& line, QWidget* parent) {
    auto* row = new QWidget(parent);
    auto* tick = new QLabel(row);
    tick->setPixmap(Symbols::pixmap(Symbol::checkmarkCircleFill, 18, row->devicePixelRatioF(),
                                    QColor(0x2e, 0x9e, 0x4f)));
    line = new QLabel(text, row);
    auto* layout = new QHBoxLayout(row);
    layout->addStretch(1);
    layout->addWidget(tick);
    layout->addWidget(line);
    layout->addStretch(1);
    return row;
}

QWidget* page(QLabel* title, std::initializer_list<QWidget*> content, QWidget* parent) {
    auto* shown = new QWidget(parent);
    title->setParent(shown);
    auto* layout = new QVBoxLayout(shown);
    layout->setContentsMargins(48, 12, 48, 8);
    layout->setSpacing(10);
    layout->addStretch(1);
    layout->addWidget(title);
    for (QWidget* widget : content) {
        widget->setParent(shown);
        layout->addWidget(widget, 0, widget->sizePolicy().horizontalPolicy() == QSizePolicy::Fixed
                                         ? Qt::AlignHCenter
                                         : Qt::Alignment());
    }
    layout->addStretch(2);
    return shown;
}

QLineEdit* secureField(const QString& name, QWidget* parent) {
    auto* field = new QLineEdit(parent);
    field->setEchoMode(QLineEdit::Password);
    field->setPlaceholderText(name);
    field->setAccessibleName(name);
    field->setMaximumWidth(340);
    field->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    field->setMinimumWidth(300);
    return field;
}

std::string utf8(const QLineEdit& field) {
    return field.text().toStdString();
}

}  // namespace

SetupView::SetupView(Services services, QWidget* parent)
    : QWidget(parent),
      services_(std::move(services)),
      pages_(new QStackedWidget(this)),
      password_(secureField(QStringLiteral("Password"), this)),
      confirmation_(secureField(QStringLiteral("Confirm password"), this)),
      strength_(new StrengthMeter(this)),
      understood_(new QCheckBox(
          QStringLiteral("I understand there is no way to recover a forgotten password."), this)),
      useFingerprint_(new QCheckBox(QStringLiteral("Use fingerprint to unlock"), this)),
      atLogin_(new QCheckBox(QStringLiteral("Open Tessela at login, so that it can lock your "
                                            "items when you walk away"),
                             this)),
      error_(new QLabel(this)),
      finderOn_(nullptr),
      turnOnFinder_(new QPushButton(QStringLiteral("Turn On File-Manager Menu"), this)),
      finderHint_(bodyLabel(services_.finderHint, this)),
      back_(new QPushButton(QStringLiteral("Back"), this)),
      primary_(new QPushButton(this)) {
    useFingerprint_->setChecked(true);
    atLogin_->setChecked(true);
    error_->setWordWrap(true);
    error_->setAlignment(Qt::AlignCenter);
    error_->setTextFormat(Qt::PlainText);
    QPalette red = error_->palette();
    red.setColor(QPalette::WindowText, QColor(0xd0, 0x31, 0x2d));
    error_->setPalette(red);
    error_->hide();
    strength_->setPassword({});

    // Welcome.
    auto* demo = new RightClickDemo(this);
    demo->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    pages_->addWidget(page(titleLabel(QStringLiteral("Lock anything on your computer"), this),
                           {bodyLabel(QStringLiteral("Right-click any file or folder and choose "
                                                     "Lock with Tessela. What is inside "
                                                     "disappears from search, Recent files and "
                                                     "previews until you unlock it."),
                                      this),
                            demo},
                           pages_));
    // The password.
    auto* passwordBody = bodyLabel(QString(), this);
    passwordBody->setObjectName(QStringLiteral("passwordBody"));
    pages_->addWidget(page(titleLabel(QStringLiteral("Create your Tessela password"), this),
                           {passwordBody, password_, strength_, confirmation_, understood_, error_},
                           pages_));
    understood_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    // The fingerprint.
    useFingerprint_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    pages_->addWidget(page(titleLabel(QStringLiteral("Unlock with Fingerprint"), this),
                           {bodyLabel(QStringLiteral("Touch the fingerprint reader to unlock. Your "
                                                     "password still works whenever you prefer "
                                                     "it."),
                                      this),
                            useFingerprint_},
                           pages_));
    // The file-manager menu.
    QWidget* finderOnRow =
        tickedLine(QStringLiteral("The file-manager menu is on"), finderOn_, this);
    finderOnRow->setObjectName(QStringLiteral("finderOn"));
    turnOnFinder_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    turnOnFinder_->setAutoDefault(true);
    pages_->addWidget(page(titleLabel(QStringLiteral("Turn on the file-manager menu"), this),
                           {bodyLabel(QStringLiteral("This adds Lock with Tessela to the menu you "
                                                     "get when you right-click a file or folder."),
                                      this),
                            finderOnRow, turnOnFinder_, finderHint_},
                           pages_));
    connect(turnOnFinder_, &QPushButton::clicked, this, [this] {
        services_.finderMenu.turnOn();
        finderRecheck_.start();
    });
    finderRecheck_.setSingleShot(true);
    finderRecheck_.setInterval(finderRecheckMilliseconds);
    connect(&finderRecheck_, &QTimer::timeout, this, &SetupView::readFinderMenu);
    // Disk encryption.
    QLabel* diskOn = nullptr;
    QWidget* diskOnRow = tickedLine(
        QStringLiteral("Disk encryption is on. Deleted originals stay protected."), diskOn, this);
    auto* diskOff = bodyLabel(
        QStringLiteral("Disk encryption is off. Without it, pieces of deleted originals can stay "
                       "readable on your disk. Tessela works either way, but disk encryption "
                       "closes that gap."),
        this);
    auto* diskSettings = new QPushButton(QStringLiteral("Open Disk Settings"), this);
    diskSettings->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    diskSettings->setAutoDefault(true);
    const bool encrypted = services_.diskEncryption.value_or(false);
    diskOnRow->setVisible(encrypted);
    diskOff->setVisible(!encrypted);
    diskSettings->setVisible(!encrypted && services_.diskSettings.has_value());
    connect(diskSettings, &QPushButton::clicked, this, [this] {
        if (services_.diskSettings && !services_.diskSettings->isEmpty()) {
            QStringList arguments = *services_.diskSettings;
            const QString program = arguments.takeFirst();
            QProcess::startDetached(program, arguments);
        }
    });
    pages_->addWidget(page(titleLabel(QStringLiteral("Disk protection"), this),
                           {diskOnRow, diskOff, diskSettings}, pages_));
    // Done.
    atLogin_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    pages_->addWidget(page(
        titleLabel(QStringLiteral("You are all set"), this),
        {bodyLabel(QStringLiteral("Right-click any file or folder in the file manager and choose "
                                  "Lock with Tessela. To open it again, right-click it and "
                                  "choose Unlock with Tessela."),
                   this),
         bodyLabel(QStringLiteral("Good to know: copies made before you lock, such as backups, "
                                  "are not changed. ") +
                       extraSpaceSentence(),
                   this),
         atLogin_},
        pages_));

    for (QPushButton* button : {back_, primary_}) {
        button->setAutoDefault(true);
    }
    Look::makeProminent(*primary_);
    connect(back_, &QPushButton::clicked, this, [this] { move(-1); });
    connect(primary_, &QPushButton::clicked, this, [this] { QCoro::connect(advance(), this, [] {}); });
    for (QLineEdit* field : {password_, confirmation_}) {
        connect(field, &QLineEdit::textChanged, this, [this] { render(); });
    }
    connect(password_, &QLineEdit::textChanged, this,
            [this](const QString& text) { strength_->setPassword(text.toStdString()); });
    connect(understood_, &QCheckBox::toggled, this, [this] { render(); });

    auto* navigation = new QHBoxLayout;
    navigation->setContentsMargins(20, 8, 20, 16);
    navigation->addWidget(back_);
    navigation->addStretch(1);
    navigation->addWidget(primary_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(pages_, 1);
    layout->addLayout(navigation);
    readFinderMenu();
    setFingerprintUsable(false);
}

void SetupView::setFingerprintUsable(bool usable) {
    fingerprintUsable_ = usable;
    if (auto* body = findChild<QLabel*>(QStringLiteral("passwordBody"))) {
        // Said only where a fingerprint will in fact stand in for it.
        body->setText(usable ? QStringLiteral("One password protects everything you lock. You "
                                              "will mostly use your fingerprint.")
                             : QStringLiteral("One password protects everything you lock."));
    }
    render();
}

bool SetupView::canAdvance() const {
    if (working_) {
        return false;
    }
    if (step_ == Step::password) {
        return !password_->text().isEmpty() && !confirmation_->text().isEmpty() &&
               understood_->isChecked();
    }
    return true;
}

void SetupView::move(int offset) {
    int next = static_cast<int>(step_) + offset;
    if (next == static_cast<int>(Step::fingerprint) && !fingerprintUsable_) {
        next += offset;
    }
    if (next < static_cast<int>(Step::welcome) || next > static_cast<int>(Step::done)) {
        return;
    }
    step_ = static_cast<Step>(next);
    fingerprintAsked_ = fingerprintAsked_ || step_ == Step::fingerprint;
    render();
    if (step_ == Step::password) {
        password_->setFocus();
    } else {
        primary_->setFocus();
    }
}

QCoro::Task<> SetupView::advance() {
    if (!canAdvance()) {
        co_return;
    }
    showError({});
    if (step_ == Step::password) {
        if (const std::optional<std::string> problem = PasswordRules::problem(utf8(*password_))) {
            showError(QString::fromStdString(*problem));
        } else if (password_->text() != confirmation_->text()) {
            showError(QStringLiteral("The passwords do not match."));
        } else {
            move(1);
        }
        co_return;
    }
    if (step_ != Step::done) {
        move(1);
        co_return;
    }
    if (!services_.finish) {
        co_return;
    }
    working_ = true;
    render();
    const QPointer<SetupView> alive(this);
    auto finishing = services_.finish(utf8(*password_),
                                      fingerprintAsked_ && useFingerprint_->isChecked(),
                                      atLogin_->isChecked());
    const std::optional<std::string> problem = co_await std::move(finishing);
    if (!alive) {
        co_return;
    }
    working_ = false;
    if (problem) {
        step_ = Step::password;
        showError(QString::fromStdString(*problem));
        password_->setFocus();
        co_return;
    }
    // Kept: setup starts from the beginning should it come back.
    reset();
}

void SetupView::reset() {
    if (working_) {
        return;
    }
    // setText, not clear(): clearing keeps what was removed in the field's undo history.
    password_->setText(QString());
    confirmation_->setText(QString());
    understood_->setChecked(false);
    useFingerprint_->setChecked(true);
    fingerprintAsked_ = false;
    error_->hide();
    step_ = Step::welcome;
    render();
}

QString SetupView::error() const {
    return error_->isVisibleTo(this) ? error_->text() : QString();
}

void SetupView::showError(const QString& message) {
    error_->setText(message);
    error_->setVisible(!message.isEmpty());
    render();
}

void SetupView::render() {
    pages_->setCurrentIndex(static_cast<int>(step_));
    back_->setVisible(step_ != Step::welcome && step_ != Step::done);
    primary_->setText(step_ == Step::welcome ? QStringLiteral("Get Started")
                      : step_ == Step::done  ? QStringLiteral("Start Using Tessela")
                                             : QStringLiteral("Continue"));
    primary_->setEnabled(canAdvance());
}

void SetupView::readFinderMenu() {
    const bool on = services_.finderMenu.enabled();
    if (QWidget* row = findChild<QWidget*>(QStringLiteral("finderOn"))) {
        row->setVisible(on);
    }
    turnOnFinder_->setVisible(!on);
    finderHint_->setVisible(!on && !services_.finderHint.isEmpty());
}

void SetupView::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        primary_->isEnabled()) {
        primary_->click();
        return;
    }
    if (event->key() == Qt::Key_Escape && back_->isVisible()) {
        back_->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

std::optional<QStringList> SetupView::desktopDiskSettings() {
    if (!QStandardPaths::findExecutable(QStringLiteral("gnome-control-center")).isEmpty()) {
        return QStringList{QStringLiteral("gnome-control-center"), QStringLiteral("privacy")};
    }
    if (!QStandardPaths::findExecutable(QStringLiteral("systemsettings")).isEmpty()) {
        return QStringList{QStringLiteral("systemsettings")};
    }
    return std::nullopt;
}

QString SetupView::desktopFinderHint() {
    const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
    if (desktop != nullptr && QString::fromLocal8Bit(desktop).contains(QStringLiteral("GNOME"))) {
        return QStringLiteral("GNOME Files shows it after it restarts.");
    }
    return {};
}

QString SetupView::extraSpaceSentence() {
    // From the overhead the space check counts: a file's share, and the container's own.
    constexpr std::int64_t sample = 100'000'000;
    const double share =
        100.0 * static_cast<double>(DiskImageTool::entryOverhead(S_IFREG, sample)) / sample;
    const long percent = std::max(1L, std::lround(share));
    return QStringLiteral("Each locked item uses about %1 % more space than its content, plus "
                          "%2.")
        .arg(percent)
        .arg(QString::fromStdString(formatByteCount(DiskImageTool::volumeRootOverhead())));
}

}  // namespace tessela
