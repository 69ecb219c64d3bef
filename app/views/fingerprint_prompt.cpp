#include "views/fingerprint_prompt.h"

#include <qcoro/qcorosignal.h>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFutureWatcher>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

#include "model/fingerprint_check.h"
#include "model/settings.h"

namespace tessela {

FingerprintPrompt::FingerprintPrompt(const QString& reason, std::shared_ptr<CancelToken> fallback,
                                     QWidget* parent)
    : QDialog(parent), fallback_(std::move(fallback)) {
    setWindowTitle(QStringLiteral("Tessela"));
    setWindowModality(Qt::ApplicationModal);

    auto* icon = new QLabel;
    const QIcon fingerprint =
        QIcon::fromTheme(QStringLiteral("auth-fingerprint-symbolic"),
                         style()->standardIcon(QStyle::SP_MessageBoxInformation));
    icon->setPixmap(fingerprint.pixmap(48, 48));
    icon->setAlignment(Qt::AlignTop);

    auto* reasonLabel = new QLabel(reason);
    reasonLabel->setTextFormat(Qt::PlainText);  // an item's name is never markup
    reasonLabel->setWordWrap(true);
    QFont emphasised = reasonLabel->font();
    emphasised.setBold(true);
    reasonLabel->setFont(emphasised);
    auto* touchLabel = new QLabel(QStringLiteral("Touch the fingerprint reader."));

    auto* texts = new QVBoxLayout;
    texts->addWidget(reasonLabel);
    texts->addWidget(touchLabel);
    texts->addStretch();
    auto* row = new QHBoxLayout;
    row->addWidget(icon);
    row->addLayout(texts, 1);

    auto* buttons = new QDialogButtonBox;
    QPushButton* usePassword =
        buttons->addButton(QString::fromUtf8(fallbackTitle), QDialogButtonBox::RejectRole);
    usePassword->setAutoDefault(false);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    // The button, Escape and the window's close all end here: the verification stops.
    connect(this, &QDialog::rejected, this, [this] { fallback_->cancel(); });

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(buttons);
    setMinimumWidth(360);
}

FingerprintPrompt::~FingerprintPrompt() {
    // However the prompt goes (its parent closed with it), the verification stops.
    fallback_->cancel();
}

QCoro::Task<bool> FingerprintPrompt::authenticate(QString reason, const Settings& settings,
                                                  std::shared_ptr<const FingerprintCheck> check,
                                                  QWidget* parent) {
    if (!settings.touchIDEnabled()) {
        co_return false;
    }
    auto fallback = std::make_shared<CancelToken>();
    // The prompt is touched only on this (the main) thread: the worker asks for it to be shown
    // through the application object, and the request finds it gone if it went meanwhile.
    auto shown = std::make_shared<QPointer<FingerprintPrompt>>(
        new FingerprintPrompt(reason, fallback, parent));
    // Asking whether a finger can be used is a call to fprintd too: it runs on the worker, and
    // the prompt appears only once a verification is about to start.
    QFutureWatcher<bool> watcher;
    watcher.setFuture(QtConcurrent::run([check, fallback, shown] {
        if (!check->usable()) {
            return false;
        }
        QMetaObject::invokeMethod(qApp, [shown] {
            if (*shown) {
                (*shown)->show();
            }
        });
        return check->verify(fallback.get());
    }));
    // The watcher reports the end through this thread's event loop, so a verification that
    // ends after this check is still seen: the caller is resumed exactly once.
    if (!watcher.isFinished()) {
        co_await qCoro(&watcher, &QFutureWatcher<bool>::finished);
    }
    const bool matched = watcher.result();
    delete shown->data();
    co_return matched;
}

}  // namespace tessela
