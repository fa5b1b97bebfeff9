#include "settings/SettingsWindow.h"

#include "adblock/FilterListUpdater.h"
#include "browser/AddressResolver.h"
#include "browser/BrowserWindowController.h"
#include "platform/Accessibility.h"
#include "platform/GObjectPtr.h"
#include "platform/Log.h"
#include "permissions/SitePermissions.h"
#include "platform/UserDefaults.h"
#include "settings/DefaultBrowser.h"
#include "settings/LogViewerWindow.h"
#include "update/Updater.h"

#include <glibmm/main.h>
#include <gtkmm/separator.h>

#include <map>

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
    , rows_(Gtk::Orientation::VERTICAL)
    , updateBtn_("Check for Updates")
    , makeDefaultBtn_("Make Default Browser")
    , updateListsBtn_("Update Filter Lists")
    , saveBtn_("Save")
    , onLaunchChoice_(std::vector<Glib::ustring> {"restore previous tabs", "open the homepage"})
    , clearDataBtn_("Clear Cookies & Cache")
    , clearHistoryBtn_("Clear History")
    , showLogsBtn_("Show Logs")
    , showHistoryBtn_("Show History")
    , sitePermissionsList_(Gtk::Orientation::VERTICAL)
    , updateBase_(Updater::configuredBase())
{
    set_title("Quillmere Settings");
    set_default_size(kWidth, kHeight);
    set_resizable(false);
    set_hide_on_close(true);
    add_css_class("settings-window");
}

SettingsWindow::~SettingsWindow() = default;

namespace {

constexpr int kInset = 24; // from the window's left and top edges to the rows
constexpr int kColumnWidth = SettingsWindow::kWidth - 2 * kInset; // as wide as a divider

// Puts `widget` below the rows already in `column`, `gap` under the last of them, at
// `width` × `height`. The space to its right keeps it at that width, so that wrapping
// text wraps there.
void addRow(Gtk::Box& column, Gtk::Widget& widget, int width, int height, int gap)
{
    widget.set_margin_top(gap);
    widget.set_margin_end(kColumnWidth - width);
    widget.set_size_request(-1, height);
    widget.set_halign(Gtk::Align::FILL);
    widget.set_valign(Gtk::Align::START);
    column.append(widget);
}

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

Gtk::Box& SettingsWindow::addSection()
{
    auto* column = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL);
    rows_.append(*column);
    return *column;
}

void SettingsWindow::addDivider(int gap)
{
    auto* line = Gtk::make_managed<Gtk::Box>();
    line->add_css_class("settings-divider");
    addRow(rows_, *line, kColumnWidth, 1, gap);
}

