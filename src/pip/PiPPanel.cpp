#include "pip/PiPPanel.h"

#include "platform/Accessibility.h"
#include "platform/PageScript.h"

#include <gdk/gdk.h>

// Xlib last: its macros (None, True, Status...) would clash with the C++ headers.
#include <gdk/x11/gdkx.h>

namespace quillmere {

GObjectPtr<WebKitWebView> viewOfOpenTab(const GWeak<WebKitWebView>& ref)
{
    auto view = ref.peek();
    if (view && !gtk_widget_get_root(GTK_WIDGET(view.get())))
        return {};
    return view;
}

PiPPanel::PiPPanel()
    : frame_(0.5f, 0.5f, kAspectRatio, false)
    , controlBar_(Gtk::Orientation::HORIZONTAL)
    , playPauseButton_("⏸")
    , titleLabel_("Quillmere PiP")
    , closeButton_("✕")
{
    setup();
}

PiPPanel::~PiPPanel() = default;

void PiPPanel::setup()
{
    set_title("Quillmere PiP");
    add_css_class("pip-panel");
    set_default_size(kDefaultWidth, kDefaultHeight);
    set_size_request(kMinimumWidth, kMinimumHeight);
    // The window manager's own close only hides the panel; the page keeps streaming.
    set_hide_on_close(true);

    // The picture keeps the panel's proportion inside whatever size the window has.
    imageView_.set_content_fit(Gtk::ContentFit::CONTAIN);
    imageView_.set_can_shrink(true);
    imageView_.add_css_class("pip-picture");
    frame_.set_child(imageView_);
    frame_.set_hexpand(true);
    frame_.set_vexpand(true);
    overlay_.set_child(frame_);

    controlBar_.add_css_class("pip-bar");
    controlBar_.set_size_request(-1, kBarHeight);
    controlBar_.set_valign(Gtk::Align::END);
    controlBar_.set_halign(Gtk::Align::FILL);

    for (Gtk::Button* button : {&playPauseButton_, &closeButton_}) {
        button->add_css_class("pip-button");
        button->set_has_frame(false);
        button->set_size_request(26, 26);
        button->set_valign(Gtk::Align::CENTER);
        button->set_focus_on_click(false);
    }
    playPauseButton_.set_margin_start(6);
    closeButton_.set_margin_end(6);
    setAccessibleName(playPauseButton_, "Pause");
    setAccessibleName(closeButton_, "Close Picture in Picture");
    setAccessibleName(imageView_, "Video");

    titleLabel_.add_css_class("pip-title");
    titleLabel_.set_xalign(0.0f);
    titleLabel_.set_hexpand(true);
    titleLabel_.set_ellipsize(Pango::EllipsizeMode::END);
    titleLabel_.set_single_line_mode(true);
    titleLabel_.set_size_request(-1, 16);
    titleLabel_.set_valign(Gtk::Align::CENTER);
    titleLabel_.set_margin_start(4);
    titleLabel_.set_margin_end(8);

    controlBar_.append(playPauseButton_);
    controlBar_.append(titleLabel_);
    controlBar_.append(closeButton_);
    overlay_.add_overlay(controlBar_);

    // Dragging the background (picture or bar) moves the window.
    handle_.set_child(overlay_);
    set_child(handle_);

    playPauseButton_.signal_clicked().connect(sigc::mem_fun(*this, &PiPPanel::togglePlayPause));
    closeButton_.signal_clicked().connect(sigc::mem_fun(*this, &PiPPanel::closePiP));
    signal_map().connect(sigc::mem_fun(*this, &PiPPanel::requestFloating));
    nameInnerWidgets(*this);
}

void PiPPanel::updateFrame(const Glib::RefPtr<Gdk::Texture>& image, bool paused, const std::string& title)
{
    if (image)
        imageView_.set_paintable(image);
    isPaused_ = paused;
    const char* label = paused ? "▶" : "⏸";
    if (playPauseButton_.get_label().raw() != label) {
        playPauseButton_.set_label(label);
        setAccessibleName(playPauseButton_, paused ? "Play" : "Pause");
    }
    if (!title.empty() && titleLabel_.get_text().raw() != title) {
        titleLabel_.set_text(title);
        setAccessibleName(imageView_, "Video: " + title);
    }
}

void PiPPanel::togglePlayPause()
{
    auto view = webView();
    if (!view)
        return;
    // The button follows the page: its label changes with the next frame's state.
    runPrivateScript(view.get(), isPaused_ ? "window.__quilpipPlay()" : "window.__quilpipPause()");
}

void PiPPanel::closePiP()
{
    if (auto view = webView())
        runPrivateScript(view.get(), "window.__quilpipStop()");
    set_visible(false);
}

bool PiPPanel::occluded() const
{
    if (!get_mapped())
        return true;
    GtkNative* native = GTK_NATIVE(const_cast<GtkWindow*>(gobj()));
    GdkSurface* surface = gtk_native_get_surface(native);
    if (!surface || !gdk_surface_get_mapped(surface))
        return true;
    return GDK_IS_TOPLEVEL(surface) && (gdk_toplevel_get_state(GDK_TOPLEVEL(surface)) & GDK_TOPLEVEL_STATE_MINIMIZED);
}

void PiPPanel::pictureSize(int& width, int& height) const
{
    const int scale = imageView_.get_scale_factor();
    width = imageView_.get_width() * scale;
    height = imageView_.get_height() * scale;
}

void PiPPanel::requestFloating()
{
    GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(gobj()));
    if (!surface || !GDK_IS_X11_SURFACE(surface))
        return; // Wayland has no protocol for either.
    GdkDisplay* display = gdk_surface_get_display(surface);
    ::Display* xdisplay = gdk_x11_display_get_xdisplay(display);

    XEvent event {};
    event.xclient.type = ClientMessage;
    event.xclient.window = gdk_x11_surface_get_xid(surface);
    event.xclient.message_type = gdk_x11_get_xatom_by_name_for_display(display, "_NET_WM_STATE");
    event.xclient.format = 32;
    event.xclient.data.l[0] = 1; // _NET_WM_STATE_ADD
    event.xclient.data.l[1] = static_cast<long>(gdk_x11_get_xatom_by_name_for_display(display, "_NET_WM_STATE_ABOVE"));
    event.xclient.data.l[2] = static_cast<long>(gdk_x11_get_xatom_by_name_for_display(display, "_NET_WM_STATE_STICKY"));
    event.xclient.data.l[3] = 1; // from an application
    XSendEvent(xdisplay, gdk_x11_display_get_xrootwindow(display), False,
        SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XFlush(xdisplay);
}

} // namespace quillmere
