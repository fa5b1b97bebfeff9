#include "browser/BrowserWindowController.h"

#include "browser/AddressResolver.h"
#include "devtools/DevToolsPanel.h"
#include "history/AddressSuggestions.h"
#include "history/HistoryStore.h"
#include "history/HistoryWindow.h"
#include "pip/PiPController.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"

#include <gtkmm/eventcontrollerkey.h>

namespace quillmere {

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
}

BrowserWindowController::~BrowserWindowController()
{
    // Views may outlive their tabs for a moment (pending engine work); dropping the
    // tabs cuts their signals before the rest of the controller goes.
    tabs_.clear();
}

void BrowserWindowController::setupUI()
{
    contentView_.add_css_class("content-view");
    window_->set_child(contentView_);
    startHistory();

    tabBar_ = Gtk::make_managed<TabBar>();
    tabBar_->set_size_request(-1, tabBarHeight);
    tabBar_->setDelegate(std::static_pointer_cast<TabBarDelegate>(shared_from_this()));
    contentView_.append(*tabBar_);

    buildToolbar();
    contentView_.append(toolbar_);
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
    installKeyHandler(*window_);
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
    };
    const ToolButton buttons[] = {
        {backButton_, 30, &BrowserWindowController::goBack},
        {forwardButton_, 30, &BrowserWindowController::goForward},
        {reloadButton_, 30, &BrowserWindowController::reload},
        {devToolsButton_, 34, &BrowserWindowController::toggleDevTools},
        {pipButton_, 40, &BrowserWindowController::startPiP},
    };
    std::weak_ptr<BrowserWindowController> weakSelf = weak_from_this();
    for (const auto& tool : buttons) {
        tool.button.set_size_request(tool.width, 28);
        tool.button.set_focus_on_click(false);
        tool.button.set_valign(Gtk::Align::CENTER);
        auto action = tool.action;
        tool.button.signal_clicked().connect([weakSelf, action] {
            if (auto self = weakSelf.lock())
                ((*self).*action)();
        });
        toolbar_.append(tool.button);
    }

    addressField_.add_css_class("address-field");
    addressField_.set_placeholder_text("Enter URL or search");
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
    toolbar_.append(addressField_);
    suggestions_ = std::make_unique<AddressSuggestions>(addressField_, history_);
    suggestions_->onOpen = [weakSelf](const std::string& uri) {
        if (auto self = weakSelf.lock())
            self->loadURL(uri);
    };
    suggestions_->onSearch = [weakSelf](const std::string& text) {
        if (auto self = weakSelf.lock())
            self->loadURL(searchURL(text));
    };

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
    keys->signal_key_pressed().connect(
        [weakSelf](guint keyval, guint, Gdk::ModifierType state) {
            auto self = weakSelf.lock();
            return self && self->handleKey(keyval, state);
        },
        false);
    target.add_controller(keys);
}

bool BrowserWindowController::handleKey(guint keyval, Gdk::ModifierType state)
{
    if (keyval == GDK_KEY_F12) {
        toggleDevTools();
        return true;
    }
    const bool control = (state & Gdk::ModifierType::CONTROL_MASK) == Gdk::ModifierType::CONTROL_MASK;
    // Only the lower-case keyvals: Shift+Ctrl+T arrives as GDK_KEY_T and goes through.
    if (control && keyval == GDK_KEY_t) {
        openNewTab();
        return true;
    }
    if (control && keyval == GDK_KEY_w) {
        closeTab(activeTabIndex_);
        return true;
    }
    if (control && keyval == GDK_KEY_h) {
        showHistory();
        return true;
    }
    return false;
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
}

void BrowserWindowController::navigateToAddress()
{
    loadURL(resolveAddress(addressField_.get_text().raw()));
}

void BrowserWindowController::loadURL(const std::string& url)
{
    if (!isParsableURL(url))
        return;
    // A javascript: URL would run in whatever page the active tab shows; a URL handed
    // in from outside must never do that, so it is refused like one that does not parse.
    if (g_ascii_strncasecmp(url.c_str(), "javascript:", 11) == 0)
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
    auto sink = [weakSelf](const char* channel, WebKitWebView* sender, JSCValue* body) {
        if (auto self = weakSelf.lock())
            self->receiveScriptMessage(channel, sender, body);
    };
    WebKitUserContentFilter* rules = adBlockEnabled() ? compiledRuleList_.get() : nullptr;
    return factory_.makeWebView(sink, rules, opener);
}

void BrowserWindowController::receiveScriptMessage(const char* channel, WebKitWebView* sender, JSCValue* body)
{
    auto index = messageChannelIndex(channel);
    if (ScriptMessageHandler* handler = index ? messageHandlers_[*index] : nullptr)
        handler->didReceiveScriptMessage(sender, ScriptValue(body));
}

} // namespace quillmere
