// What the window shows about the page itself: whether its connection is secure, at the
// start of the address field, and the page filling the screen.
#include "browser/BrowserWindowController.h"
#include "devtools/DevToolsPanel.h"
#include "platform/Accessibility.h"
#include "platform/Url.h"

#include <glibmm/main.h>

namespace quillmere {

namespace {

constexpr int kNoticeMilliseconds = 3500;

std::string schemeOf(const std::string& uri)
{
    const char* scheme = g_uri_peek_scheme(uri.c_str()); // interned, lower case
    return scheme ? scheme : "";
}

std::string dateText(GDateTime* time)
{
    if (!time)
        return "?";
    GCharPtr text(g_date_time_format(time, "%Y-%m-%d"));
    return text ? text.get() : "?";
}

std::string certificateProblems(GTlsCertificateFlags errors)
{
    const std::pair<GTlsCertificateFlags, const char*> known[] = {
        {G_TLS_CERTIFICATE_UNKNOWN_CA, "its issuer is not trusted"},
        {G_TLS_CERTIFICATE_BAD_IDENTITY, "it is for another site"},
        {G_TLS_CERTIFICATE_NOT_ACTIVATED, "it is not valid yet"},
        {G_TLS_CERTIFICATE_EXPIRED, "it has expired"},
        {G_TLS_CERTIFICATE_REVOKED, "it was revoked"},
        {G_TLS_CERTIFICATE_INSECURE, "its algorithm is insecure"},
        {G_TLS_CERTIFICATE_GENERIC_ERROR, "it could not be checked"},
    };
    std::string text;
    for (auto [flag, words] : known)
        if (errors & flag)
            text += (text.empty() ? "" : ", ") + std::string(words);
    return text;
}

} // namespace

void BrowserWindowController::buildSecurityIndicator()
{
    securityButton_.add_css_class("security-state");
    securityButton_.set_halign(Gtk::Align::START);
    securityButton_.set_valign(Gtk::Align::CENTER);
    securityButton_.set_margin_start(4);
    securityButton_.set_focus_on_click(false);
    securityButton_.set_has_frame(false);
    securityButton_.set_child(securityLabel_);
    securityButton_.set_visible(false);
    setAccessibleName(securityButton_, "Connection security");
    securityDetails_.set_xalign(0);
    securityDetails_.set_selectable(true);
    securityDetails_.set_wrap(true);
    securityDetails_.set_max_width_chars(50);
    securityPopover_.set_child(securityDetails_);
    securityButton_.set_popover(securityPopover_);
    securityPopover_.signal_show().connect([this] { securityDetails_.set_text(securityDetails()); });
    addressOverlay_.add_overlay(securityButton_);
}

void BrowserWindowController::showSecurityState()
{
    Tab* tab = activeTab();
    const std::string uri = tab ? tab->uri() : "";
    const std::string scheme = schemeOf(uri);
    SecurityState state = SecurityState::None;
    if (tab && tab->webView() && !tab->showsOwnPage()) {
        GTlsCertificate* certificate = nullptr;
        GTlsCertificateFlags errors {};
        if (scheme == "http")
            state = SecurityState::NotSecure;
        else if (scheme == "https" && webkit_web_view_get_tls_info(tab->webView(), &certificate, &errors))
            state = errors || !certificate || tab->insecureContent() ? SecurityState::NotSecure : SecurityState::Secure;
    }
    securityState_ = state;
    securityButton_.set_visible(state != SecurityState::None);
    addressField_.remove_css_class("with-padlock");
    addressField_.remove_css_class("with-not-secure");
    securityButton_.remove_css_class("not-secure");
    if (state == SecurityState::Secure) {
        securityLabel_.set_text("🔒");
        setAccessibleName(securityButton_, "Connection is secure");
        addressField_.add_css_class("with-padlock");
    } else if (state == SecurityState::NotSecure) {
        securityLabel_.set_text("Not secure");
        securityButton_.add_css_class("not-secure");
        setAccessibleName(securityButton_, "Connection is not secure");
        addressField_.add_css_class("with-not-secure");
    }
    securityDetails_.set_text(securityDetails());
}

std::string BrowserWindowController::securityDetails() const
{
    Tab* tab = activeTab();
    if (!tab || securityState_ == SecurityState::None)
        return "";
    const std::string uri = tab->uri();
    std::string text = hostOf(uri.c_str()) + "\n";
    GTlsCertificate* certificate = nullptr;
    GTlsCertificateFlags errors {};
    const bool https = schemeOf(uri) == "https"
        && webkit_web_view_get_tls_info(tab->webView(), &certificate, &errors) && certificate;
    if (securityState_ == SecurityState::Secure)
        text += "Connection is secure";
    else if (!https)
        text += "Connection is not secure: what you send or see here can be read or changed on the way";
    else if (errors)
        text += "Connection is not secure: the site's certificate is not valid (" + certificateProblems(errors) + ")";
    else
        text += "Connection is not secure: parts of this page came over an insecure connection";
    if (!https)
        return text;
    GCharPtr subject(g_tls_certificate_get_subject_name(certificate));
    GCharPtr issuer(g_tls_certificate_get_issuer_name(certificate));
    GDateTime* from = g_tls_certificate_get_not_valid_before(certificate);
    GDateTime* until = g_tls_certificate_get_not_valid_after(certificate);
    text += "\nCertificate issued to: " + std::string(subject ? subject.get() : "?")
        + "\nIssued by: " + std::string(issuer ? issuer.get() : "?") + "\nValid from " + dateText(from) + " to "
        + dateText(until);
    if (from)
        g_date_time_unref(from);
    if (until)
        g_date_time_unref(until);
    return text;
}

void BrowserWindowController::tabSecurityDidChange(Tab& tab)
{
    if (isActive(tab))
        showSecurityState();
}

void BrowserWindowController::buildFullscreenNotice()
{
    fullscreenNotice_.set_text("Press Esc to exit full screen");
    fullscreenNotice_.add_css_class("fullscreen-notice");
    fullscreenNotice_.set_halign(Gtk::Align::CENTER);
    fullscreenNotice_.set_valign(Gtk::Align::START);
    fullscreenNotice_.set_margin_top(32);
    fullscreenNotice_.set_can_target(false);
    fullscreenNotice_.set_visible(false);
    windowOverlay_.add_overlay(fullscreenNotice_);
}

void BrowserWindowController::tabDidChangeFullscreen(Tab& tab, bool fullscreen)
{
    if (!isActive(tab) || fullscreen == pageFullscreen_)
        return;
    pageFullscreen_ = fullscreen;
    showChrome(!fullscreen);
    noticeTimeout_.disconnect();
    fullscreenNotice_.set_visible(fullscreen);
    if (fullscreen)
        noticeTimeout_ = Glib::signal_timeout().connect(
            [this] {
                fullscreenNotice_.set_visible(false);
                return false;
            },
            kNoticeMilliseconds);
}

void BrowserWindowController::showChrome(bool shown)
{
    if (!shown) {
        hiddenForFullscreen_.clear();
        for (Gtk::Widget* widget : std::initializer_list<Gtk::Widget*> {tabBar_, &toolbar_, &barSlot_, &restoreBar_, devPanel_}) {
            hiddenForFullscreen_.emplace_back(widget, widget->get_visible());
            widget->set_visible(false);
        }
        window_->set_show_menubar(false);
        return;
    }
    for (auto [widget, visible] : hiddenForFullscreen_)
        widget->set_visible(visible);
    hiddenForFullscreen_.clear();
    window_->set_show_menubar(true);
}

void BrowserWindowController::endPageFullscreen()
{
    if (!pageFullscreen_)
        return;
    pageFullscreen_ = false;
    showChrome(true);
    noticeTimeout_.disconnect();
    fullscreenNotice_.set_visible(false);
    window_->unfullscreen();
}

// The page leaves full screen itself; the engine then tells the tab, and the controls
// come back.
void BrowserWindowController::leavePageFullscreen()
{
    if (WebKitWebView* view = webView())
        webkit_web_view_evaluate_javascript(view, "document.exitFullscreen && document.exitFullscreen()", -1,
            "quillmere-fullscreen", nullptr, nullptr, nullptr, nullptr);
}

} // namespace quillmere
