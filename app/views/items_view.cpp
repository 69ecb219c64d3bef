#include "views/items_view.h"

#include <QContextMenuEvent>
#include <QEvent>
#include <QHBoxLayout>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QStyle>
#include <QTextDocument>
#include <QVBoxLayout>

#include <algorithm>

#include "errors/byte_count.h"
#include "model/system_checks.h"
#include "views/look.h"
#include "views/symbols.h"

namespace tessela {

namespace {

QString qText(const std::string& text) {
    return QString::fromStdString(text);
}

QLabel* captionLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.9);
    label->setFont(font);
    return label;
}

void setTextColour(QWidget& widget, const QColor& colour) {
    QPalette palette = widget.palette();
    palette.setColor(QPalette::WindowText, colour);
    widget.setPalette(palette);
}

constexpr int rowIconSize = 26;

}  // namespace

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setTextFormat(Qt::PlainText);
}

void ElidedLabel::setFullText(const QString& text) {
    setText(text);
    // A name is never markup: escaped, so that a folder named "<img src=…>" is only text.
    setToolTip(text.isEmpty() ? QString() : Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal));
    setAccessibleName(text);
}

QSize ElidedLabel::minimumSizeHint() const {
    return {fontMetrics().horizontalAdvance(QStringLiteral("…")) * 4, QLabel::minimumSizeHint().height()};
}

QString ElidedLabel::shownText() const {
    return fontMetrics().elidedText(text(), Qt::ElideMiddle, contentsRect().width());
}

void ElidedLabel::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    painter.drawText(contentsRect(), Qt::AlignLeft | Qt::AlignVCenter, shownText());
}

ItemRowView::ItemRowView(ItemActions& actions, const RowLook& look, QWidget* parent)
    : QFrame(parent),
      actions_(actions),
      look_(look),
      icon_(new QLabel(this)),
      name_(new ElidedLabel(this)),
      capsule_(new Capsule(this)),
      caption_(new ElidedLabel(this)),
      update_(captionLabel(this)),
      originalSize_(captionLabel(this)),
      lockedSize_(captionLabel(this)),
      primary_(new QPushButton(this)),
      removeLock_(new LinkButton(QStringLiteral("Remove Lock…"), this)),
      more_(new QPushButton(this)),
      locate_(new LinkButton(QStringLiteral("Locate…"), this)),
      forget_(new LinkButton(QStringLiteral("Forget"), this)) {
    setFocusPolicy(Qt::NoFocus);
    icon_->setFixedSize(rowIconSize + 8, rowIconSize + 8);
    icon_->setAlignment(Qt::AlignCenter);
    QFont nameFont = name_->font();
    nameFont.setWeight(QFont::Medium);
    name_->setFont(nameFont);
    name_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    QFont captionFont = caption_->font();
    captionFont.setPointSizeF(captionFont.pointSizeF() * 0.9);
    caption_->setFont(captionFont);
    update_->setText(QStringLiteral("Needs password update"));
    originalSize_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lockedSize_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // Return presses the button that has the focus, as Space does.
    primary_->setAutoDefault(true);
    more_->setFlat(true);
    more_->setAutoDefault(true);
    more_->setToolTip(QStringLiteral("More"));
    more_->setFixedSize(28, 26);
    connect(more_, &QPushButton::clicked, this,
            [this] { popUpMenu(more_->mapToGlobal(QPoint(0, more_->height()))); });
    connect(primary_, &QPushButton::clicked, this, [this] {
        if (!row_.url) {
            return;
        }
        if (row_.isOpen) {
            actions_.lock(*row_.url);
        } else {
            actions_.unlock(*row_.url);
        }
    });
    connect(removeLock_, &QPushButton::clicked, this, [this] {
        if (row_.url) {
            actions_.removeLock(*row_.url);
        }
    });
    connect(locate_, &QPushButton::clicked, this, [this] { actions_.locate(row_); });
    connect(forget_, &QPushButton::clicked, this, [this] { actions_.forget(row_); });

    auto* title = new QHBoxLayout;
    title->setSpacing(6);
    title->addWidget(name_, 0);
    title->addWidget(capsule_, 0);
    title->addStretch(1);
    auto* text = new QVBoxLayout;
    text->setSpacing(1);
    text->addLayout(title);
    text->addWidget(caption_);
    text->addWidget(update_);
    auto* sizes = new QVBoxLayout;
    sizes->setSpacing(1);
    sizes->addStretch(1);
    sizes->addWidget(originalSize_);
    sizes->addWidget(lockedSize_);
    sizes->addStretch(1);
    // The actions take the same width in every row, so that the columns line up: a found
    // item's, or a missing one's.
    auto* found = new QWidget(this);
    auto* foundLayout = new QHBoxLayout(found);
    foundLayout->setContentsMargins(0, 0, 0, 0);
    foundLayout->setSpacing(8);
    foundLayout->addWidget(primary_);
    foundLayout->addWidget(removeLock_);
    foundLayout->addWidget(more_);
    QSizePolicy kept = removeLock_->sizePolicy();
    kept.setRetainSizeWhenHidden(true);
    removeLock_->setSizePolicy(kept);
    auto* missing = new QWidget(this);
    auto* missingLayout = new QHBoxLayout(missing);
    missingLayout->setContentsMargins(0, 0, 0, 0);
    missingLayout->setSpacing(8);
    missingLayout->addStretch(1);
    missingLayout->addWidget(locate_);
    missingLayout->addWidget(forget_);
    actionsBox_ = new QStackedWidget(this);
    actionsBox_->addWidget(found);
    actionsBox_->addWidget(missing);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(14, 8, 10, 8);
    layout->setSpacing(10);
    layout->addWidget(icon_);
    layout->addLayout(text, 1);
    layout->addLayout(sizes);
    layout->addWidget(actionsBox_);
}

