#include "support/Program.h"

#include "platform/Log.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <glib/gstdio.h>
#include <unistd.h>

namespace quillmere::test {

void linkWebProcessExtension(const std::string& bundle)
{
    const std::string lib = bundle + "/lib/quillmere";
    g_mkdir_with_parents(lib.c_str(), 0755);
    symlink(QUILLMERE_WEB_PROCESS_EXTENSIONS, (lib + "/web-process-extensions").c_str());
}

std::string installCopy(const std::string& binary, const std::string& rulesJson)
{
    char* dir = g_dir_make_tmp("quillmere-install-XXXXXX", nullptr);
    const std::string bundle = std::string(dir) + "/quillmere";
    g_free(dir);
    g_mkdir_with_parents((bundle + "/bin").c_str(), 0755);
    g_mkdir_with_parents((bundle + "/share/quillmere").c_str(), 0755);
    const std::string copy = bundle + "/bin/quillmere";
    GFile* from = g_file_new_for_path(binary.c_str());
    GFile* to = g_file_new_for_path(copy.c_str());
    GError* error = nullptr;
    const bool copied = g_file_copy(from, to, G_FILE_COPY_OVERWRITE, nullptr, nullptr, nullptr, &error);
    g_object_unref(from);
    g_object_unref(to);
    if (!copied)
        throw std::runtime_error(error->message);
    g_chmod(copy.c_str(), 0755);
    // The rules compiler comes along, as an install carries it.
    const std::string libexec = bundle + "/libexec/quillmere";
    g_mkdir_with_parents(libexec.c_str(), 0755);
    symlink(QUILLMERE_RULES_COMPILER, (libexec + "/quillmere-rules-compiler").c_str());
    // And the web process extension, without which pages get no scripts.
    linkWebProcessExtension(bundle);
    if (!rulesJson.empty())
        g_file_set_contents((bundle + "/share/quillmere/quilblock_rules.json").c_str(), rulesJson.c_str(), -1, nullptr);
    return copy;
}

bool Program::journalRunning()
{
    return journalAccepts();
}

std::string Program::log() const
{
    if (!journalRunning())
        return stderr_;
    const std::string command = "journalctl --no-pager -o cat GLIB_DOMAIN=com.brenhollow.quillmere _PID=" + pid_;
    char* out = nullptr;
    g_spawn_command_line_sync(command.c_str(), &out, nullptr, nullptr, nullptr);
    std::string text = out ? out : "";
    g_free(out);
    return text;
}

// Sends WM_DELETE_WINDOW to every shown top-level window whose _NET_WM_PID is the program's.
void Program::closeWindows() const
{
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return;
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
    const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    const Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
    for (unsigned i = 0; i < count; ++i) {
        XWindowAttributes attributes;
        Atom type;
        int format;
        unsigned long items, after;
        unsigned char* value = nullptr;
        if (!XGetWindowAttributes(display, children[i], &attributes) || attributes.map_state != IsViewable
            || XGetWindowProperty(
                   display, children[i], pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &items, &after, &value)
                != Success
            || !value)
            continue;
        const bool ours = items == 1 && std::to_string(*reinterpret_cast<unsigned long*>(value)) == pid_;
        XFree(value);
        if (!ours)
            continue;
        XEvent event {};
        event.xclient.type = ClientMessage;
        event.xclient.window = children[i];
        event.xclient.message_type = protocols;
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(deleteWindow);
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display, children[i], False, NoEventMask, &event);
    }
    if (children)
        XFree(children);
    XCloseDisplay(display);
}

void activateAction(const char* action)
{
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    GVariant* reply = g_dbus_connection_call_sync(bus, "com.brenhollow.quillmere", "/com/brenhollow/quillmere",
        "org.gtk.Actions", "Activate", g_variant_new("(sava{sv})", action, nullptr, nullptr), nullptr,
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (reply)
        g_variant_unref(reply);
    g_object_unref(bus);
}

} // namespace quillmere::test
