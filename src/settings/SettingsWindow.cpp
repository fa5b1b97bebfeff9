#include "settings/SettingsWindow.h"

#include "browser/AddressResolver.h"
#include "browser/BrowserWindowController.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "settings/DefaultBrowser.h"
#include "settings/LogViewerWindow.h"
#include "update/Updater.h"

#include <gtkmm/separator.h>

namespace quillmere {

std::shared_ptr<SettingsWindow> SettingsWindow::create(std::weak_ptr<BrowserWindowController> browserController)
{
    std::shared_ptr<SettingsWindow> window(new SettingsWindow(std::move(browserController)));
    window->setup();
    return window;
}

SettingsWindow::SettingsWindow(std::weak_ptr<BrowserWindowController> browserController)
    : browserController_(std::move(browserController))
    , content_(Gtk::Orientation::VERTICAL)
    , updateBtn_("Check for Updates")
    , makeDefaultBtn_("Make Default Browser")
    , saveBtn_("Save")
    , clearDataBtn_("Clear Cookies & Cache")
    , showLogsBtn_("Show Logs")
    , updateBase_(Updater::configuredBase())
{
    set_title("Quillmere Settings");
    set_default_size(kWidth, kHeight);
    set_resizable(false);
    set_hide_on_close(true);
    add_css_class("settings-window");
}

SettingsWindow::~SettingsWindow() = default;

// Rows sit at fixed places from the top; each keeps its own width and height, and the
// vertical gap to the row above it becomes its top margin. Margins on both sides give
// a row exactly its width, so wrapping labels wrap there.
void SettingsWindow::addRow(Gtk::Widget& widget, int x, int top, int width, int height)
{
    widget.set_margin_start(x);
    widget.set_margin_end(kWidth - x - width);
    widget.set_margin_top(top - rowBottom_);
    widget.set_size_request(-1, height);
    widget.set_halign(Gtk::Align::FILL);
    widget.set_valign(Gtk::Align::START);
    content_.append(widget);
    rowBottom_ = top + height;
}

void SettingsWindow::divider(int top)
{
    auto* line = Gtk::make_managed<Gtk::Box>();
    line->add_css_class("settings-divider");
    addRow(*line, 24, top, 392, 1);
}

namespace {

Gtk::Label* heading(const char* text, int size)
{
    auto* label = Gtk::make_managed<Gtk::Label>(text);
    label->add_css_class(size == 18 ? "settings-heading-large" : "settings-heading");
    label->set_xalign(0);
    return label;
}

void note(Gtk::Label& label, bool wrapping)
{
    label.add_css_class("settings-note");
    label.set_xalign(0);
    label.set_yalign(0);
    label.set_wrap(wrapping);
}

} // namespace

void SettingsWindow::setup()
{
    content_.add_css_class("settings-content");
    set_child(content_);
    std::weak_ptr<SettingsWindow> weakSelf = weak_from_this();
    auto action = [weakSelf](void (SettingsWindow::*method)()) {
        return [weakSelf, method] {
            if (auto self = weakSelf.lock())
                ((*self).*method)();
        };
    };

    addRow(*heading("Quillmere", 18), 24, 24, 300, 26);
    addRow(*heading("Updates", 13), 24, 65, 250, 20);
    addRow(updateBtn_, 24, 92, 220, 30);
    updateBtn_.signal_clicked().connect([weakSelf] {
        auto self = weakSelf.lock();
        if (!self)
            return;
        if (self->updateFound_)
            self->installUpdate();
        else
            self->checkForUpdates();
    });
    updateStatus_.set_text("Build " + std::to_string(currentBuild));
    note(updateStatus_, true);
    addRow(updateStatus_, 24, 126, 390, 30);
    divider(165);

    addRow(makeDefaultBtn_, 24, 171, 220, 30);
    makeDefaultBtn_.signal_clicked().connect(action(&SettingsWindow::makeDefault));
    auto* defaultNote = Gtk::make_managed<Gtk::Label>("Other apps will now open web links in Quillmere.");
    note(*defaultNote, true);
    addRow(*defaultNote, 24, 203, 390, 28);
    divider(240);

    addRow(*heading("Ad & Tracker Blocking", 13), 24, 256, 250, 20);
    adBlockCheckbox_.set_active(adBlockEnabled());
    adBlockCheckbox_.add_css_class("settings-checkbox");
    // A long label wraps inside its row rather than widen the window.
    auto* checkboxLabel = Gtk::make_managed<Gtk::Label>("Enabled (110k+ rules from EasyList/EasyPrivacy/AdGuard)");
    checkboxLabel->set_wrap(true);
    checkboxLabel->set_xalign(0);
    adBlockCheckbox_.set_child(*checkboxLabel);
    adBlockCheckbox_.signal_toggled().connect(action(&SettingsWindow::toggleAdBlock));
    addRow(adBlockCheckbox_, 24, 282, 390, 24);
    divider(320);

    addRow(*heading("Homepage", 13), 24, 336, 250, 20);
    auto* homepageRow = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL);
    homepageField_.add_css_class("settings-field");
    homepageField_.set_text(BrowserWindowController::homepage());
    homepageField_.set_size_request(300, 26);
    homepageField_.set_hexpand(true);
    homepageField_.set_valign(Gtk::Align::START);
    saveBtn_.set_size_request(80, 28);
    saveBtn_.set_margin_start(8);
    saveBtn_.set_valign(Gtk::Align::START);
    saveBtn_.signal_clicked().connect(action(&SettingsWindow::saveHomepage));
    homepageRow->append(homepageField_);
    homepageRow->append(saveBtn_);
    addRow(*homepageRow, 24, 362, 388, 28);
    divider(405);

