#include "browser/BrowserWindowController.h"

#include "adblock/FilterListUpdater.h"
#include "browser/AddressResolver.h"
#include "browser/Downloads.h"
#include "browser/FindBar.h"
#include "devtools/DevToolsPanel.h"
#include "history/AddressSuggestions.h"
#include "history/HistoryStore.h"
#include "history/HistoryWindow.h"
#include "pip/PiPController.h"
#include "platform/Accessibility.h"
#include "platform/Log.h"
#include "permissions/SitePermissions.h"
#include "platform/UserDefaults.h"

#include <glibmm/main.h>
#include <gtkmm/eventcontrollerkey.h>
#include <gtkmm/gestureclick.h>
#include <gtkmm/messagedialog.h>

namespace quillmere {

namespace {
// The mouse's side buttons, as X numbers them.
constexpr guint kBackButton = 8;
constexpr guint kForwardButton = 9;
} // namespace

std::shared_ptr<BrowserWindowController> BrowserWindowController::create(
    const Glib::RefPtr<Gtk::Application>& application)
{
    std::shared_ptr<BrowserWindowController> controller(new BrowserWindowController(application));
    controller->setupUI();
    return controller;
}

BrowserWindowController::BrowserWindowController(const Glib::RefPtr<Gtk::Application>& application)
    : application_(application)
    , window_(std::make_unique<Gtk::ApplicationWindow>(application))
    , contentView_(Gtk::Orientation::VERTICAL)
    , toolbar_(Gtk::Orientation::HORIZONTAL)
    , backButton_("◀")
    , forwardButton_("▶")
    , reloadButton_("⟳")
    , devToolsButton_("</>")
    , pipButton_("PiP")
    , barSlot_(Gtk::Orientation::VERTICAL)
    , pageArea_(Gtk::Orientation::VERTICAL)
    , restoreBar_(Gtk::Orientation::HORIZONTAL)
    , restoreLabel_("Quillmere closed unexpectedly. Restore previous tabs?")
    , restoreButton_("Restore")
    , dismissRestoreButton_("✕")
{
    window_->set_default_size(1200, 800);
    window_->set_title("Quillmere");
    window_->add_css_class("browser-window");
    window_->set_show_menubar(true);
    // The window manager may also leave or enter full screen on its own.
    window_->property_fullscreened().signal_changed().connect(
        [this] { fullscreenRequested_ = window_->is_fullscreen(); });
    // The window makes its menu bar itself; name it once it is there.
    window_->signal_map().connect([window = window_.get()] {
        for (GtkWidget* child = gtk_widget_get_first_child(GTK_WIDGET(window->gobj())); child;
             child = gtk_widget_get_next_sibling(child))
            if (GTK_IS_POPOVER_MENU_BAR(child))
                setAccessibleName(*Glib::wrap(child), "Menu");
        nameInnerWidgets(*window);
    });
}

BrowserWindowController::~BrowserWindowController()
{
    // Views may outlive their tabs for a moment (pending engine work); dropping the
    // tabs cuts their signals before the rest of the controller goes.
    tabs_.clear();
    if (notificationSeedHandler_)
        g_signal_handler_disconnect(webkit_web_context_get_default(), notificationSeedHandler_);
}

void BrowserWindowController::setupUI()
{
    contentView_.add_css_class("content-view");
    windowOverlay_.set_child(contentView_);
    setAccessibleName(windowOverlay_, "Browser");
    window_->set_child(windowOverlay_);
    buildFullscreenNotice();
    startHistory();
    startPermissions();
    startDownloads();

    tabBar_ = Gtk::make_managed<TabBar>();
    tabBar_->set_size_request(-1, tabBarHeight);
    tabBar_->setDelegate(std::static_pointer_cast<TabBarDelegate>(shared_from_this()));
    contentView_.append(*tabBar_);

    buildToolbar();
    contentView_.append(toolbar_);
    contentView_.append(barSlot_);
    buildRestoreBar();
    contentView_.append(restoreBar_);

    pageArea_.add_css_class("page-area");
    pageArea_.set_vexpand(true);
    contentView_.append(pageArea_);

    // The developer tools sit under the web views, hidden until asked for.
    std::weak_ptr<BrowserWindowController> weakSelf = weak_from_this();
    devPanel_ = Gtk::make_managed<DevToolsPanel>();
    devPanel_->set_size_request(-1, devPanelHeight);
    devPanel_->set_vexpand(false);
    devPanel_->setOnClose([weakSelf] {
        if (auto self = weakSelf.lock())
            self->toggleDevTools();
    });
    devPanel_->set_visible(false);
    pageArea_.append(*devPanel_);
    setMessageHandler(kDevToolsChannel, devPanel_);

    pipController_ = std::make_shared<PiPController>();
    setMessageHandler(kPiPChannel, pipController_.get());
    // The panel, made by the first start, is one of the application's windows and
    // knows the window-wide keys.
    pipController_->setPanelSetup([weakSelf](Gtk::Window& panel) {
        if (auto self = weakSelf.lock()) {
            self->application_->add_window(panel);
            self->installKeyHandler(panel);
        }
    });

    startContentBlocking();
    startZoom();
    installKeyHandler(*window_);
    // The mouse's back and forward buttons, wherever the pointer is.
    auto buttons = Gtk::GestureClick::create();
    buttons->set_button(0);
    buttons->set_propagation_phase(Gtk::PropagationPhase::CAPTURE);
    buttons->signal_pressed().connect([weakSelf, gesture = buttons.get()](int, double, double) {
        auto self = weakSelf.lock();
        const guint button = gesture->get_current_button();
        if (!self || (button != kBackButton && button != kForwardButton))
            return;
        button == kBackButton ? self->goBack() : self->goForward();
        gesture->set_state(Gtk::EventSequenceState::CLAIMED);
    });
    window_->add_controller(buttons);
    openFirstTabs();
}

void BrowserWindowController::buildToolbar()
{
    toolbar_.add_css_class("nav-toolbar");
    toolbar_.set_size_request(-1, toolbarHeight);
    toolbar_.set_spacing(4);
    backButton_.set_margin_start(8);

    struct ToolButton {
        Gtk::Button& button;
        int width;
        void (BrowserWindowController::*action)();
        const char* name;
    };
    const ToolButton buttons[] = {
        {backButton_, 30, &BrowserWindowController::goBack, "Back"},
        {forwardButton_, 30, &BrowserWindowController::goForward, "Forward"},
        {reloadButton_, 30, &BrowserWindowController::reload, "Reload"},
        {devToolsButton_, 34, &BrowserWindowController::toggleDevTools, "Developer Tools"},
        {pipButton_, 40, &BrowserWindowController::startPiP, "Picture in Picture"},
    };
    std::weak_ptr<BrowserWindowController> weakSelf = weak_from_this();
    for (const auto& tool : buttons) {
        tool.button.set_size_request(tool.width, 28);
        tool.button.set_focus_on_click(false);
        tool.button.set_valign(Gtk::Align::CENTER);
        tool.button.set_tooltip_text(tool.name);
        setAccessibleName(tool.button, tool.name);
        auto action = tool.action;
        tool.button.signal_clicked().connect([weakSelf, action] {
            if (auto self = weakSelf.lock())
                ((*self).*action)();
        });
        toolbar_.append(tool.button);
    }

    addressField_.add_css_class("address-field");
    addressField_.set_placeholder_text("Enter URL or search");
    setAccessibleName(addressField_, "Address");
    addressField_.set_hexpand(true);
    addressField_.set_valign(Gtk::Align::CENTER);
    addressField_.set_size_request(-1, 28);
    addressField_.signal_activate().connect([weakSelf] {
        if (auto self = weakSelf.lock())
            self->navigateToAddress();
    });
    // Escape gives up an edit and shows the page's address again.
    auto escape = Gtk::EventControllerKey::create();
    escape->signal_key_pressed().connect(
        [weakSelf](guint keyval, guint, Gdk::ModifierType) {
            auto self = weakSelf.lock();
            if (!self || keyval != GDK_KEY_Escape)
                return false;
            const char* uri = self->webView() ? webkit_web_view_get_uri(self->webView()) : nullptr;
            self->showAddress(uri ? uri : "");
            self->addressField_.set_position(-1);
            return true;
        },
        false);
    addressField_.add_controller(escape);
    // The zoom level sits inside the field's end, where other browsers show it.
    addressOverlay_.set_child(addressField_);
    addressOverlay_.set_hexpand(true);
    setAccessibleName(addressOverlay_, "Address and zoom");
    zoomButton_.add_css_class("zoom-level");
    zoomButton_.set_halign(Gtk::Align::END);
    zoomButton_.set_valign(Gtk::Align::CENTER);
    zoomButton_.set_margin_end(4);
    zoomButton_.set_focus_on_click(false);
    zoomButton_.set_tooltip_text("Reset zoom");
    zoomButton_.set_visible(false);
    zoomButton_.signal_clicked().connect([weakSelf] {
        if (auto self = weakSelf.lock())
            self->zoom(0);
    });
    addressOverlay_.add_overlay(zoomButton_);
    // The page's security state sits at the field's start, where other browsers show it.
    buildSecurityIndicator();
    toolbar_.append(addressOverlay_);
    suggestions_ = std::make_unique<AddressSuggestions>(addressField_, history_);
    suggestions_->onOpen = [weakSelf](const std::string& uri) {
        if (auto self = weakSelf.lock())
            self->loadURL(uri);
    };
    suggestions_->onSearch = [weakSelf](const std::string& text) {
        if (auto self = weakSelf.lock())
            self->loadURL(searchURL(text));
    };

    toolbar_.append(downloads_->button());

    blockedBadge_.add_css_class("blocked-badge");
    blockedBadge_.set_xalign(1.0);
    blockedBadge_.set_size_request(82, 18);
    blockedBadge_.set_valign(Gtk::Align::CENTER);
    blockedBadge_.set_margin_start(4);
    blockedBadge_.set_margin_end(8);
    setBadgeCount(0);
    toolbar_.append(blockedBadge_);
}

void BrowserWindowController::installKeyHandler(Gtk::Window& target)
{
    auto keys = Gtk::EventControllerKey::create();
    keys->set_propagation_phase(Gtk::PropagationPhase::CAPTURE);
    std::weak_ptr<BrowserWindowController> weakSelf = weak_from_this();
    const bool browserWindow = &target == window_.get();
    keys->signal_key_pressed().connect(
        [weakSelf, browserWindow](guint keyval, guint, Gdk::ModifierType state) {
            auto self = weakSelf.lock();
            return self && self->handleKey(keyval, state, browserWindow);
        },
        false);
    target.add_controller(keys);
}

bool BrowserWindowController::handleKey(guint keyval, Gdk::ModifierType state, bool inBrowserWindow)
{
    using Mod = Gdk::ModifierType;
    const bool control = (state & Mod::CONTROL_MASK) == Mod::CONTROL_MASK;
    const bool shift = (state & Mod::SHIFT_MASK) == Mod::SHIFT_MASK;
    const bool alt = (state & Mod::ALT_MASK) == Mod::ALT_MASK;
    const guint key = gdk_keyval_to_lower(keyval);
    // Window-wide keys, in every window of the program.
    if (keyval == GDK_KEY_F12) {
        toggleDevTools();
        return true;
    }
    if (control && !shift && key == GDK_KEY_t) {
        openNewTab();
        return true;
    }
    if (control && !shift && key == GDK_KEY_w) {
        closeTab(activeTabIndex_);
        return true;
    }
    if (!inBrowserWindow)
        return false;

    const int count = static_cast<int>(tabs_.size());
    if (control && shift && key == GDK_KEY_t)
        reopenClosedTab();
    else if ((control && key == GDK_KEY_l) || (alt && key == GDK_KEY_d) || keyval == GDK_KEY_F6)
        focusAddress();
    else if ((control && key == GDK_KEY_r) || keyval == GDK_KEY_F5)
        shift ? reloadBypassingCache() : reload();
    else if (alt && keyval == GDK_KEY_Left)
        goBack();
    else if (alt && keyval == GDK_KEY_Right)
        goForward();
    else if (control && ((keyval == GDK_KEY_Tab && !shift) || keyval == GDK_KEY_Page_Down))
        switchToTab((activeTabIndex_ + 1) % count);
    else if (control
        && (keyval == GDK_KEY_ISO_Left_Tab || (keyval == GDK_KEY_Tab && shift) || keyval == GDK_KEY_Page_Up))
        switchToTab((activeTabIndex_ + count - 1) % count);
    else if (control && (keyval == GDK_KEY_plus || keyval == GDK_KEY_equal || keyval == GDK_KEY_KP_Add))
        zoom(1);
    else if (control && (keyval == GDK_KEY_minus || keyval == GDK_KEY_underscore || keyval == GDK_KEY_KP_Subtract))
        zoom(-1);
    else if (control && (keyval == GDK_KEY_0 || keyval == GDK_KEY_KP_0))
        zoom(0);
    else if (control && keyval >= GDK_KEY_1 && keyval <= GDK_KEY_8)
        switchToTab(static_cast<int>(keyval - GDK_KEY_1));
    else if (control && keyval == GDK_KEY_9)
        switchToTab(count - 1);
    else if (control && key == GDK_KEY_f)
        findInPage();
    else if (control && !shift && key == GDK_KEY_h)
        showHistory();
    else if (control && key == GDK_KEY_p && activeTab())
        activeTab()->print();
    else if (keyval == GDK_KEY_F11)
        toggleFullscreen();
    else if (keyval == GDK_KEY_Escape)
        return escape();
    else
        return false;
    return true;
}

// Escape undoes the innermost thing first: the address suggestions, the find bar, a page
// in full screen, then a load in progress; otherwise the key goes on to the page.
bool BrowserWindowController::escape()
{
    if (suggestions_->shown()) {
        suggestions_->hide();
        return true;
    }
    Tab* tab = activeTab();
    if (tab && tab->hasFindBar() && tab->findBar().get_visible()) {
        tab->findBar().close();
        return true;
    }
    if (pageFullscreen_) {
        leavePageFullscreen();
        return true;
    }
    if (WebKitWebView* view = webView(); view && webkit_web_view_is_loading(view)) {
        webkit_web_view_stop_loading(view);
        return true;
    }
    return false;
}

void BrowserWindowController::startDownloads()
{
    downloads_ = std::make_unique<Downloads>([](WebKitWebView* view) { return Tab::fromView(view); });
}

bool BrowserWindowController::confirmQuit(std::function<void()> quit)
{
    const int running = downloads_->running();
    if (running == 0)
        return true;
    auto* dialog = new Gtk::MessageDialog(*window_,
        running == 1 ? "A download is still running" : std::to_string(running) + " downloads are still running",
        false, Gtk::MessageType::QUESTION, Gtk::ButtonsType::NONE, true);
    dialog->set_secondary_text("Quitting now cancels them.");
    dialog->add_button("Keep Downloading", Gtk::ResponseType::CANCEL);
    dialog->add_button("Cancel Downloads and Quit", Gtk::ResponseType::ACCEPT);
    dialog->set_default_response(Gtk::ResponseType::CANCEL);
    std::weak_ptr<BrowserWindowController> weakSelf = weak_from_this();
    dialog->signal_response().connect([dialog, weakSelf, quit = std::move(quit)](int response) {
        dialog->hide();
        Glib::signal_idle().connect_once([dialog] { delete dialog; });
        auto self = weakSelf.lock();
        if (!self || response != Gtk::ResponseType::ACCEPT)
            return;
        self->downloads_->cancelAll();
        quit();
    });
    dialog->present();
    return false;
}

void BrowserWindowController::focusAddress()
{
    addressField_.grab_focus();
    addressField_.select_region(0, -1);
}

void BrowserWindowController::findInPage()
{
    if (Tab* tab = activeTab(); tab && tab->webView())
        tab->findBar().open();
}

void BrowserWindowController::toggleFullscreen()
{
    fullscreenRequested_ = !fullscreenRequested_;
    if (fullscreenRequested_)
        window_->fullscreen();
    else
        window_->unfullscreen();
}

WebKitWebView* BrowserWindowController::webView() const
{
    Tab* tab = activeTab();
    return tab ? tab->webView() : nullptr;
}

std::string BrowserWindowController::homepage()
{
    return UserDefaults::standard().string(kHomepageKey).value_or(defaultHomepage());
}

void BrowserWindowController::setBadgeCount(std::int64_t count)
{
    blockedBadge_.set_text("🛡️ " + std::to_string(count) + " blocked");
    setAccessibleName(blockedBadge_, std::to_string(count) + " blocked on this page");
}

void BrowserWindowController::navigateToAddress()
{
    loadURL(resolveAddress(addressField_.get_text().raw()));
}

// A javascript: URL would run in whatever page the active tab shows; a URL handed in
// from outside must never do that, so it is refused like one that does not parse.
bool BrowserWindowController::acceptsOutsideURL(const std::string& url)
{
    return isParsableURL(url) && g_ascii_strncasecmp(url.c_str(), "javascript:", 11) != 0;
}

void BrowserWindowController::loadURL(const std::string& url)
{
    if (!acceptsOutsideURL(url))
        return;
    if (WebKitWebView* view = webView())
        loadInView(view, url);
    showAddress(url);
}

void BrowserWindowController::showAddress(const std::string& address)
{
    shownAddress_ = address;
    if (suggestions_)
        suggestions_->setFieldText(address);
    else
        addressField_.set_text(address);
}

bool BrowserWindowController::isEditingAddress() const
{
    const Gtk::Widget* focus = window_->get_focus();
    const bool focused =
        focus && (focus == &addressField_ || focus->is_ancestor(const_cast<Gtk::Entry&>(addressField_)));
    return focused && addressField_.get_text().raw() != shownAddress_;
}

void BrowserWindowController::goBack()
{
    if (WebKitWebView* view = webView())
        webkit_web_view_go_back(view);
}

void BrowserWindowController::goForward()
{
    if (WebKitWebView* view = webView())
        webkit_web_view_go_forward(view);
}

void BrowserWindowController::reload()
{
    if (WebKitWebView* view = webView())
        webkit_web_view_reload(view);
}

void BrowserWindowController::reloadBypassingCache()
{
    if (WebKitWebView* view = webView())
        webkit_web_view_reload_bypass_cache(view);
}

void BrowserWindowController::toggleDevTools()
{
    devPanelVisible_ = !devPanelVisible_;
    // The page area's layout gives the web view the space above the panel.
    devPanel_->setShown(devPanelVisible_);
}

void BrowserWindowController::startPiP()
{
    pipController_->start();
}

void BrowserWindowController::setMessageHandler(const std::string& channel, ScriptMessageHandler* handler)
{
    if (auto index = messageChannelIndex(channel))
        messageHandlers_[*index] = handler;
}

GObjectPtr<WebKitWebView> BrowserWindowController::makeConfiguredWebView(WebKitWebView* opener)
{
    std::weak_ptr<BrowserWindowController> weakSelf = weak_from_this();
    auto sink = [weakSelf](const char* channel, const ScriptSender& sender, JSCValue* body) {
        if (auto self = weakSelf.lock())
            self->receiveScriptMessage(channel, sender, body);
    };
    const QuilBlock::RuleSet* rules = adBlockEnabled() ? compiledRuleList_.get() : nullptr;
    return factory_.makeWebView(sink, rules, opener);
}

void BrowserWindowController::receiveScriptMessage(const char* channel, const ScriptSender& sender, JSCValue* body)
{
    auto index = messageChannelIndex(channel);
    if (ScriptMessageHandler* handler = index ? messageHandlers_[*index] : nullptr)
        handler->didReceiveScriptMessage(sender, ScriptValue(body));
}

} // namespace quillmere
