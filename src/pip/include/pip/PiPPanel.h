// The floating picture-in-picture window: shows the frames a page streams, with a
// translucent bar of play/pause, the page title and close along its bottom edge. The
// PiPController creates it on the first start, feeds it frames and binds it to the web
// view that streams; its buttons act on that page.
#pragma once

#include "platform/GObjectPtr.h"

#include <gdkmm/texture.h>
#include <gtkmm/aspectframe.h>
#include <gtkmm/box.h>
#include <gtkmm/button.h>
#include <gtkmm/label.h>
#include <gtkmm/overlay.h>
#include <gtkmm/picture.h>
#include <gtkmm/window.h>
#include <gtkmm/windowhandle.h>

#include <webkit/webkit.h>

#include <string>

namespace quillmere {

// The view behind `ref` while it still shows a tab: a view taken out of the window
// belongs to a closed tab, even while the engine keeps it alive a moment longer.
GObjectPtr<WebKitWebView> viewOfOpenTab(const GWeak<WebKitWebView>& ref);

class PiPPanel : public Gtk::Window {
public:
    static constexpr int kDefaultWidth = 640;
    static constexpr int kDefaultHeight = 394;
    static constexpr int kMinimumWidth = 240;
    static constexpr int kMinimumHeight = 148;
    static constexpr float kAspectRatio = 16.0f / 9.85f;
    static constexpr int kBarHeight = 34;

    PiPPanel();
    ~PiPPanel() override;

    // The web view whose page streams, held weakly; its controls act on it.
    void setWebView(WebKitWebView* view) { webView_ = view; }
    // The bound view, or null once its tab has closed.
    GObjectPtr<WebKitWebView> webView() const { return viewOfOpenTab(webView_); }

    // Shows one frame: `image` (null when the frame's bytes were no image, which keeps
    // the previous picture), the page's paused state and its title (empty keeps the
    // previous title).
    void updateFrame(const Glib::RefPtr<Gdk::Texture>& image, bool paused, const std::string& title);

    void togglePlayPause();
    void closePiP();

    bool isPaused() const { return isPaused_; }
    // Whether no part of the panel is on screen, as far as GTK can tell: not mapped,
    // or minimised.
    bool occluded() const;
    // The size the picture is drawn at, in device pixels; 0 × 0 before the first layout.
    void pictureSize(int& width, int& height) const;

    Gtk::Picture& imageView() { return imageView_; }
    Gtk::Label& titleLabel() { return titleLabel_; }
    Gtk::Button& playPauseButton() { return playPauseButton_; }
    Gtk::Button& closeButton() { return closeButton_; }
    Gtk::Box& controlBar() { return controlBar_; }

private:
    void setup();
    // Asks the window manager to keep the panel above other windows and on every
    // workspace. X11 forgets both when a window is withdrawn, so every map asks again.
    void requestFloating();

    Gtk::WindowHandle handle_;
    Gtk::Overlay overlay_;
    Gtk::AspectFrame frame_;
    Gtk::Picture imageView_;
    Gtk::Box controlBar_;
    Gtk::Button playPauseButton_;
    Gtk::Label titleLabel_;
    Gtk::Button closeButton_;

    GWeak<WebKitWebView> webView_;
    bool isPaused_ = false;
};

} // namespace quillmere
