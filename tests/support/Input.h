// Real input for tests: key presses and pointer clicks sent through the X server with
// the XTest extension, so they travel the same way as a user's.
#pragma once

#include <gtkmm/widget.h>
#include <gtkmm/window.h>

#include <functional>
#include <string>

namespace quillmere::test {

// Gives `window` the X input focus and waits until GTK sees it active.
void focusWindow(Gtk::Window& window);

// Resizes the window from outside, as a window manager would.
void resizeWindow(Gtk::Window& window, int width, int height);

// Clicks the middle of `widget` (or the point (x, y) inside it) with the left button.
void click(Gtk::Widget& widget);
void clickAt(Gtk::Widget& widget, double x, double y, unsigned button = 1);
// Turns the mouse wheel over the widget's middle: `steps` notches down, or up when negative.
void scrollWheel(Gtk::Widget& widget, int steps);

// Presses and releases the key `keyval` with the given modifier keysyms held
// (for example {GDK_KEY_Control_L}).
void pressKey(unsigned keyval, std::initializer_list<unsigned> modifiers = {});

// Types ASCII text key by key, with Shift where the character needs it.
void typeText(const std::string& text);
// Runs `action` (clicks, say) while `keys` (modifiers) are held down.
void holdingKeys(std::initializer_list<unsigned> keys, const std::function<void()>& action);

} // namespace quillmere::test