    addRow(*heading("Browsing Data", 13), 24, 421, 250, 20);
    addRow(clearDataBtn_, 24, 446, 220, 30);
    clearDataBtn_.signal_clicked().connect(action(&SettingsWindow::clearData));
    note(clearDataStatus_, false);
    addRow(clearDataStatus_, 24, 481, 390, 20);
    divider(510);

    addRow(showLogsBtn_, 24, 520, 220, 30);
    showLogsBtn_.signal_clicked().connect(action(&SettingsWindow::showLogs));

    for (Gtk::Button* button : {&updateBtn_, &makeDefaultBtn_, &saveBtn_, &clearDataBtn_, &showLogsBtn_})
        button->add_css_class("settings-button");
}

void SettingsWindow::makeDefault()
{
    DefaultBrowser::requestToBecomeDefault();
}

void SettingsWindow::toggleAdBlock()
{
    if (auto controller = browserController_.lock())
        controller->setAdBlockEnabled(adBlockCheckbox_.get_active());
}

void SettingsWindow::saveHomepage()
{
    const std::string homepage = homepageField_.get_text();
    UserDefaults::standard().setString(kHomepageKey, homepage);
    quillmereLog.info("Homepage saved: %{public}s", homepage);
}

void SettingsWindow::clearData()
{
    clearDataStatus_.set_text("Clearing...");
    auto controller = browserController_.lock();
    if (!controller)
        return;
    std::weak_ptr<SettingsWindow> weakSelf = weak_from_this();
    controller->clearBrowsingData([weakSelf] {
        if (auto self = weakSelf.lock())
            self->clearDataStatus_.set_text("Cleared cookies, cache, and local storage.");
    });
}

void SettingsWindow::showLogs()
{
    if (!logViewer_) {
        logViewer_ = std::make_unique<LogViewerWindow>();
        if (auto controller = browserController_.lock())
            controller->installKeyHandler(*logViewer_);
    }
    logViewer_->present();
}

void SettingsWindow::checkForUpdates()
{
    updateStatus_.set_text("Checking...");
    updateBtn_.set_sensitive(false);
    std::weak_ptr<SettingsWindow> weakSelf = weak_from_this();
    Updater::checkForUpdate(updateBase_, [weakSelf](UpdateStatus status) {
        auto self = weakSelf.lock();
        if (!self)
            return;
        std::visit(
            [&](const auto& outcome) {
                using Outcome = std::decay_t<decltype(outcome)>;
                if constexpr (std::is_same_v<Outcome, UpdateStatus::UpdateAvailable>) {
                    self->updateStatus_.set_text("Version " + outcome.version + " available: " + outcome.notes);
                    self->updateBtn_.set_label("Download & Install");
                    self->updateFound_ = true;
                } else if constexpr (std::is_same_v<Outcome, UpdateStatus::Error>) {
                    self->updateStatus_.set_text("Update check failed: " + outcome.message);
                } else {
                    self->updateStatus_.set_text(
                        "You're on the latest version (build " + std::to_string(currentBuild) + ").");
                }
            },
            status.value);
        self->updateBtn_.set_sensitive(true);
    });
}

void SettingsWindow::installUpdate()
{
    updateBtn_.set_sensitive(false);
    std::weak_ptr<SettingsWindow> weakSelf = weak_from_this();
    Updater::downloadAndInstall(
        updateBase_,
        [weakSelf](const std::string& text) {
            if (auto self = weakSelf.lock())
                self->updateStatus_.set_text(text);
        },
        [weakSelf](bool success, const std::string& message) {
            if (success)
                return; // the program is about to end
            if (auto self = weakSelf.lock()) {
                self->updateStatus_.set_text("Update failed: " + message);
                self->updateBtn_.set_sensitive(true);
            }
        });
}

} // namespace quillmere