QString ItemRowView::caption(const ItemRow& row) {
    if (!row.url) {
        return QStringLiteral("Can't find this item");
    }
    if (row.isOpen) {
        return QStringLiteral("Open in a private space. Lock it when you are done.");
    }
    return qText(row.location);
}

QMenu* ItemRowView::menu() {
    if (!row_.url) {
        return nullptr;
    }
    if (menu_ == nullptr) {
        menu_ = new QMenu(this);
        menu_->addAction(QStringLiteral("Show in File Manager"), this, [this] {
            if (row_.url) {
                actions_.showInFileManager(*row_.url);
            }
        });
        menu_->addAction(QStringLiteral("Remove Lock…"), this, [this] {
            if (row_.url) {
                actions_.removeLock(*row_.url);
            }
        });
    }
    return menu_;
}

void ItemRowView::popUpMenu(QPoint at) {
    if (QMenu* actions = menu()) {
        actions->popup(at);
    }
}

void ItemRowView::setRow(const ItemRow& row) {
    row_ = row;
    const bool found = row.url.has_value();
    name_->setFullText(qText(row.name));
    capsule_->setText(row.isOpen ? QStringLiteral("Unlocked") : QStringLiteral("Locked"));
    caption_->setFullText(caption(row));
    update_->setVisible(row.needsPasswordUpdate);
    const bool sized = found && row.size.has_value();
    originalSize_->setVisible(sized && row.originalSize.has_value());
    lockedSize_->setVisible(sized);
    if (sized) {
        if (row.originalSize) {
            originalSize_->setText(qText(formatByteCount(*row.originalSize)));
        }
        lockedSize_->setText(qText(formatByteCount(*row.size)) + QStringLiteral(" locked"));
    }
    primary_->setText(row.isOpen ? QStringLiteral("Lock") : QStringLiteral("Unlock"));
    primary_->setAccessibleName(primary_->text() + QStringLiteral(" ") + qText(row.name));
    removeLock_->setVisible(found && !row.isOpen);
    removeLock_->setAccessibleName(QStringLiteral("Remove Lock from ") + qText(row.name));
    more_->setAccessibleName(QStringLiteral("More actions for ") + qText(row.name));
    actionsBox_->setCurrentIndex(found ? 0 : 1);
    locate_->setAccessibleName(QStringLiteral("Locate ") + qText(row.name));
    forget_->setAccessibleName(QStringLiteral("Forget ") + qText(row.name));
    setAccessibleName(qText(row.name));
    setAccessibleDescription(found ? capsule_->text() : caption(row));
    restyle();
}

void ItemRowView::restyle() {
    icon_->setPixmap(!row_.url      ? look_.missing
                     : row_.isOpen ? look_.open
                                   : look_.locked);
    QColor fill = row_.isOpen ? Look::accent : look_.secondary;
    fill.setAlphaF(0.15F);
    capsule_->setColours(row_.isOpen ? look_.accent : look_.secondary, fill);
    for (QWidget* label : std::initializer_list<QWidget*>{caption_, originalSize_, lockedSize_}) {
        setTextColour(*label, look_.secondary);
    }
    setTextColour(*update_, QColor(0xc0, 0x6a, 0x00));
    more_->setIcon(look_.more);
}

