// The application delegate: runs the launch sequence once, builds the menu bar, owns
// the one browser window controller, and routes URLs and files handed in by the system
// (the command line, or another launch forwarded by GApplication) into the window. The
// one option, --new-tab, is the desktop entry's "New Tab" action.
#pragma once

#include <giomm/file.h>
#include <gtkmm/application.h>

#include <memory>
#include <string>
#include <vector>

namespace quillmere {

class BrowserWindowController;
class SettingsWindow;

class AppDelegate {
public:
    // The application object every launch runs: one instance per session bus, opening
    // the files and URLs handed to it.
    static Glib::RefPtr<Gtk::Application> createApplication();

    explicit AppDelegate(const Glib::RefPtr<Gtk::Application>& application);
    ~AppDelegate();

    std::shared_ptr<BrowserWindowController> controller() const { return controller_; }
    const std::vector<std::string>& pendingURLs() const { return pendingURLs_; }
    std::shared_ptr<SettingsWindow> settingsWindow() const { return settingsWindow_; }

    // Loads `url` into the active tab and raises the window; before the window exists
    // the URL waits in pendingURLs.
    void openURL(const std::string& url);

    void openSettings();

private:
    void startup();
    int handleLocalOptions(const Glib::RefPtr<Glib::VariantDict>& options);
    void activate();
    void open(const std::vector<Glib::RefPtr<Gio::File>>& files, const Glib::ustring& hint);
    void applicationDidFinishLaunching();
    void setupMainMenu();

    void newTab();
    void closeTab();

    Glib::RefPtr<Gtk::Application> application_;
    std::shared_ptr<BrowserWindowController> controller_;
    guint activityToken_ = 0; // the suspend inhibitor, held until exit
    std::shared_ptr<SettingsWindow> settingsWindow_; // made on first use, then kept
    std::vector<std::string> pendingURLs_;
    bool launched_ = false;
};

} // namespace quillmere