void SettingsWindow::setup()
{
    content_.add_css_class("settings-content");
    rows_.set_margin_start(kInset);
    rows_.set_margin_end(kInset);
    rows_.set_margin_top(kInset);
    content_.append(rows_);
    set_child(content_);
    std::weak_ptr<SettingsWindow> weakSelf = weak_from_this();
    auto action = [weakSelf](void (SettingsWindow::*method)()) {
        return [weakSelf, method] {
            if (auto self = weakSelf.lock())
                ((*self).*method)();
        };
    };

    // Sections of rows between dividers; each row and divider gives its size and its
    // distance to whatever is above it.
    addRow(rows_, *heading("Quillmere", 18), 300, 26, 0);

    Gtk::Box& updates = addSection();
    addRow(updates, *heading("Updates", 13), 250, 20, 15);
    addRow(updates, updateBtn_, 220, 30, 7);
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
    addRow(updates, updateStatus_, 390, 30, 4);

    addDivider(9);
    Gtk::Box& defaultBrowser = addSection();
    addRow(defaultBrowser, makeDefaultBtn_, 220, 30, 5);
    makeDefaultBtn_.signal_clicked().connect(action(&SettingsWindow::makeDefault));
    auto* defaultNote = Gtk::make_managed<Gtk::Label>("Other apps will now open web links in Quillmere.");
    note(*defaultNote, true);
    addRow(defaultBrowser, *defaultNote, 390, 28, 2);

    addDivider(9);
    Gtk::Box& blocking = addSection();
    addRow(blocking, *heading("Ad & Tracker Blocking", 13), 250, 20, 15);
    adBlockCheckbox_.set_active(adBlockEnabled());
    adBlockCheckbox_.add_css_class("settings-checkbox");
    // A long label wraps inside its row rather than widen the window.
    auto* checkboxLabel = Gtk::make_managed<Gtk::Label>("Enabled (110k+ rules from EasyList/EasyPrivacy/AdGuard)");
    checkboxLabel->set_wrap(true);
    checkboxLabel->set_xalign(0);
    adBlockCheckbox_.set_child(*checkboxLabel);
    setAccessibleLabelledBy(adBlockCheckbox_, *checkboxLabel);
    adBlockCheckbox_.signal_toggled().connect(action(&SettingsWindow::toggleAdBlock));
    addRow(blocking, adBlockCheckbox_, 390, 24, 6);
    auto* listsRow = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL);
    note(listsStatus_, false);
    listsStatus_.set_yalign(0.5);
    listsStatus_.set_hexpand(true);
    updateListsBtn_.set_size_request(160, 30);
    listsRow->append(listsStatus_);
    listsRow->append(updateListsBtn_);
    addRow(blocking, *listsRow, kColumnWidth, 30, 6);
    updateListsBtn_.signal_clicked().connect(action(&SettingsWindow::updateFilterLists));
    if (auto controller = browserController_.lock())
        if (FilterListUpdater* updater = controller->filterListUpdater())
            updater->signalChecked().connect(sigc::mem_fun(*this, &SettingsWindow::showFilterListsDate));
    showFilterListsDate();

    addDivider(14);
    Gtk::Box& homepage = addSection();
    addRow(homepage, *heading("Homepage", 13), 250, 20, 15);
    auto* homepageRow = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL);
    homepageField_.add_css_class("settings-field");
    setAccessibleName(homepageField_, "Homepage");
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
    addRow(homepage, *homepageRow, 388, 28, 6);
    auto* launchRow = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL);
    auto* launchLabel = Gtk::make_managed<Gtk::Label>("On launch:");
    note(*launchLabel, false);
    launchLabel->set_yalign(0.5);
    launchLabel->set_margin_end(8);
    onLaunchChoice_.set_selected(restoreTabsAtLaunch() ? 0 : 1);
    onLaunchChoice_.set_hexpand(true);
    onLaunchChoice_.add_css_class("settings-choice");
    setAccessibleName(onLaunchChoice_, "On launch");
    onLaunchChoice_.property_selected().signal_changed().connect(action(&SettingsWindow::chooseOnLaunch));
    launchRow->append(*launchLabel);
    launchRow->append(onLaunchChoice_);
    addRow(homepage, *launchRow, 388, 28, 8);

    addDivider(15);
    Gtk::Box& browsingData = addSection();
    addRow(browsingData, *heading("Browsing Data", 13), 250, 20, 15);
    // History has a button of its own beside the one for website data.
    auto* clearRow = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL);
    clearDataBtn_.set_size_request(220, 30);
    clearHistoryBtn_.set_size_request(-1, 30);
    clearHistoryBtn_.set_hexpand(true);
    clearHistoryBtn_.set_margin_start(8);
    clearRow->append(clearDataBtn_);
    clearRow->append(clearHistoryBtn_);
    addRow(browsingData, *clearRow, kColumnWidth, 30, 5);
    clearDataBtn_.signal_clicked().connect(action(&SettingsWindow::clearData));
    clearHistoryBtn_.signal_clicked().connect(action(&SettingsWindow::clearHistory));
    note(clearDataStatus_, false);
    addRow(browsingData, clearDataStatus_, 390, 20, 5);

    addDivider(9);
    Gtk::Box& logs = addSection();
    auto* windowsRow = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL);
    showLogsBtn_.set_size_request(220, 30);
    showHistoryBtn_.set_size_request(-1, 30);
    showHistoryBtn_.set_hexpand(true);
    showHistoryBtn_.set_margin_start(8);
    windowsRow->append(showLogsBtn_);
    windowsRow->append(showHistoryBtn_);
    addRow(logs, *windowsRow, kColumnWidth, 30, 9);
    showLogsBtn_.signal_clicked().connect(action(&SettingsWindow::showLogs));
    showHistoryBtn_.signal_clicked().connect(action(&SettingsWindow::showHistory));
    sitePermissionsBtn_.set_label("Site Permissions");
    setAccessibleName(sitePermissionsBtn_, "Site Permissions");
    sitePermissionsBtn_.set_tooltip_text("What sites may do, as you answered them");
    sitePermissionsList_.set_spacing(4);
    sitePermissionsList_.set_margin_top(4);
    sitePermissionsList_.set_margin_bottom(4);
    sitePermissionsPopover_.set_child(sitePermissionsList_);
    sitePermissionsBtn_.set_popover(sitePermissionsPopover_);
    sitePermissionsPopover_.signal_show().connect(action(&SettingsWindow::showSitePermissions));
    addRow(logs, sitePermissionsBtn_, 220, 30, 8);
    // Shown only when the settings file is in trouble; hidden, it takes no room.
    note(fileNotice_, true);
    fileNotice_.add_css_class("settings-warning");
    addRow(logs, fileNotice_, 390, 0, 6);
    showFileState();
    signal_show().connect(action(&SettingsWindow::showFileState));
    signal_show().connect([this] { nameInnerWidgets(*this); });
    nameStatusLabel(clearDataStatus_, "No browsing data cleared yet");
    nameStatusLabel(updateStatus_, "No update checked yet");
    nameStatusLabel(fileNotice_, "Settings file in order");

    for (Gtk::Button* button :
        {&updateBtn_, &makeDefaultBtn_, &updateListsBtn_, &saveBtn_, &clearDataBtn_, &clearHistoryBtn_, &showLogsBtn_,
            &showHistoryBtn_})
        button->add_css_class("settings-button");
    sitePermissionsBtn_.add_css_class("settings-button");
}