void ItemRowView::contextMenuEvent(QContextMenuEvent* event) {
    if (row_.url) {
        popUpMenu(event->reason() == QContextMenuEvent::Mouse
                      ? event->globalPos()
                      : more_->mapToGlobal(QPoint(0, more_->height())));
        event->accept();
    }
}

void ItemRowView::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    QPainter painter(this);
    QColor line = palette().color(QPalette::WindowText);
    line.setAlphaF(0.1F);
    painter.setPen(line);
    painter.drawLine(14, height() - 1, width() - 1, height() - 1);
}

ItemsView::FinderMenu ItemsView::FinderMenu::system() {
    return {[] { return SystemChecks::finderExtensionEnabled(); },
            [] { SystemChecks::enableFinderExtension(); }};
}

ItemsView::ItemsView(ItemActions& actions, FinderMenu finderMenu, QWidget* parent)
    : QWidget(parent),
      actions_(actions),
      finderMenu_(std::move(finderMenu)),
      summary_(new QLabel(this)),
      settings_(new QPushButton(this)),
      divider_(new QFrame(this)),
      pages_(new QStackedWidget(this)),
      reading_(new QLabel(QStringLiteral("Reading your locked items…"), this)),
      empty_(new QWidget(this)),
      emptySymbol_(new QLabel(empty_)),
      turnOnMenu_(new QPushButton(QStringLiteral("Turn On the File-Manager Menu"), empty_)),
      scroll_(new QScrollArea(this)),
      list_(nullptr) {
    // The header.
    auto* title = new QLabel(QStringLiteral("Locked Items"), this);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.45);
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);
    auto* lockFiles = new QPushButton(QStringLiteral("Lock Files…"), this);
    lockFiles->setObjectName(QStringLiteral("lockFiles"));
    Look::makeProminent(*lockFiles);
    connect(lockFiles, &QPushButton::clicked, this, [this] { actions_.chooseAndLock(); });
    settings_->setFlat(true);
    settings_->setToolTip(QStringLiteral("Settings"));
    settings_->setAccessibleName(QStringLiteral("Settings"));
    settings_->hide();
    auto* headings = new QVBoxLayout;
    headings->setSpacing(2);
    headings->addWidget(title);
    headings->addWidget(summary_);
    auto* header = new QHBoxLayout;
    header->setContentsMargins(20, 16, 16, 12);
    header->addLayout(headings, 1);
    header->addWidget(lockFiles, 0, Qt::AlignVCenter);
    header->addWidget(settings_, 0, Qt::AlignVCenter);
    divider_->setFrameShape(QFrame::HLine);
    divider_->setFrameShadow(QFrame::Plain);

    // The empty state.
    emptySymbol_->setAlignment(Qt::AlignCenter);
    auto* headline = new QLabel(QStringLiteral("Nothing locked yet"), empty_);
    QFont headlineFont = headline->font();
    headlineFont.setPointSizeF(headlineFont.pointSizeF() * 1.3);
    headlineFont.setWeight(QFont::DemiBold);
    headline->setFont(headlineFont);
    headline->setAlignment(Qt::AlignCenter);
    auto* hint = new QLabel(QStringLiteral("Right-click any file or folder in the file manager "
                                           "and choose Lock with Tessela."),
                            empty_);
    hint->setAlignment(Qt::AlignCenter);
    hint->setWordWrap(true);
    hint->setObjectName(QStringLiteral("emptyHint"));
    auto* lockFilesLink = new LinkButton(QStringLiteral("Lock Files…"), empty_);
    connect(lockFilesLink, &QPushButton::clicked, this, [this] { actions_.chooseAndLock(); });
    connect(turnOnMenu_, &QPushButton::clicked, this, [this] {
        finderMenu_.turnOn();
        readFinderMenu();
    });
    for (QPushButton* action : {lockFiles, turnOnMenu_, settings_}) {
        action->setAutoDefault(true);
    }
    auto* emptyLayout = new QVBoxLayout(empty_);
    emptyLayout->setSpacing(10);
    emptyLayout->addStretch(3);
    emptyLayout->addWidget(emptySymbol_);
    emptyLayout->addWidget(headline);
    emptyLayout->addWidget(hint);
    emptyLayout->addWidget(lockFilesLink, 0, Qt::AlignHCenter);
    emptyLayout->addWidget(turnOnMenu_, 0, Qt::AlignHCenter);
    emptyLayout->addStretch(4);

    // The list.
    auto* rows = new QWidget(scroll_);
    list_ = new QVBoxLayout(rows);
    list_->setContentsMargins(0, 0, 0, 0);
    list_->setSpacing(0);
    list_->addStretch(1);
    scroll_->setWidget(rows);
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setFocusPolicy(Qt::NoFocus);

    static_cast<QLabel*>(reading_)->setAlignment(Qt::AlignCenter);
    pages_->addWidget(reading_);
    pages_->addWidget(empty_);
    pages_->addWidget(scroll_);
    pages_->setCurrentWidget(reading_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addLayout(header);
    layout->addWidget(divider_);
    layout->addWidget(pages_, 1);
    restyle();
}

