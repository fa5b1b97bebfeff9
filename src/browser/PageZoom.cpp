// Page zoom: per site, in fixed steps, from the keys, Control with the wheel, and the
// level shown at the end of the address field.
#include "browser/BrowserWindowController.h"
#include "platform/Accessibility.h"
#include "platform/Url.h"

#include <gtkmm/eventcontrollerscroll.h>

#include <cmath>

namespace quillmere {

void BrowserWindowController::startZoom()
{
    zoomLevels_ = std::make_unique<ZoomLevels>(profile_);
    std::weak_ptr<BrowserWindowController> weakSelf = weak_from_this();
    zoomLevels_->onLoaded = [weakSelf] {
        if (auto self = weakSelf.lock()) {
            for (const auto& tab : self->tabs_)
                self->applyZoom(*tab);
            self->showZoomLevel();
        }
    };
    // Control with the wheel zooms instead of scrolling; the page never sees it. One
    // notch is one step, whatever the device reports in between.
    auto wheel = Gtk::EventControllerScroll::create();
    wheel->set_flags(Gtk::EventControllerScroll::Flags::VERTICAL | Gtk::EventControllerScroll::Flags::DISCRETE);
    wheel->set_propagation_phase(Gtk::PropagationPhase::CAPTURE);
    wheel->signal_scroll().connect(
        [weakSelf, wheel = wheel.get()](double, double dy) {
            auto self = weakSelf.lock();
            const auto state = wheel->get_current_event_state();
            if (!self || (state & Gdk::ModifierType::CONTROL_MASK) != Gdk::ModifierType::CONTROL_MASK)
                return false;
            if (dy != 0)
                self->zoom(dy < 0 ? 1 : -1);
            return true;
        },
        false);
    pageArea_.add_controller(wheel);
}

void BrowserWindowController::zoom(int direction)
{
    Tab* tab = activeTab();
    if (!tab || !tab->webView())
        return;
    const double current = webkit_web_view_get_zoom_level(tab->webView());
    const double level = direction == 0 ? 1.0 : ZoomLevels::step(current, direction);
    const std::string host = hostOf(tab->uri().c_str());
    if (host.empty()) {
        webkit_web_view_set_zoom_level(tab->webView(), level);
    } else {
        // Like other browsers: one level for the whole site, in every tab showing it.
        zoomLevels_->set(host, level);
        for (const auto& other : tabs_)
            if (other->webView() && hostOf(other->uri().c_str()) == host)
                webkit_web_view_set_zoom_level(other->webView(), level);
    }
    showZoomLevel();
}

void BrowserWindowController::applyZoom(Tab& tab)
{
    if (WebKitWebView* view = tab.webView())
        webkit_web_view_set_zoom_level(view, zoomLevels_->levelFor(hostOf(tab.uri().c_str())));
}

void BrowserWindowController::showZoomLevel()
{
    WebKitWebView* view = webView();
    const double level = view ? webkit_web_view_get_zoom_level(view) : 1.0;
    const bool zoomed = std::abs(level - 1.0) > 0.005;
    zoomButton_.set_visible(zoomed);
    // The field's text must not run under the level.
    if (zoomed)
        addressField_.add_css_class("zoomed");
    else
        addressField_.remove_css_class("zoomed");
    if (!zoomed)
        return;
    const std::string percent = std::to_string(static_cast<int>(std::lround(level * 100))) + "%";
    zoomButton_.set_label(percent);
    setAccessibleName(zoomButton_, "Zoom " + percent + ", reset to 100%");
}

void BrowserWindowController::tabDidCommitLoad(Tab& tab)
{
    applyZoom(tab);
    if (isActive(tab))
        showZoomLevel();
}

} // namespace quillmere
