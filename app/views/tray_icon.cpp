#include "views/tray_icon.h"

#include <QAction>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QKeySequence>

namespace tessela {

TrayMenu::TrayMenu(ItemActions& actions, bool panelDraws, QWidget* parent)
    : QMenu(parent), actions_(actions), panelDraws_(panelDraws) {
    setOpenItems({});
}

QString TrayMenu::lockEntry(const std::string& name, bool panelDraws) {
    QString shown = QString::fromStdString(name);
    for (QChar& character : shown) {
        if (character.category() == QChar::Other_Control) {
            character = u' ';
        }
    }
    shown.replace(u'&', QStringLiteral("&&"));
    if (panelDraws) {
        shown.replace(u'_', QStringLiteral("__"));
    }
    return QStringLiteral("Lock ") + shown;
}

void TrayMenu::setOpenItems(const std::vector<OpenItem>& openItems) {
    std::vector<std::pair<std::string, std::filesystem::path>> shown;
    for (const OpenItem& item : openItems) {
        shown.emplace_back(item.name, item.lockedURL);
    }
    if (shown_ == shown) {
        return;
    }
    shown_ = std::move(shown);
    clear();
    if (openItems.empty()) {
        addAction(QStringLiteral("Everything is locked"))->setEnabled(false);
    } else {
        addAction(QStringLiteral("Unlocked"))->setEnabled(false);
        for (const OpenItem& item : openItems) {
            addAction(lockEntry(item.name, panelDraws_), this,
                      [this, url = item.lockedURL] { actions_.lock(url); });
        }
        addSeparator();
        addAction(QStringLiteral("Lock All"), QKeySequence(Qt::CTRL | Qt::Key_L), this,
                  [this] { actions_.lockAll(); });
    }
    addSeparator();
    addAction(QStringLiteral("Open Tessela"), this, [this] { actions_.openWindow(); });
    addAction(QStringLiteral("Quit Tessela"), QKeySequence(Qt::CTRL | Qt::Key_Q), this,
              [this] { actions_.quit(); });
}

namespace {

// The installed padlock by its name (a panel then draws it from the icon theme at its own size),
// else Tessela's drawing.
QIcon trayPicture(Symbol symbol) {
    const bool locked = symbol == Symbol::lockFill;
    return QIcon::fromTheme(locked ? QStringLiteral("tessela-tray-locked")
                                   : QStringLiteral("tessela-tray-unlocked"),
                            Symbols::bundledIcon(locked ? Symbol::trayLocked
                                                        : Symbol::trayUnlocked));
}

}  // namespace

TrayIcon::TrayIcon(ItemActions& actions, QObject* parent)
    : QObject(parent), hostedByPanel_(panelHostsItems()), menu_(actions, hostedByPanel_) {
    icon_.setToolTip(QStringLiteral("Tessela"));
    icon_.setContextMenu(&menu_);
    icon_.setIcon(trayPicture(Symbol::lockFill));
    connect(&icon_, &QSystemTrayIcon::activated, this,
            [&actions](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
                    actions.openWindow();
                }
            });
}

TrayIcon::~TrayIcon() {
    icon_.setContextMenu(nullptr);
}

bool TrayIcon::available() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

namespace {

const QString watcherService = QString::fromUtf16(TrayIcon::watcherServiceName);

}  // namespace

bool TrayIcon::panelHostsItems() {
    QDBusMessage ask = QDBusMessage::createMethodCall(
        watcherService, QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    ask << watcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = QDBusConnection::sessionBus().call(ask, QDBus::Block, 2000);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           reply.arguments().constFirst().value<QDBusVariant>().variant().toBool();
}

Symbol TrayIcon::symbolFor(const std::vector<OpenItem>& openItems) {
    return openItems.empty() ? Symbol::lockFill : Symbol::lockOpenFill;
}

void TrayIcon::setOpenItems(const std::vector<OpenItem>& openItems) {
    menu_.setOpenItems(openItems);
    const Symbol symbol = symbolFor(openItems);
    if (symbol != symbol_) {
        symbol_ = symbol;
        icon_.setIcon(trayPicture(symbol));
    }
    icon_.setToolTip(openItems.empty()
                         ? QStringLiteral("Tessela: everything is locked")
                         : QStringLiteral("Tessela: %1 unlocked").arg(openItems.size()));
}

void TrayIcon::show() {
    icon_.show();
}

}  // namespace tessela
