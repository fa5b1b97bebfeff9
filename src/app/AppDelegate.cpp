#include "app/AppDelegate.h"

#include "browser/BrowserWindowController.h"
#include "platform/Bundle.h"
#include "platform/GraphicsProbe.h"
#include "platform/Log.h"
#include "platform/Resources.h"
#include "settings/DefaultBrowser.h"
#include "settings/SettingsWindow.h"
#include "update/Updater.h"

#include <giomm/menu.h>
#include <giomm/simpleaction.h>
#include <gtkmm/cssprovider.h>
#include <gtkmm/settings.h>
#include <gtkmm/stylecontext.h>

namespace quillmere {

Glib::RefPtr<Gtk::Application> AppDelegate::createApplication()
{
    return Gtk::Application::create(kApplicationId, Gio::Application::Flags::HANDLES_OPEN);
}

AppDelegate::AppDelegate(const Glib::RefPtr<Gtk::Application>& application)
    : application_(application)
{
    // Before anything is started that could inherit it.
    Updater::takeRelaunchReport();
    application_->signal_startup().connect(sigc::mem_fun(*this, &AppDelegate::startup));
    application_->signal_activate().connect(sigc::mem_fun(*this, &AppDelegate::activate));
    application_->signal_open().connect(sigc::mem_fun(*this, &AppDelegate::open));
    // However the program ends normally, the next launch finds the session as it was.
    application_->signal_shutdown().connect([this] {
        if (controller_)
            controller_->sessionDidEnd();
    });
    application_->set_option_context_parameter_string("[URL|FILE…]");
    application_->add_main_option_entry(
        Gio::Application::OptionType::BOOL, "new-tab", '\0', "Open a new tab in the running Quillmere");
    application_->signal_handle_local_options().connect(sigc::mem_fun(*this, &AppDelegate::handleLocalOptions), false);
}

AppDelegate::~AppDelegate()
{
    if (controller_)
        controller_->sessionDidEnd();
    // The settings window (and its log viewer, with the tool it runs) goes first.
    settingsWindow_.reset();
    if (activityToken_)
        application_->uninhibit(activityToken_);
}

void AppDelegate::startup()
{
    Updater::recoverInterruptedUpdates();
    registerResources();
    configureRendering();
    Gtk::Settings::get_default()->property_gtk_application_prefer_dark_theme() = true;
    auto css = Gtk::CssProvider::create();
    css->load_from_resource(std::string(kResourcePrefix) + "style.css");
    Gtk::StyleContext::add_provider_for_display(
        Gdk::Display::get_default(), css, GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);

    application_->add_action("newTab", sigc::mem_fun(*this, &AppDelegate::newTab));
    application_->add_action("closeTab", sigc::mem_fun(*this, &AppDelegate::closeTab));
    application_->add_action("openSettings", sigc::mem_fun(*this, &AppDelegate::openSettings));
    application_->add_action("toggleDevTools", [this] {
        if (controller_)
            controller_->toggleDevTools();
    });
    // Downloads still running are cancelled only when the user says so.
    application_->add_action("quit", [this] {
        if (!controller_ || controller_->confirmQuit([this] { application_->quit(); }))
            application_->quit();
    });
    application_->add_action("showHistory", [this] {
        if (controller_)
            controller_->showHistory();
    });
    application_->add_action("reopenClosedTab", [this] {
        if (controller_)
            controller_->reopenClosedTab();
    });
    application_->set_accel_for_action("app.showHistory", "<Primary>h");
    application_->set_accel_for_action("app.reopenClosedTab", "<Primary><Shift>t");
    application_->set_accel_for_action("app.openSettings", "<Primary>comma");
    application_->set_accel_for_action("app.quit", "<Primary>q");
    application_->set_accel_for_action("app.newTab", "<Primary>t");
    application_->set_accel_for_action("app.closeTab", "<Primary>w");
}

// The desktop entry's "New Tab": a running copy opens the tab and comes to the front, and
// this launch ends; with none running, this launch becomes the program with its first tab.
int AppDelegate::handleLocalOptions(const Glib::RefPtr<Glib::VariantDict>& options)
{
    if (!options->contains("new-tab"))
        return -1;
    try {
        application_->register_application();
    } catch (const Glib::Error&) {
        return -1; // run() registers again and reports the failure
    }
    if (!application_->is_remote())
        return -1;
    application_->activate_action("newTab");
    application_->activate();
    return 0;
}

void AppDelegate::activate()
{
    if (!launched_)
        applicationDidFinishLaunching();
    else if (controller_)
        controller_->window().present();
}

void AppDelegate::open(const std::vector<Glib::RefPtr<Gio::File>>& files, const Glib::ustring&)
{
    for (const auto& file : files)
        openURL(file->get_uri());
    if (!launched_)
        applicationDidFinishLaunching();
}

// A link from another application opens in a new tab, never over what the user has in
// the current one, and brings the window forward.
void AppDelegate::openURL(const std::string& url)
{
    if (!controller_) {
        pendingURLs_.push_back(url);
        return;
    }
    if (!BrowserWindowController::acceptsOutsideURL(url))
        return;
    controller_->openNewTab(url);
    controller_->window().present();
}

void AppDelegate::applicationDidFinishLaunching()
{
    launched_ = true;
    setupMainMenu();

    controller_ = BrowserWindowController::create(application_);
    Gtk::ApplicationWindow& window = controller_->window();
    // The browser window's close ends the program, even while hidden settings,
    // log or picture-in-picture windows still belong to the application.
    window.signal_close_request().connect(
        [this] {
            if (!controller_->confirmQuit([this] { application_->quit(); }))
                return true;
            application_->quit();
            return false;
        },
        false);
    window.present();
    // A copy that an update started tells the previous one that it is up.
    if (window.get_mapped())
        Updater::reportStartedAfterUpdate();
    else
        window.signal_map().connect([] { Updater::reportStartedAfterUpdate(); });

    activityToken_ =
        application_->inhibit(window, Gtk::Application::InhibitFlags::SUSPEND | Gtk::Application::InhibitFlags::IDLE,
            "Keep video decoding alive for custom picture-in-picture");
    if (activityToken_)
        quillmereLog.info("Suspend inhibitor started");
    else
        quillmereLog.info("Suspend inhibitor unavailable");

    DefaultBrowser::requestToBecomeDefault();

    auto pending = std::move(pendingURLs_);
    pendingURLs_.clear();
    // At launch the first address handed in takes the first tab's place, unless tabs were
    // restored; the others follow in tabs of their own, after any restored ones.
    for (size_t i = 0; i < pending.size(); ++i) {
        if (i == 0 && !controller_->restoredSession() && BrowserWindowController::acceptsOutsideURL(pending[0]))
            controller_->loadURL(pending[0]);
        else
            openURL(pending[i]);
    }
}

void AppDelegate::setupMainMenu()
{
    auto menubar = Gio::Menu::create();

    auto applicationMenu = Gio::Menu::create();
    auto settingsSection = Gio::Menu::create();
    settingsSection->append("Settings...", "app.openSettings");
    applicationMenu->append_section(settingsSection);
    auto quitSection = Gio::Menu::create();
    quitSection->append("Quit Quillmere", "app.quit");
    applicationMenu->append_section(quitSection);
    menubar->append_submenu("Quillmere", applicationMenu);

    auto fileMenu = Gio::Menu::create();
    fileMenu->append("New Tab", "app.newTab");
    fileMenu->append("Close Tab", "app.closeTab");
    menubar->append_submenu("File", fileMenu);

    application_->set_menubar(menubar);
}

void AppDelegate::newTab()
{
    if (controller_)
        controller_->openNewTab();
}

void AppDelegate::closeTab()
{
    if (controller_)
        controller_->closeTab(controller_->activeTabIndex());
}

void AppDelegate::openSettings()
{
    if (!controller_)
        return;
    if (!settingsWindow_) {
        settingsWindow_ = SettingsWindow::create(controller_);
        // One of the application's windows: its accelerators (Ctrl+Q, Ctrl+,) work here too.
        application_->add_window(*settingsWindow_);
        controller_->installKeyHandler(*settingsWindow_);
    }
    settingsWindow_->present();
}

} // namespace quillmere