QString ItemsView::summary(std::size_t rows, std::size_t open) {
    const std::size_t locked = rows - std::min(rows, open);
    if (open > 0) {
        return QStringLiteral("%1 locked \u00B7 %2 unlocked").arg(locked).arg(open);
    }
    return QStringLiteral("%1 locked").arg(locked);
}

void ItemsView::setRows(const std::vector<ItemRow>& rows, std::size_t openCount) {
    summary_->setText(summary(rows.size(), openCount));
    std::map<Uuid, ItemRowView*> gone = std::move(rowViews_);
    rowViews_.clear();
    std::vector<ItemRowView*> order;
    order.reserve(rows.size());
    for (const ItemRow& row : rows) {
        ItemRowView* view = nullptr;
        if (const auto kept = gone.find(row.id); kept != gone.end()) {
            view = kept->second;
            gone.erase(kept);
            if (!(view->row() == row)) {
                view->setRow(row);
            }
        } else {
            view = new ItemRowView(actions_, look_, list_->parentWidget());
            view->setRow(row);
        }
        rowViews_.emplace(row.id, view);
        order.push_back(view);
    }
    for (const auto& [id, view] : gone) {
        view->hide();
        list_->removeWidget(view);
        view->deleteLater();  // it may be the sender of what led here
    }
    if (order != order_) {
        for (ItemRowView* view : order) {
            list_->removeWidget(view);
        }
        for (std::size_t at = 0; at < order.size(); ++at) {
            list_->insertWidget(static_cast<int>(at), order[at]);
        }
        order_ = std::move(order);
        // The keyboard goes through the rows in the order they are shown.
        for (std::size_t at = 1; at < order_.size(); ++at) {
            QWidget::setTabOrder(order_[at - 1], order_[at]);
        }
    }
    pages_->setCurrentWidget(rows.empty() ? empty_ : static_cast<QWidget*>(scroll_));
}

ItemRowView* ItemsView::rowView(const Uuid& id) const {
    const auto found = rowViews_.find(id);
    return found == rowViews_.end() ? nullptr : found->second;
}

void ItemsView::readFinderMenu() {
    turnOnMenu_->setVisible(!finderMenu_.enabled());
}

void ItemsView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    readFinderMenu();
}

void ItemsView::restyle() {
    const QColor secondary = Look::secondary(palette());
    setTextColour(*summary_, secondary);
    // A thin line as the rows' own, in a light and a dark look alike.
    QColor line = palette().color(QPalette::WindowText);
    line.setAlphaF(0.18F);
    setTextColour(*divider_, line);
    if (QWidget* hint = empty_->findChild<QWidget*>(QStringLiteral("emptyHint"))) {
        setTextColour(*hint, secondary);
    }
    emptySymbol_->setPixmap(Symbols::pixmap(Symbol::lockFill, 56, devicePixelRatioF(), secondary));
    settings_->setIcon(Symbols::icon(Symbol::gearshape, secondary));
    const qreal ratio = devicePixelRatioF();
    look_.secondary = secondary;
    look_.accent = Look::accentText(palette());
    look_.locked = Symbols::pixmap(Symbol::lockFill, rowIconSize, ratio, secondary);
    look_.open = Symbols::pixmap(Symbol::lockOpenFill, rowIconSize, ratio, look_.accent);
    look_.missing = Symbols::pixmap(Symbol::questionmarkFolder, rowIconSize, ratio, secondary);
    look_.more = Symbols::icon(Symbol::ellipsisCircle, secondary);
    for (const auto& [id, row] : rowViews_) {
        row->restyle();
    }
}

void ItemsView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) {
        restyle();
    }
}

}  // namespace tessela
