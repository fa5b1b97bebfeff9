// The settings window: updates, default browser, ad and tracker blocking, homepage and
// what a launch opens, browsing data and history, and the log viewer. It keeps no settings logic of its own beyond
// storing the homepage and saying when the settings file is damaged or unreadable;
// every action goes to the part that owns it. The application delegate makes one on
// the first "Settings..." and keeps it; closing only hides it.
#pragma once

#include "update/UpdateStatus.h"

#include <gtkmm/box.h>
#include <gtkmm/button.h>
#include <gtkmm/checkbutton.h>
#include <gtkmm/dropdown.h>
#include <gtkmm/entry.h>
#include <gtkmm/label.h>
#include <gtkmm/menubutton.h>
#include <gtkmm/popover.h>
#include <gtkmm/window.h>

#include <memory>
#include <string>

namespace quillmere {

class BrowserWindowController;
class LogViewerWindow;

class SettingsWindow : public Gtk::Window, public std::enable_shared_from_this<SettingsWindow> {
public:
    static constexpr int kWidth = 440;
    static constexpr int kHeight = 700;

    static std::shared_ptr<SettingsWindow> create(std::weak_ptr<BrowserWindowController> browserController);
    ~SettingsWindow() override;

    // The controls, for the rest of the program and for tests.
    Gtk::Button& updateButton() { return updateBtn_; }
    Gtk::Label& updateStatus() { return updateStatus_; }
    Gtk::CheckButton& adBlockCheckbox() { return adBlockCheckbox_; }
    Gtk::Button& updateFilterListsButton() { return updateListsBtn_; }
    Gtk::Label& filterListsStatus() { return listsStatus_; }
    Gtk::Entry& homepageField() { return homepageField_; }
    Gtk::Label& clearDataStatus() { return clearDataStatus_; }
    Gtk::Button& makeDefaultButton() { return makeDefaultBtn_; }
    Gtk::Button& saveButton() { return saveBtn_; }
    Gtk::Button& clearDataButton() { return clearDataBtn_; }
    Gtk::Button& showLogsButton() { return showLogsBtn_; }
    // "On launch:" 0 restores the previous tabs, 1 opens the homepage.
    Gtk::DropDown& onLaunchChoice() { return onLaunchChoice_; }
    Gtk::Button& clearHistoryButton() { return clearHistoryBtn_; }
    Gtk::Button& showHistoryButton() { return showHistoryBtn_; }
    Gtk::Label& fileNotice() { return fileNotice_; }
    // The answers given to sites' permission requests, each with a way to forget it.
    Gtk::MenuButton& sitePermissionsButton() { return sitePermissionsBtn_; }
    Gtk::Box& sitePermissionsList() { return sitePermissionsList_; }
    void showSitePermissions();
    LogViewerWindow* logViewer() const { return logViewer_.get(); }
    Gtk::Box& content() { return content_; }

    // Where updates come from; tests point it at a local server.
    void setUpdateBase(const std::string& base) { updateBase_ = base; }

    void checkForUpdates();
    void installUpdate();
    void makeDefault();
    void toggleAdBlock();
    void updateFilterLists();
    void saveHomepage();
    void clearData();
    void clearHistory();
    void showHistory();
    void chooseOnLaunch();
    void showLogs();

private:
    explicit SettingsWindow(std::weak_ptr<BrowserWindowController> browserController);
    void setup();
    Gtk::Box& addSection();
    void addDivider(int gap);
    // Says in the window when the settings file was damaged or cannot be read.
    void showFileState();
    // "Filter lists updated <date>", the date in the user's locale.
    void showFilterListsDate();

    std::unique_ptr<LogViewerWindow> logViewer_;
    std::weak_ptr<BrowserWindowController> browserController_;
    Gtk::Box content_;
    Gtk::Box rows_; // the sections and dividers, inset from the window's edges
    Gtk::Button updateBtn_;
    Gtk::Label updateStatus_;
    Gtk::Button makeDefaultBtn_;
    Gtk::CheckButton adBlockCheckbox_;
    Gtk::Label listsStatus_;
    Gtk::Button updateListsBtn_;
    Gtk::Entry homepageField_;
    Gtk::Button saveBtn_;
    Gtk::DropDown onLaunchChoice_;
    Gtk::Button clearDataBtn_;
    Gtk::Button clearHistoryBtn_;
    Gtk::Label clearDataStatus_;
    Gtk::Button showLogsBtn_;
    Gtk::Button showHistoryBtn_;
    Gtk::Label fileNotice_;
    Gtk::MenuButton sitePermissionsBtn_;
    Gtk::Popover sitePermissionsPopover_;
    Gtk::Box sitePermissionsList_;
    bool updateFound_ = false; // the button installs from then on
    std::string updateBase_;
};

} // namespace quillmere
