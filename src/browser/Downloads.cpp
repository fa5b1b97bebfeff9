#include "browser/Downloads.h"

#include "browser/QuestionBar.h"
#include "browser/Tab.h"
#include "downloads/DownloadNames.h"
#include "platform/Accessibility.h"
#include "platform/Log.h"
#include "platform/Url.h"

#include <gio/gio.h>
#include <glib/gstdio.h>

#include <cmath>

namespace quillmere {

namespace {

std::string sizeText(guint64 bytes)
{
    GCharPtr text(g_format_size(bytes));
    return text.get();
}

struct Reveal {
    std::string uri;
    std::string folder;
};

// Hands `uri` to its default application, never waiting for it.
void launchDefault(const std::string& uri)
{
    g_app_info_launch_default_for_uri_async(uri.c_str(), nullptr, nullptr,
        +[](GObject*, GAsyncResult* result, gpointer) {
            GError* error = nullptr;
            if (!g_app_info_launch_default_for_uri_finish(result, &error)) {
                quillmereLog.error("Could not open a download or its folder: %{public}s", error->message);
                g_error_free(error);
            }
        },
        nullptr);
}

void openFolder(Reveal* reveal)
{
    launchDefault(reveal->folder);
    delete reveal;
}

// Where the user goes to see a file: the file manager's own interface, or failing that
// the folder opened with its default application. Nothing here waits.
void revealInFileManager(const std::string& path)
{
    GCharPtr uri(g_filename_to_uri(path.c_str(), nullptr, nullptr));
    GCharPtr folder(g_path_get_dirname(path.c_str()));
    GCharPtr folderURI(g_filename_to_uri(folder.get(), nullptr, nullptr));
    if (!uri || !folderURI)
        return;
    g_bus_get(
        G_BUS_TYPE_SESSION, nullptr,
        +[](GObject*, GAsyncResult* result, gpointer data) {
            auto* reveal = static_cast<Reveal*>(data);
            GDBusConnection* bus = g_bus_get_finish(result, nullptr);
            if (!bus)
                return openFolder(reveal);
            const char* items[] = {reveal->uri.c_str(), nullptr};
            g_dbus_connection_call(bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                "org.freedesktop.FileManager1", "ShowItems", g_variant_new("(^ass)", items, ""), nullptr,
                G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
                +[](GObject* source, GAsyncResult* result, gpointer data) {
                    auto* reveal = static_cast<Reveal*>(data);
                    GError* error = nullptr;
                    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
                    if (reply) {
                        g_variant_unref(reply);
                        delete reveal;
                        return;
                    }
                    quillmereLog.info("No file manager answered (%{public}s); opening the folder", error->message);
                    g_error_free(error);
                    openFolder(reveal);
                },
                reveal);
            g_object_unref(bus);
        },
        new Reveal {uri.get(), folderURI.get()});
}

} // namespace

Downloads::Downloads(std::function<Tab*(WebKitWebView*)> tabOf)
    : tabOf_(std::move(tabOf))
    , list_(Gtk::Orientation::VERTICAL)
{
    // A label of the button's own would come with an arrow.
    auto* icon = Gtk::make_managed<Gtk::Label>("⇩");
    button_.set_child(*icon);
    button_.set_size_request(34, 28);
    button_.set_tooltip_text("Downloads");
    setAccessibleName(button_, "Downloads");
    button_.add_css_class("downloads-button");
    button_.set_valign(Gtk::Align::CENTER);
    button_.set_focus_on_click(false);
    button_.set_visible(false);
    list_.set_spacing(2);
    list_.set_size_request(320, -1);
    popover_.set_child(list_);
    button_.set_popover(popover_);
    startedHandler_ = g_signal_connect(webkit_network_session_get_default(), "download-started",
        G_CALLBACK(+[](WebKitNetworkSession*, WebKitDownload* download, Downloads* self) { self->started(download); }),
        this);
}

Downloads::~Downloads()
{
    *alive_ = false;
    g_signal_handler_disconnect(webkit_network_session_get_default(), startedHandler_);
    for (auto& entry : entries_)
        for (gulong handler : entry->handlers)
            g_signal_handler_disconnect(entry->download.get(), handler);
}

std::string Downloads::directory()
{
    const char* configured = g_get_user_special_dir(G_USER_DIRECTORY_DOWNLOAD);
    GCharPtr fallback(g_build_filename(g_get_home_dir(), "Downloads", nullptr));
    return configured ? configured : fallback.get();
}

int Downloads::running() const
{
    int count = 0;
    for (const auto& entry : entries_)
        count += entry->state == State::Running || entry->state == State::Asking;
    return count;
}

void Downloads::cancelAll()
{
    for (auto& entry : entries_)
        if (entry->state == State::Running || entry->state == State::Asking)
            cancel(*entry);
}

Downloads::Entry* Downloads::entryOf(WebKitDownload* download)
{
    for (auto& entry : entries_)
        if (entry->download.get() == download)
            return entry.get();
    return nullptr;
}

void Downloads::started(WebKitDownload* download)
{
    auto& entry = *entries_.emplace_back(std::make_unique<Entry>());
    entry.download = retain(download);
    auto on = [&](const char* signal, GCallback callback) {
        entry.handlers.push_back(g_signal_connect(download, signal, callback, this));
    };
    on("decide-destination", G_CALLBACK(+[](WebKitDownload* download, const char* suggested, Downloads* self) {
        Entry* entry = self->entryOf(download);
        return gboolean(entry && self->decideDestination(*entry, suggested));
    }));
    on("received-data", G_CALLBACK(+[](WebKitDownload* download, guint64, Downloads* self) {
        if (Entry* entry = self->entryOf(download))
            self->showState(*entry);
    }));
    on("finished", G_CALLBACK(+[](WebKitDownload* download, Downloads* self) {
        if (Entry* entry = self->entryOf(download))
            self->finished(*entry);
    }));
    on("failed", G_CALLBACK(+[](WebKitDownload* download, GError* error, Downloads* self) {
        if (Entry* entry = self->entryOf(download))
            self->failed(*entry, error);
    }));
}

bool Downloads::decideDestination(Entry& entry, const char* suggested)
{
    entry.name = safeFileName(suggested ? suggested : "");
    addRow(entry);
    WebKitWebView* view = webkit_download_get_web_view(entry.download.get());
    Tab* tab = view ? tabOf_(view) : nullptr;
    const char* uri = webkit_uri_request_get_uri(webkit_download_get_request(entry.download.get()));
    if (!tab || !tab->downloadNeedsAsking(uri ? uri : "")) {
        start(entry);
        return true;
    }
    // The engine waits with the transfer until the destination is set. The host named is
    // that of the page the tab shows, not of a navigation that turned into this download.
    const std::string host = hostOf(tab->committedURI().c_str());
    std::weak_ptr<bool> alive = alive_;
    entry.question = tab->ask((host.empty() ? std::string("This page") : host) + " wants to download " + entry.name,
        [this, alive, &entry](std::optional<bool> allowed) {
            if (alive.expired() || entry.state != State::Asking)
                return;
            entry.question = nullptr;
            if (allowed.value_or(false))
                start(entry);
            else
                cancel(entry);
        });
    showState(entry);
    return true;
}

// The final name is taken at once, as an empty file, so that a second download of the
// same name goes elsewhere; the engine writes its partial file beside it and puts the
// whole file in its place at the end.
void Downloads::start(Entry& entry)
{
    auto path = reserveDownloadPath(directory(), entry.name);
    if (!path) {
        entry.reason = "The Downloads folder cannot be written";
        quillmereLog.error("Download not saved: %{public}s cannot be written", directory());
        cancel(entry);
        entry.state = State::Failed;
        showState(entry);
        return;
    }
    entry.path = *path;
    GCharPtr base(g_path_get_basename(path->c_str()));
    entry.name = base.get();
    entry.state = State::Running;
    webkit_download_set_allow_overwrite(entry.download.get(), TRUE);
    webkit_download_set_destination(entry.download.get(), path->c_str());
    showState(entry);
}

void Downloads::cancel(Entry& entry)
{
    if (entry.state != State::Running && entry.state != State::Asking)
        return;
    // The question about it, if any, goes too.
    if (entry.state == State::Asking && entry.question)
        if (Tab* tab = tabOf_(webkit_download_get_web_view(entry.download.get())))
            tab->withdraw(entry.question);
    entry.question = nullptr;
    entry.state = State::Cancelled;
    webkit_download_cancel(entry.download.get());
    showState(entry);
}

void Downloads::finished(Entry& entry)
{
    // A failed or cancelled download reports its end here too, after "failed".
    if (entry.state != State::Running)
        return;
    entry.state = State::Done;
    showState(entry);
}

void Downloads::failed(Entry& entry, GError* error)
{
    if (g_error_matches(error, WEBKIT_DOWNLOAD_ERROR, WEBKIT_DOWNLOAD_ERROR_CANCELLED_BY_USER)) {
        if (entry.state != State::Failed)
            entry.state = State::Cancelled;
    } else {
        entry.state = State::Failed;
        entry.reason = error->message;
        quillmereLog.error("Download of %{public}s failed: %{public}s", entry.name, entry.reason);
    }
    // Nothing is left under the final name: the reservation goes with the download.
    if (!entry.path.empty())
        g_unlink(entry.path.c_str());
    showState(entry);
}

void Downloads::open(Entry& entry)
{
    if (entry.state != State::Done)
        return;
    WebKitURIResponse* response = webkit_download_get_response(entry.download.get());
    const char* type = response ? webkit_uri_response_get_mime_type(response) : nullptr;
    if (runsWhenOpened(entry.name, type ? type : ""))
        return showInFolder(entry);
    GCharPtr uri(g_filename_to_uri(entry.path.c_str(), nullptr, nullptr));
    if (!uri)
        return;
    launchDefault(uri.get());
}

void Downloads::showInFolder(Entry& entry)
{
    if (entry.state == State::Done)
        revealInFileManager(entry.path);
}

void Downloads::addRow(Entry& entry)
{
    entry.row = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL);
    entry.row->add_css_class("download-row");
    entry.nameLabel = Gtk::make_managed<Gtk::Label>();
    entry.nameLabel->add_css_class("download-name");
    entry.nameLabel->set_xalign(0);
    entry.nameLabel->set_ellipsize(Pango::EllipsizeMode::MIDDLE);
    entry.stateLabel = Gtk::make_managed<Gtk::Label>();
    entry.stateLabel->add_css_class("download-state");
    entry.stateLabel->set_xalign(0);
    entry.stateLabel->set_wrap(true);
    auto* actions = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL);
    actions->set_spacing(6);
    entry.cancel = Gtk::make_managed<Gtk::Button>("Cancel");
    entry.open = Gtk::make_managed<Gtk::Button>("Open");
    entry.showInFolder = Gtk::make_managed<Gtk::Button>("Show in Folder");
    Entry* target = &entry;
    const std::pair<Gtk::Button*, void (Downloads::*)(Entry&)> buttons[] = {
        {entry.cancel, &Downloads::cancel}, {entry.open, &Downloads::open},
        {entry.showInFolder, &Downloads::showInFolder}};
    for (auto [button, action] : buttons) {
        button->set_focus_on_click(false);
        button->signal_clicked().connect([this, target, action] { (this->*action)(*target); });
        actions->append(*button);
    }
    entry.row->append(*entry.nameLabel);
    entry.row->append(*entry.stateLabel);
    entry.row->append(*actions);
    list_.prepend(*entry.row);
    button_.set_visible(true);
}

