#include "settings/LogViewerWindow.h"

#include "platform/Log.h"

#include <csignal>
#include <sys/prctl.h>

namespace quillmere {

LogViewerWindow::LogViewerWindow(const std::string& tool)
    : cancellable_(g_cancellable_new())
{
    set_title("Quillmere Logs");
    set_default_size(820, 520);
    set_hide_on_close(true);
    add_css_class("log-viewer");

    textView_.set_editable(false);
    textView_.set_cursor_visible(false);
    textView_.set_monospace(true);
    textView_.set_wrap_mode(Gtk::WrapMode::WORD_CHAR);
    textView_.add_css_class("log-text");
    scroll_.set_policy(Gtk::PolicyType::AUTOMATIC, Gtk::PolicyType::AUTOMATIC);
    scroll_.set_child(textView_);
    set_child(scroll_);
    // Right gravity: the mark stays behind everything appended.
    endMark_ = textView_.get_buffer()->create_mark(textView_.get_buffer()->end(), false);

    startStreaming(tool);
}

LogViewerWindow::~LogViewerWindow()
{
    g_cancellable_cancel(cancellable_.get());
    // The tool would otherwise follow the journal for ever after we are gone.
    if (process_)
        g_subprocess_send_signal(process_.get(), SIGTERM);
}

void LogViewerWindow::startStreaming(const std::string& tool)
{
    g_autoptr(GSubprocessLauncher) launcher = g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_STDOUT_PIPE);
    // If this process dies without tidying up, the tool goes with it.
    g_subprocess_launcher_set_child_setup(
        launcher, [](gpointer) { prctl(PR_SET_PDEATHSIG, SIGTERM); }, nullptr, nullptr);
    const std::string match = std::string("GLIB_DOMAIN=") + kLogDomain;
    g_autoptr(GError) error = nullptr;
    process_.reset(g_subprocess_launcher_spawn(
        launcher, &error, tool.c_str(), "--follow", "--lines=0", "--output=short", match.c_str(), nullptr));
    if (!process_) {
        textView_.get_buffer()->set_text(std::string("Failed to start log stream: ") + error->message);
        return;
    }
    readMore();
}

void LogViewerWindow::readMore()
{
    struct Read {
        LogViewerWindow* viewer;
        GObjectPtr<GCancellable> cancellable;
    };
    // A read cancelled by the viewer's destruction still calls back; it must then touch
    // nothing of the viewer, so the callback checks the cancellable it carries first.
    GInputStream* output = g_subprocess_get_stdout_pipe(process_.get());
    g_input_stream_read_bytes_async(
        output, 64 * 1024, G_PRIORITY_DEFAULT, cancellable_.get(),
        [](GObject* stream, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Read> read(static_cast<Read*>(data));
            g_autoptr(GBytes) bytes = g_input_stream_read_bytes_finish(G_INPUT_STREAM(stream), result, nullptr);
            if (g_cancellable_is_cancelled(read->cancellable.get()) || !bytes || g_bytes_get_size(bytes) == 0)
                return; // gone, broken, or the tool has ended
            gsize size = 0;
            const auto* chunk = static_cast<const char*>(g_bytes_get_data(bytes, &size));
            const std::string text = read->viewer->decoder_.feed(std::string_view(chunk, size));
            if (!text.empty())
                read->viewer->append(text);
            read->viewer->readMore();
        },
        new Read {this, retain(cancellable_.get())});
}

void LogViewerWindow::append(const std::string& text)
{
    auto buffer = textView_.get_buffer();
    buffer->insert(buffer->end(), text);
    textView_.scroll_to(endMark_);
}

} // namespace quillmere