void SettingsWindow::showSitePermissions()
{
    while (Gtk::Widget* row = sitePermissionsList_.get_first_child())
        sitePermissionsList_.remove(*row);
    auto controller = browserController_.lock();
    const auto entries = controller ? controller->sitePermissions().entries() : std::vector<SitePermissions::Entry> {};
    if (entries.empty()) {
        auto* none = Gtk::make_managed<Gtk::Label>("No site has asked for anything yet");
        note(*none, false);
        sitePermissionsList_.append(*none);
        return;
    }
    const std::map<std::string, std::string> kinds = {{"notifications", "Notifications"},
        {"geolocation", "Location"}, {"camera", "Camera"}, {"microphone", "Microphone"},
        {"screen", "Screen sharing"}, {"pointer-lock", "Hiding the pointer"}, {"clipboard", "Reading the clipboard"}};
    std::weak_ptr<SettingsWindow> weakSelf = weak_from_this();
    for (const auto& entry : entries) {
        auto* row = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL);
        row->set_spacing(12);
        auto found = kinds.find(entry.kind);
        auto* label = Gtk::make_managed<Gtk::Label>(entry.host + " — "
            + (found == kinds.end() ? entry.kind : found->second) + ": " + (entry.allowed ? "Allowed" : "Denied"));
        label->set_xalign(0);
        label->set_hexpand(true);
        auto* forget = Gtk::make_managed<Gtk::Button>("Forget");
        setAccessibleName(*forget, "Forget " + label->get_text());
        forget->signal_clicked().connect([weakSelf, host = entry.host, kind = entry.kind] {
            auto self = weakSelf.lock();
            auto controller = self ? self->browserController_.lock() : nullptr;
            if (!controller)
                return;
            controller->sitePermissions().forget(host, kind);
            // The list changes once the click is over.
            Glib::signal_idle().connect_once([weakSelf] {
                if (auto self = weakSelf.lock())
                    self->showSitePermissions();
            });
        });
        row->append(*label);
        row->append(*forget);
        sitePermissionsList_.append(*row);
    }
}

