#include "support/Input.h"

#include "support/MainLoop.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <gdk/x11/gdkx.h>
#include <gtk/gtk.h>

#include <stdexcept>

namespace quillmere::test {

namespace {

Display* xdisplay()
{
    GdkDisplay* display = gdk_display_get_default();
    if (!GDK_IS_X11_DISPLAY(display))
        throw std::runtime_error("tests need the X11 backend");
    return gdk_x11_display_get_xdisplay(display);
}

Window xidOf(Gtk::Widget& widget)
{
    GtkNative* native = gtk_widget_get_native(widget.gobj());
    return gdk_x11_surface_get_xid(gtk_native_get_surface(native));
}

// Lets the X server deliver synthetic input and GTK handle it.
void settle()
{
    Display* display = xdisplay();
    XSync(display, False);
    const gint64 deadline = g_get_monotonic_time() + 2 * G_USEC_PER_SEC;
    do {
        for (int i = 0; i < 1000 && g_main_context_iteration(nullptr, FALSE); ++i) { }
    } while (XPending(display) && g_get_monotonic_time() < deadline);
    runFor(30);
}

// GTK counts a window as mapped before the X server has shown it; input only reaches it once it has.
bool viewable(Gtk::Widget& widget)
{
    XWindowAttributes attributes;
    return widget.get_mapped() && XGetWindowAttributes(xdisplay(), xidOf(widget), &attributes)
        && attributes.map_state == IsViewable;
}

void sendKey(KeyCode code, bool press)
{
    XTestFakeKeyEvent(xdisplay(), code, press ? True : False, CurrentTime);
}

} // namespace

void focusWindow(Gtk::Window& window)
{
    Display* display = xdisplay();
    runUntil([&] { return viewable(window); }, 5000);
    XRaiseWindow(display, xidOf(window));
    XSetInputFocus(display, xidOf(window), RevertToParent, CurrentTime);
    XSync(display, False);
    runUntil([&] { return window.is_active(); }, 5000);
}

void resizeWindow(Gtk::Window& window, int width, int height)
{
    XResizeWindow(xdisplay(), xidOf(window), width, height);
    XSync(xdisplay(), False);
}

void clickAt(Gtk::Widget& widget, double x, double y, unsigned button)
{
    // A widget that was just added is placed at the next layout; click it only then.
    if (!runUntil([&] { return viewable(widget) && widget.get_width() > 0 && widget.get_height() > 0; }, 5000))
        throw std::runtime_error("widget never got a place on screen");
    GtkNative* native = gtk_widget_get_native(widget.gobj());
    graphene_point_t in = GRAPHENE_POINT_INIT(static_cast<float>(x), static_cast<float>(y));
    graphene_point_t out;
    if (!gtk_widget_compute_point(widget.gobj(), GTK_WIDGET(native), &in, &out))
        throw std::runtime_error("widget is not in a window");
    double dx = 0, dy = 0;
    gtk_native_get_surface_transform(native, &dx, &dy);
    Display* display = xdisplay();
    int rootX = 0, rootY = 0;
    Window child;
    XTranslateCoordinates(display, xidOf(widget), DefaultRootWindow(display), static_cast<int>(out.x + dx),
        static_cast<int>(out.y + dy), &rootX, &rootY, &child);
    XTestFakeMotionEvent(display, -1, rootX, rootY, CurrentTime);
    settle();
    XTestFakeButtonEvent(display, button, True, CurrentTime);
    XTestFakeButtonEvent(display, button, False, CurrentTime);
    settle();
}

void scrollWheel(Gtk::Widget& widget, int steps)
{
    for (int i = 0; i < std::abs(steps); ++i)
        clickAt(widget, widget.get_width() / 2.0, widget.get_height() / 2.0, steps < 0 ? 4 : 5);
}

void click(Gtk::Widget& widget)
{
    runUntil([&] { return widget.get_mapped() && widget.get_width() > 0; }, 5000);
    clickAt(widget, widget.get_width() / 2.0, widget.get_height() / 2.0);
}

void pressKey(unsigned keyval, std::initializer_list<unsigned> modifiers)
{
    Display* display = xdisplay();
    for (unsigned modifier : modifiers)
        sendKey(XKeysymToKeycode(display, modifier), true);
    KeyCode code = XKeysymToKeycode(display, keyval);
    sendKey(code, true);
    sendKey(code, false);
    for (auto it = std::rbegin(modifiers); it != std::rend(modifiers); ++it)
        sendKey(XKeysymToKeycode(display, *it), false);
    settle();
}

void holdingKeys(std::initializer_list<unsigned> keys, const std::function<void()>& action)
{
    Display* display = xdisplay();
    for (unsigned key : keys)
        sendKey(XKeysymToKeycode(display, key), true);
    settle();
    action();
    for (auto it = std::rbegin(keys); it != std::rend(keys); ++it)
        sendKey(XKeysymToKeycode(display, *it), false);
    settle();
}

void typeText(const std::string& text)
{
    Display* display = xdisplay();
    for (unsigned char c : text) {
        KeySym keysym = c == ' ' ? XK_space : c == '\t' ? XK_Tab : static_cast<KeySym>(c);
        KeyCode code = XKeysymToKeycode(display, keysym);
        if (!code)
            throw std::runtime_error(std::string("no key for character ") + static_cast<char>(c));
        // The character needs Shift when the key's unshifted symbol is another one.
        const bool shift = XkbKeycodeToKeysym(display, code, 0, 0) != keysym;
        KeyCode shiftCode = XKeysymToKeycode(display, XK_Shift_L);
        if (shift)
            sendKey(shiftCode, true);
        sendKey(code, true);
        sendKey(code, false);
        if (shift)
            sendKey(shiftCode, false);
        XSync(display, False);
        runFor(5);
    }
    settle();
}

} // namespace quillmere::test