void Downloads::showState(Entry& entry)
{
    if (!entry.row)
        return;
    entry.nameLabel->set_text(entry.name);
    WebKitDownload* download = entry.download.get();
    const guint64 received = webkit_download_get_received_data_length(download);
    WebKitURIResponse* response = webkit_download_get_response(download);
    const guint64 total = response ? webkit_uri_response_get_content_length(response) : 0;
    std::string text;
    switch (entry.state) {
    case State::Asking:
        text = "Waiting for your answer";
        break;
    case State::Running:
        text = sizeText(received);
        if (total > 0)
            text += " of " + sizeText(total) + " ("
                + std::to_string(std::min<guint64>(100, received * 100 / total)) + "%)";
        break;
    case State::Done:
        text = "Done — " + sizeText(received);
        break;
    case State::Failed:
        text = "Failed: " + entry.reason;
        break;
    case State::Cancelled:
        text = "Cancelled";
        break;
    }
    entry.stateLabel->set_text(text);
    setAccessibleName(*entry.row, entry.name + ", " + text);
    const bool done = entry.state == State::Done;
    WebKitURIResponse* typed = webkit_download_get_response(download);
    const char* type = typed ? webkit_uri_response_get_mime_type(typed) : nullptr;
    entry.cancel->set_visible(entry.state == State::Running || entry.state == State::Asking);
    entry.open->set_visible(done && !runsWhenOpened(entry.name, type ? type : ""));
    entry.showInFolder->set_visible(done);
}

} // namespace quillmere