void SettingsWindow::showFileState()
{
    const UserDefaults& defaults = UserDefaults::standard();
    std::string text;
    switch (defaults.fileState()) {
    case UserDefaults::FileState::Healthy:
        break;
    case UserDefaults::FileState::Damaged:
        text = "Your settings file was damaged; it was kept as "
            + std::string(GCharPtr(g_path_get_basename(defaults.damagedCopy().c_str())).get())
            + " and defaults are in use";
        break;
    case UserDefaults::FileState::Unreadable:
        text = "Your settings file could not be read; defaults are in use and changes cannot be saved";
        break;
    }
    fileNotice_.set_text(text);
    fileNotice_.set_visible(!text.empty());
}

void SettingsWindow::makeDefault()
{
    DefaultBrowser::requestToBecomeDefault();
}

void SettingsWindow::toggleAdBlock()
{
    if (auto controller = browserController_.lock())
        controller->setAdBlockEnabled(adBlockCheckbox_.get_active());
    showFileState();
}

void SettingsWindow::saveHomepage()
{
    const std::string homepage = homepageField_.get_text();
    UserDefaults::standard().setString(kHomepageKey, homepage);
    quillmereLog.info("Homepage saved: %{public}s", homepage);
    showFileState();
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

void SettingsWindow::clearHistory()
{
    clearDataStatus_.set_text("Clearing history...");
    auto controller = browserController_.lock();
    if (!controller)
        return;
    std::weak_ptr<SettingsWindow> weakSelf = weak_from_this();
    controller->clearHistory([weakSelf] {
        if (auto self = weakSelf.lock())
            self->clearDataStatus_.set_text("Cleared history, site icons and recently closed tabs.");
    });
}

void SettingsWindow::showHistory()
{
    if (auto controller = browserController_.lock())
        controller->showHistory();
}

void SettingsWindow::chooseOnLaunch()
{
    UserDefaults::standard().setBool(kRestoreTabsKey, onLaunchChoice_.get_selected() == 0);
    showFileState();
}

void SettingsWindow::showLogs()
{
    if (!logViewer_) {
        logViewer_ = std::make_unique<LogViewerWindow>();
        if (auto controller = browserController_.lock())
            controller->installKeyHandler(*logViewer_);
        if (auto application = get_application())
            application->add_window(*logViewer_);
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

void SettingsWindow::updateFilterLists()
{
    auto controller = browserController_.lock();
    FilterListUpdater* updater = controller ? controller->filterListUpdater() : nullptr;
    if (!updater)
        return;
    updater->updateNow();
    updateListsBtn_.set_sensitive(!updater->running());
}

void SettingsWindow::showFilterListsDate()
{
    auto controller = browserController_.lock();
    FilterListUpdater* updater = controller ? controller->filterListUpdater() : nullptr;
    updateListsBtn_.set_sensitive(!updater || !updater->running());
    std::string text = "Filter lists not updated yet";
    if (auto when = updater ? updater->lastUpdated() : std::nullopt) {
        g_autoptr(GDateTime) local = g_date_time_new_from_unix_local(*when);
        g_autofree char* date = local ? g_date_time_format(local, "%x") : nullptr;
        if (date)
            text = std::string("Filter lists updated ") + date;
    }
    listsStatus_.set_text(text);
}

} // namespace quillmere
