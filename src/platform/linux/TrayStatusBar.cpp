#include "platform/linux/TrayStatusBar.h"

#include <QCursor>
#include <QIcon>

namespace talverin {

TrayStatusItem::TrayStatusItem() {
    // A plain click opens the menu too, as people expect of a tray item that has only a menu.
    QObject::connect(&icon_, &QSystemTrayIcon::activated, &icon_,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger && menu_) {
                             menu_->popup(QCursor::pos());
                         }
                     });
}

TrayStatusItem::~TrayStatusItem() {
    icon_.hide();
    icon_.setContextMenu(nullptr);
}

void TrayStatusItem::setImage(const std::string& imageName) {
    icon_.setIcon(QIcon(QStringLiteral(":/images/") + QString::fromStdString(imageName) +
                        QStringLiteral(".png")));
}

void TrayStatusItem::setMenu(Menu menu) {
    auto built = std::make_unique<QMenu>();
    built->setTitle(QString::fromStdString(menu.title));
    for (auto& item : menu.items) {
        QAction* action = built->addAction(QString::fromStdString(item.title));
        if (!item.keyEquivalent.empty()) {
            action->setShortcut(QKeySequence(QString::fromStdString(item.keyEquivalent)));
        }
        QObject::connect(action, &QAction::triggered, action,
                         [handler = std::move(item.action)] { handler(); });
    }
    // The menu must be in place before the icon is shown, or some tray hosts never see it.
    icon_.setContextMenu(built.get());
    menu_ = std::move(built);
    icon_.show();
}

namespace {

class HeadlessStatusItem final : public StatusItem {
public:
    bool hasButton() const override { return false; }
    void setImage(const std::string&) override {}
    void setMenu(Menu menu) override { menu_ = std::move(menu); }
    void setToolTip(const std::string&) override {}

private:
    Menu menu_;
};

} // namespace

void TrayStatusItem::setToolTip(const std::string& text) {
    icon_.setToolTip(QString::fromStdString(text));
}

std::unique_ptr<StatusItem> TrayStatusBar::statusItemWithLength(double) {
    if (headless_) {
        return std::make_unique<HeadlessStatusItem>();
    }
    return std::make_unique<TrayStatusItem>();
}

} // namespace talverin
