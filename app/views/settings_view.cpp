#include "views/settings_view.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include "activity/idle_policy.h"
#include "model/app_model.h"
#include "text/log.h"
#include "views/look.h"
#include "views/strength_meter.h"

namespace tessela {

namespace {

QLineEdit* secureField(const QString& name, QWidget* parent) {
    auto* field = new QLineEdit(parent);
    field->setEchoMode(QLineEdit::Password);
    field->setAccessibleName(name);
    field->setMinimumWidth(260);
    return field;
}

QLabel* noteLabel(const QString& text, QWidget* parent) {
    auto* note = new QLabel(text, parent);
    note->setWordWrap(true);
    QPalette palette = note->palette();
    palette.setColor(QPalette::WindowText, Look::secondary(palette));
    note->setPalette(palette);
    QFont font = note->font();
    font.setPointSizeF(font.pointSizeF() * 0.9);
    note->setFont(font);
    return note;
}

// What this desktop tells the auto-lock, in words.
QString triggersSentence(const AutoLock::Triggers& triggers) {
    QStringList moments;
    if (triggers.screenLock) {
        moments << QStringLiteral("the screen locks");
    }
    if (triggers.sleep) {
        moments << QStringLiteral("the computer sleeps");
    }
    if (triggers.sessionSwitch) {
        moments << QStringLiteral("you switch to another user");
    }
    if (triggers.idle) {
        moments << QStringLiteral("you stop using the computer");
    }
    if (moments.isEmpty()) {
        return QStringLiteral("This desktop tells Tessela nothing about when you walk away: lock "
                              "your items yourself.");
    }
    QString list = moments.takeLast();
    if (!moments.isEmpty()) {
        list = moments.join(QStringLiteral(", ")) + QStringLiteral(" or ") + list;
    }
    return QStringLiteral("On this desktop, Tessela hears when %1.").arg(list);
}

}  // namespace

ChangePasswordView::ChangePasswordView(AppModel& model, QWidget* parent)
    : QDialog(parent),
      model_(model),
      current_(secureField(QStringLiteral("Current password"), this)),
      new_(secureField(QStringLiteral("New password"), this)),
      confirmation_(secureField(QStringLiteral("Confirm new password"), this)),
      strength_(new StrengthMeter(this)),
      message_(new QLabel(this)),
      cancel_(new QPushButton(QStringLiteral("Cancel"), this)),
      change_(new QPushButton(QStringLiteral("Change Password"), this)) {
    setWindowTitle(QStringLiteral("Change Password"));
    setWindowModality(Qt::WindowModal);
    auto* title = new QLabel(QStringLiteral("Change Password"), this);
    QFont font = title->font();
    font.setWeight(QFont::DemiBold);
    font.setPointSizeF(font.pointSizeF() * 1.2);
    title->setFont(font);
    message_->setWordWrap(true);
    message_->setTextFormat(Qt::PlainText);
    message_->hide();
    strength_->setPassword({});
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Current password"), current_);
    form->addRow(QStringLiteral("New password"), new_);
    form->addRow(QString(), strength_);
    form->addRow(QStringLiteral("Confirm new password"), confirmation_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cancel_);
    buttons->addWidget(change_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addLayout(form);
    layout->addWidget(noteLabel(
        QStringLiteral("Every locked item switches to the new password. Lock all items first."),
        this));
    layout->addWidget(message_);
    layout->addLayout(buttons);
    change_->setDefault(true);
    cancel_->setAutoDefault(false);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    connect(change_, &QPushButton::clicked, this, [this] { QCoro::connect(change(), this, [] {}); });
    for (QLineEdit* field : {current_, new_, confirmation_}) {
        connect(field, &QLineEdit::textChanged, this, [this] { render(); });
    }
    connect(new_, &QLineEdit::textChanged, this,
            [this](const QString& text) { strength_->setPassword(text.toStdString()); });
    render();
}

ChangePasswordView::~ChangePasswordView() = default;

QString ChangePasswordView::message() const {
    return message_->isVisibleTo(this) ? message_->text() : QString();
}

void ChangePasswordView::reject() {
    if (!working_) {
        QDialog::reject();
    }
}

void ChangePasswordView::done(int result) {
    // setText, not clear(): clearing keeps what was removed in the field's undo history.
    for (QLineEdit* field : {current_, new_, confirmation_}) {
        field->setText(QString());
    }
    QDialog::done(result);
}

void ChangePasswordView::showMessage(const QString& text) {
    message_->setText(text);
    message_->setVisible(!text.isEmpty());
}

void ChangePasswordView::render() {
    change_->setEnabled(!working_ && !current_->text().isEmpty() && !new_->text().isEmpty());
    cancel_->setEnabled(!working_);
}

QCoro::Task<> ChangePasswordView::change() {
    if (new_->text() != confirmation_->text()) {
        showMessage(QStringLiteral("The new passwords do not match."));
        co_return;
    }
    showMessage({});
    working_ = true;
    render();
    const QPointer<ChangePasswordView> alive(this);
    auto changing = model_.changePassword(current_->text().toStdString(), new_->text().toStdString());
    const std::optional<std::string> result = co_await std::move(changing);
    if (!alive) {
        co_return;
    }
    working_ = false;
    render();
    if (!result) {
        accept();
        co_return;
    }
    showMessage(QString::fromStdString(*result));
}

SettingsView::SettingsView(AppModel& model, Autostart autostart, ItemsView::FinderMenu finderMenu,
                           QWidget* parent)
    : QWidget(parent, Qt::Window),
      model_(model),
      autostart_(std::move(autostart)),
      finderMenu_(std::move(finderMenu)),
      idle_(new QComboBox(this)),
      triggers_(noteLabel(QString(), this)),
      fingerprint_(new QCheckBox(QStringLiteral("Unlock with Fingerprint"), this)),
      finderState_(new QLabel(this)),
      turnOnFinder_(new QPushButton(QStringLiteral("Turn On"), this)),
      atLogin_(new QCheckBox(QStringLiteral("Open Tessela at login"), this)),
      atLoginError_(noteLabel(QString(), this)) {
    setObjectName(QStringLiteral("settings"));
    setWindowTitle(QStringLiteral("Tessela Settings"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/tessela.svg")));

    // Auto-lock.
    for (const int minutes : IdlePolicy::choices) {
        idle_->addItem(idleChoice(minutes), minutes);
    }
    idle_->setAccessibleName(QStringLiteral("Lock after inactivity"));
    connect(idle_, &QComboBox::activated, this,
            [this](int index) { model_.setIdleMinutes(idle_->itemData(index).toInt()); });
    auto* autoLock = new QGroupBox(QStringLiteral("Auto-Lock"), this);
    auto* autoLockForm = new QFormLayout(autoLock);
    autoLockForm->addRow(QStringLiteral("Lock after inactivity"), idle_);
    autoLockForm->addRow(noteLabel(QStringLiteral("Unlocked items also lock when your screen "
                                                  "locks or your computer sleeps."),
                                   autoLock));
    autoLockForm->addRow(triggers_);
    autoLockForm->addRow(atLogin_);
    autoLockForm->addRow(atLoginError_);
    atLoginError_->hide();
    connect(atLogin_, &QCheckBox::toggled, this, [this](bool on) {
        try {
            autostart_.setEnabled(on);
            atLoginError_->hide();
        } catch (const std::exception& error) {
            atLoginError_->setText(QStringLiteral("Could not change opening at login: %1")
                                       .arg(QString::fromStdString(error.what())));
            atLoginError_->show();
        }
        const QSignalBlocker quiet(atLogin_);
        atLogin_->setChecked(autostart_.enabled());
    });

    // Security.
    auto* security = new QGroupBox(QStringLiteral("Security"), this);
    auto* securityLayout = new QVBoxLayout(security);
    auto* changePassword = new QPushButton(QStringLiteral("Change Password…"), security);
    changePassword->setAutoDefault(true);
    changePassword->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    securityLayout->addWidget(fingerprint_);
    securityLayout->addWidget(changePassword);
    fingerprint_->setEnabled(false);  // until a reader is found
    connect(fingerprint_, &QCheckBox::toggled, this,
            [this](bool on) { model_.setTouchIDEnabled(on); });
    connect(changePassword, &QPushButton::clicked, this, [this] {
        if (sheet_) {
            sheet_->raise();  // one at a time: a change may be running in it
            return;
        }
        auto* sheet = new ChangePasswordView(model_, this);
        sheet->setAttribute(Qt::WA_DeleteOnClose);
        sheet_ = sheet;
        sheet->open();
    });

    // The file-manager menu.
    auto* finder = new QGroupBox(QStringLiteral("File-Manager Menu"), this);
    auto* finderLayout = new QHBoxLayout(finder);
    finderLayout->addWidget(new QLabel(QStringLiteral("Right-click menu"), finder));
    finderLayout->addStretch(1);
    finderLayout->addWidget(finderState_);
    finderLayout->addWidget(turnOnFinder_);
    turnOnFinder_->setAutoDefault(true);
    turnOnFinder_->setAccessibleName(QStringLiteral("Turn On File-Manager Menu"));
    connect(turnOnFinder_, &QPushButton::clicked, this, [this] {
        finderMenu_.turnOn();
        finderRecheck_.start();
    });
    finderRecheck_.setSingleShot(true);
    finderRecheck_.setInterval(finderRecheckMilliseconds);
    connect(&finderRecheck_, &QTimer::timeout, this, &SettingsView::readFinderMenu);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(18, 16, 18, 16);
    layout->setSpacing(12);
    layout->addWidget(autoLock);
    layout->addWidget(security);
    layout->addWidget(finder);
    layout->addStretch(1);
    resize(480, 460);

    connect(&model_, &AppModel::idleMinutesChanged, this, &SettingsView::readAutoLock);
    connect(&model_, &AppModel::touchIDEnabledChanged, this, [this] {
        const QSignalBlocker quiet(fingerprint_);
        fingerprint_->setChecked(model_.touchIDEnabled() && fingerprint_->isEnabled());
    });
    connect(&model_.autoLock(), &AutoLock::availableChanged, this, &SettingsView::readAutoLock);
    readAutoLock();
    readFinderMenu();
    QCoro::connect(readFingerprint(), this, [] {});
}

QString SettingsView::idleChoice(int minutes) {
    return minutes == 0 ? QStringLiteral("Never") : QStringLiteral("%1 minutes").arg(minutes);
}

void SettingsView::present() {
    show();
    raise();
    activateWindow();
}

void SettingsView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    readFinderMenu();
    const QSignalBlocker quiet(atLogin_);
    atLogin_->setChecked(autostart_.enabled());
}

void SettingsView::readAutoLock() {
    // A value none of the entries is (set by hand in the file) shows as no entry.
    idle_->setCurrentIndex(idle_->findData(model_.idleMinutes()));
    triggers_->setText(triggersSentence(model_.autoLock().available()));
}

void SettingsView::readFinderMenu() {
    const bool on = finderMenu_.enabled();
    finderState_->setText(on ? QStringLiteral("On") : QStringLiteral("Off"));
    turnOnFinder_->setVisible(!on);
}

QCoro::Task<> SettingsView::readFingerprint() {
    const QPointer<SettingsView> alive(this);
    auto asking = model_.fingerprintUsable();
    const bool usable = co_await std::move(asking);
    if (!alive) {
        co_return;
    }
    const QSignalBlocker quiet(fingerprint_);
    fingerprint_->setEnabled(usable);
    fingerprint_->setChecked(usable && model_.touchIDEnabled());
}

}  // namespace tessela
